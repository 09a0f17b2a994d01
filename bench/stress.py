#!/usr/bin/env python3
"""Runs both programs on hostile inputs of up to 256 KiB and reports the slowest
case's wall time and the largest peak memory. A report, not a test: it exits
non-zero only when a run crashes or leaves the 0/1 exit statuses."""
import os
import random
import subprocess
import sys
import tempfile
import time

HEAD = b"stress\r\n\x1a\x00"


def mdx(tracks, voices=b"", declared=None):
    """Data area: voice offset, track offsets, tracks, voices."""
    n = len(tracks) if declared is None else declared
    table = 2 + 2 * n
    offsets, body, pos = [], b"", table
    for t in tracks:
        offsets.append(pos)
        body += t
        pos += len(t)
    offsets += [pos] * (n - len(tracks))
    data = (pos & 0xFFFF).to_bytes(2, "big") + b"".join((o & 0xFFFF).to_bytes(2, "big") for o in offsets)
    return HEAD + data + body + voices


def nest(inner, levels, count=255):
    """inner wrapped in `levels` repeats of `count` passes each."""
    for _ in range(levels):
        jump = (-(len(inner) + 3)) & 0xFFFF
        inner = bytes([0xF6, count, 0]) + inner + bytes([0xF5]) + jump.to_bytes(2, "big")
    return inner


def cases():
    glide_note = bytes([0xF2, 0x01, 0x00, 0x80, 0xFF])   # 256 pitch bends
    plain_note = bytes([0x90, 0x00])
    yield "repeat bomb, notes", mdx([nest(plain_note, 7) + b"\xf1"] * 8)
    yield "repeat bomb, glides", mdx([nest(glide_note, 7) + b"\xf1"] * 8)
    yield "repeat bomb, rests", mdx([nest(b"\x7f", 7) + b"\xf1"] * 8)
    # A track inherits the repeat levels the one before left open; "F5 FF FD" jumps
    # to itself until its level closes, so seven of them let each track run away anew.
    unwind = b"\xf5\xff\xfd" * 7
    yield "voice selects", mdx([unwind + nest(b"\xfd\x05", 7) + b"\xf1"] * 8)
    yield "glides, every track", mdx([unwind + nest(glide_note, 7) + b"\xf1"] * 8)
    # F5 with no open repeat is ignored, so loop through a repeat of count 255 whose
    # end jumps back to its own start: each pass opens a new level until eight.
    yield "jump loop", mdx([b"\x80\x01\xf6\xff\x00\xf5\xff\xfb\xf1"] * 8)
    # A repeat end that jumps to itself.
    yield "self jump", mdx([b"\xf6\xff\x00\x90\x00\xf5\xff\xfb"] * 8)
    rng = random.Random(1)
    noise = bytes(rng.getrandbits(8) for _ in range(256 * 1024 - 64))
    yield "256 KiB random", mdx([noise[:32768], noise[32768:]], declared=8)
    yield "256 KiB random, 16 tracks", mdx([noise[i * 4000:(i + 1) * 4000] for i in range(16)])


def run(binary, path, out_dir):
    args = [binary, path, "-midi", os.path.join(out_dir, "o.mid"), "-o", os.path.join(out_dir, "o.v")]
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    return os.waitstatus_to_exitcode(status), elapsed, usage.ru_maxrss / 1024.0


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: stress.py BUILD_DIR")
    binaries = [os.path.join(sys.argv[1], name) for name in ("KARVO2", "KARVO")]
    worst_time, worst_mem, failed = (0.0, ""), (0.0, ""), False
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in cases():
            path = os.path.join(tmp, "in.mdx")
            with open(path, "wb") as f:
                f.write(data)
            for binary in binaries:
                code, secs, mib = run(binary, path, tmp)
                label = f"{os.path.basename(binary)}: {name} ({len(data)} bytes)"
                print(f"{label:55} exit {code}  {secs:6.3f} s  {mib:7.1f} MiB")
                failed |= code not in (0, 1)
                worst_time = max(worst_time, (secs, label))
                worst_mem = max(worst_mem, (mib, label))
    print(f"slowest: {worst_time[0]:.3f} s  ({worst_time[1]})")
    print(f"peak memory: {worst_mem[0]:.1f} MiB  ({worst_mem[1]})")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
