#!/usr/bin/env python3
"""Runs both programs on every hostile input of the tests (written by the build's
hostile_gen) and reports the slowest case's wall time and the largest peak memory,
against a budget of 2 s and 256 MiB. A report, not a test: it exits non-zero only
when a run crashes or leaves the 0/1 exit statuses.

    stress.py BUILD_DIR"""
import os
import subprocess
import sys
import tempfile
import time

BUDGET_SECONDS = 2.0
BUDGET_MIB = 256.0
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "demo.mdx")


def run(binary, path, out_dir):
    args = [binary, path, "-midi", os.path.join(out_dir, "o.mid"), "-o", os.path.join(out_dir, "o.v")]
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    # ru_maxrss counts the forked interpreter before exec too: an upper bound.
    return os.waitstatus_to_exitcode(status), elapsed, usage.ru_maxrss / 1024.0


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: stress.py BUILD_DIR")
    build = sys.argv[1]
    binaries = [os.path.join(build, name) for name in ("KARVO2", "KARVO")]
    worst_time, worst_mem, failed, cuts = (0.0, ""), (0.0, ""), False, 0
    with tempfile.TemporaryDirectory() as tmp:
        inputs = os.path.join(tmp, "inputs")
        os.mkdir(inputs)
        subprocess.run([os.path.join(build, "tests", "hostile_gen"), EXAMPLE, inputs],
                       check=True, stdout=subprocess.DEVNULL)
        for name in sorted(os.listdir(inputs)):
            path = os.path.join(inputs, name)
            size = os.path.getsize(path)
            for binary in binaries:
                code, secs, mib = run(binary, path, tmp)
                label = f"{os.path.basename(binary)}: {name[5:-4]} ({size} bytes)"
                # The example's cuts are many and alike: only their summary is shown.
                if "example cut" not in name or code not in (0, 1):
                    print(f"{label:62} exit {code}  {secs:6.3f} s  {mib:7.1f} MiB")
                else:
                    cuts += 1
                failed |= code not in (0, 1)
                worst_time = max(worst_time, (secs, label))
                worst_mem = max(worst_mem, (mib, label))
    print(f"example cut at every length: {cuts} runs, exit 0 or 1")
    print(f"slowest: {worst_time[0]:.3f} s  ({worst_time[1]})")
    print(f"peak memory: {worst_mem[0]:.1f} MiB  ({worst_mem[1]})")
    within = worst_time[0] <= BUDGET_SECONDS and worst_mem[0] <= BUDGET_MIB
    print(f"budget {BUDGET_SECONDS:.0f} s, {BUDGET_MIB:.0f} MiB: {'within' if within else 'EXCEEDED'}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
