#!/usr/bin/env bash
# Whole-process cost of one conversion, set against a plain copy of the same file.
#
#   bench/whole_process.sh [PROGRAM_DIR] [RUNS] [INPUT]
#
# PROGRAM_DIR holds KARVO2 and KARVO (default: build; /usr/bin for the installed
# ones), RUNS is the number of runs of each command (default 200), INPUT the MDX
# file (default: examples/demo.mdx). Each round runs `cp`, KARVO2 and KARVO once,
# in an order that rotates from round to round, so that a busy moment of the
# machine falls on all three alike. Prints the median wall time per file of each
# and the ratio of each program's to the copy's.
#
# A report, not a test: it fails only when a command fails or an output differs
# from the first run's.
set -euo pipefail
export LC_ALL=C   # EPOCHREALTIME's decimal point follows the locale

root=$(cd "$(dirname "$0")/.." && pwd)
prog_dir=$(cd "${1:-$root/build}" && pwd)
runs=${2:-200}
input=$(realpath "${3:-$root/examples/demo.mdx}")
aim=1.20

for prog in KARVO2 KARVO; do
    [[ -x $prog_dir/$prog ]] || { echo "whole_process.sh: no $prog in $prog_dir" >&2; exit 1; }
done
((runs > 0)) || { echo "whole_process.sh: RUNS must be positive" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$input" in.mdx   # all three read the same local file

# Runs one command and appends its wall time in microseconds to FILE. The clock is
# bash's own, so no extra process is timed.
timed() {
    local file=$1 t0 t1
    shift
    t0=${EPOCHREALTIME//[.,]/}
    "$@" >/dev/null 2>&1 || { echo "whole_process.sh: failed: $*" >&2; exit 1; }
    t1=${EPOCHREALTIME//[.,]/}
    echo $((t1 - t0)) >>"$file"
}

run_cp() { timed t.cp cp in.mdx copy.mdx; }
run_karvo2() { timed t.KARVO2 "$prog_dir/KARVO2" in.mdx -midi k2.mid -o k2.fxb; }
run_karvo() { timed t.KARVO "$prog_dir/KARVO" in.mdx -midi k.mid -o k.opm; }

# One untimed round first: it fills the page cache and keeps the outputs to compare.
run_cp && run_karvo2 && run_karvo
for f in copy.mdx k2.mid k2.fxb k.mid k.opm; do cp "$f" "first.$f"; done
rm -f t.*

order=(run_cp run_karvo2 run_karvo)
for ((i = 0; i < runs; ++i)); do
    for ((j = 0; j < 3; ++j)); do
        "${order[(i + j) % 3]}"
    done
done

for f in copy.mdx k2.mid k2.fxb k.mid k.opm; do
    cmp -s "$f" "first.$f" || { echo "whole_process.sh: $f changed between runs" >&2; exit 1; }
done

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

size=$(stat -c %s in.mdx)
echo "whole process: $runs runs each of $(basename "$input") ($size bytes), programs from $prog_dir"
base=$(median t.cp)
printf '%-8s median %8.3f ms per file\n' cp "$(awk -v m="$base" 'BEGIN { print m / 1000 }')"
for prog in KARVO2 KARVO; do
    m=$(median "t.$prog")
    awk -v p="$prog" -v m="$m" -v b="$base" -v aim="$aim" 'BEGIN {
        r = m / b
        printf "%-8s median %8.3f ms per file   ratio to cp %.2f (%s %.2f)\n", p, m / 1000, r,
               r <= aim ? "within" : "above", aim
    }'
done
