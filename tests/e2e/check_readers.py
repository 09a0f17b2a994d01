"""Has two third-party MIDI readers, libsmf (through smf_check) and mido, read
every golden MIDI file, and checks that each accepts it without a warning and finds
the same tracks and events as a plain walk of the chunks written here.

    /usr/bin/python3 -W error check_readers.py SMF_CHECK GOLDEN_DIR

Each reader's findings are put in one listing (format, division, track count,
events per track, then every event as its absolute tick and its bytes) and the
listings must be equal. Every listing counts the end-of-track event: the walk and
mido see it as an event of its own, and libsmf keeps it as the last event.
"""
import difflib
import pathlib
import subprocess
import sys
import tempfile
import warnings

warnings.simplefilter("error")
import mido  # noqa: E402  (imported under the warning filter)

# Files the test must find, so that an empty or misplaced golden directory fails.
REQUIRED = ["demo.mid", "whole_track.mid.hex"]


def golden_bytes(path):
    """Raw bytes, or the bytes of a hex golden: byte pairs, XX*N, # comments."""
    if path.suffix != ".hex":
        return path.read_bytes()
    out = bytearray()
    for line in path.read_text().splitlines():
        for tok in line.split("#", 1)[0].split():
            byte, _, count = tok.partition("*")
            out += bytes([int(byte, 16)]) * int(count or 1)
    return bytes(out)


def walk(data):
    """A strict walk of MThd and the MTrk chunks: no running status, every event
    inside its chunk, one end of track closing each chunk, nothing left over."""

    def need(ok, what):
        if not ok:
            raise ValueError(what)

    def be(at, n):
        need(at + n <= len(data), "file ends inside a field")
        return int.from_bytes(data[at:at + n], "big")

    def vlq(at, end):
        value = 0
        for k in range(4):
            need(at + k < end, "chunk ends inside a variable-length number")
            value = (value << 7) | (data[at + k] & 0x7F)
            if data[at + k] < 0x80:
                return value, at + k + 1
        raise ValueError("variable-length number longer than 4 bytes")

    need(data[:4] == b"MThd" and be(4, 4) == 6, "no 6-byte MThd")
    fmt, declared, division = be(8, 2), be(10, 2), be(12, 2)
    tracks = []
    pos = 14
    while pos < len(data):
        need(data[pos:pos + 4] == b"MTrk", "chunk %d is not MTrk" % len(tracks))
        end = pos + 8 + be(pos + 4, 4)
        need(end <= len(data), "chunk runs past the end of the file")
        events, tick, p = [], 0, pos + 8
        while p < end:
            need(not events or events[-1][1] != b"\xff\x2f\x00", "events after the end of track")
            delta, p = vlq(p, end)
            tick += delta
            status = data[p] if p < end else 0
            need(status >= 0x80, "running status or a missing status byte")
            if status == 0xFF:
                length, q = vlq(p + 2, end)
                size = q + length - p
            elif status in (0xF0, 0xF7):
                length, q = vlq(p + 1, end)
                size = q + length - p
            else:
                size = 2 if status & 0xF0 in (0xC0, 0xD0) else 3
                need(all(b < 0x80 for b in data[p + 1:p + size]), "data byte above 0x7F")
            need(p + size <= end, "event runs past its chunk")
            events.append((tick, data[p:p + size]))
            p += size
        need(events and events[-1][1] == b"\xff\x2f\x00", "chunk does not end with end of track")
        tracks.append(events)
        pos = end
    need(len(tracks) == declared, "MThd declares %d chunks, the file holds %d" % (declared, len(tracks)))
    return listing(fmt, division, tracks)


def listing(fmt, division, tracks):
    lines = ["format %d division %d tracks %d" % (fmt, division, len(tracks))]
    for t, events in enumerate(tracks):
        lines.append("track %d: %d events" % (t, len(events)))
        lines += ["%d %s" % (tick, " ".join("%02x" % b for b in ev)) for tick, ev in events]
    return lines


def read_mido(path):
    with open(path, "rb") as f:
        midi = mido.MidiFile(file=f, clip=False)
        # mido reads as many chunks as MThd declares; anything behind them is an error here.
        if f.read(1):
            raise ValueError("mido left bytes unread behind the declared chunks")
    tracks = []
    for track in midi.tracks:
        tick, events = 0, []
        for msg in track:
            tick += msg.time
            events.append((tick, bytes(msg.bytes())))
        tracks.append(events)
    return listing(midi.type, midi.ticks_per_beat, tracks)


def read_libsmf(smf_check, path):
    run = subprocess.run([smf_check, str(path)], capture_output=True, text=True)
    if run.returncode != 0:
        raise ValueError("libsmf: " + run.stderr.strip())
    return run.stdout.splitlines()


def main():
    smf_check, golden_dir = sys.argv[1], pathlib.Path(sys.argv[2])
    files = sorted(p for p in golden_dir.iterdir() if p.name.endswith((".mid", ".mid.hex")))
    missing = [name for name in REQUIRED if not (golden_dir / name).exists()]
    if missing:
        print("FAIL: missing goldens: " + ", ".join(missing))
        return 1
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for golden in files:
            path = pathlib.Path(tmp) / golden.name.replace(".hex", "")
            path.write_bytes(golden_bytes(golden))
            try:
                ours = walk(path.read_bytes())
                readers = {"mido": read_mido(path), "libsmf": read_libsmf(smf_check, path)}
            except (ValueError, OSError, EOFError, Warning) as e:
                print("FAIL %s: %s" % (golden.name, e))
                failed += 1
                continue
            for name, theirs in readers.items():
                if theirs != ours:
                    print("FAIL %s: %s reads it differently" % (golden.name, name))
                    sys.stdout.writelines(
                        line + "\n" for line in difflib.unified_diff(ours, theirs, "walk", name, lineterm=""))
                    failed += 1
            if all(theirs == ours for theirs in readers.values()):
                counts = [line for line in ours if line.startswith("track ")]
                print("ok %s: %s; %s" % (golden.name, ours[0], ", ".join(c.split(": ")[1] for c in counts)))
    print("%d files, %d failures" % (len(files), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
