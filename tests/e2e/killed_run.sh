#!/usr/bin/env bash
# A run killed halfway leaves the earlier output files as they were and no
# temporary file. The input comes through a FIFO that is held open, so the program
# is surely in the middle of its run (waiting for the rest of the data) when the
# signal arrives.
#   killed_run.sh PROGRAM WORK_DIR
set -uo pipefail
prog=$1
work=$2
fail=0

# (A job started with & ignores SIGINT, so INT is not among them.)
for sig in KILL TERM HUP; do
    rm -rf "$work"
    mkdir -p "$work"
    cd "$work" || exit 1
    printf 'earlier midi' >out.mid
    printf 'earlier voices' >out.v
    mkfifo in.fifo
    "$prog" in.fifo -midi out.mid -o out.v >stdout 2>stderr &
    pid=$!
    exec 3>in.fifo
    # A whole head and the start of a track: the run gets past the header scan and
    # waits in the load for the rest.
    printf 'k\r\n\x1a\x00\x00\x04\x00\x04\x80' >&3
    sleep 0.3
    kill -s "$sig" "$pid"
    wait "$pid"
    status=$?
    exec 3>&-
    left=$(ls -A | sort | tr '\n' ' ')
    if [[ $status -lt 128 ]]; then
        echo "FAIL ($sig): the run was not killed but ended with $status"
        fail=1
    fi
    if [[ $(cat out.mid) != "earlier midi" || $(cat out.v) != "earlier voices" ]]; then
        echo "FAIL ($sig): an earlier output file was changed"
        fail=1
    fi
    if [[ $left != "in.fifo out.mid out.v stderr stdout " ]]; then
        echo "FAIL ($sig): files left: $left"
        fail=1
    fi
    cd - >/dev/null || exit 1
done
exit $fail
