#!/usr/bin/env bash
# Whole-process cost of one conversion, set against a plain copy of the same file and
# against the floor of writing the conversion's own outputs safely.
#
#   bench/whole_process.sh [PROGRAM_DIR] [RUNS] [INPUT...]
#
# PROGRAM_DIR holds KARVO2 and KARVO (default: build; /usr/bin for the installed
# ones), RUNS is the number of runs of each command on each input (default 200).
# The inputs default to the example (examples/demo.mdx) and the generated real-size
# song, which MAKE_SONG writes (default: PROGRAM_DIR/bench/make_song, built with
# -DKARVO_BENCH=ON; without it the song is left out, with a note). Each round runs
# `cp`, KARVO2 and KARVO once on every input, in an order that rotates from round to
# round, so that a busy moment of the machine falls on all of them alike. The floor,
# REWRITE_OUTPUTS (default: PROGRAM_DIR/bench/rewrite_outputs), runs in the same
# rounds: it reads a program's outputs of the round before and writes them again,
# each to a new file beside it renamed over it. Prints, per input, the median wall
# time per file of each, and each program's ratio to the copy of the same file and,
# over existing files, to its floor.
#
# A report, not a test: it fails only when a command fails or an output differs
# from the first run's.
set -euo pipefail
export LC_ALL=C   # EPOCHREALTIME's decimal point follows the locale

root=$(cd "$(dirname "$0")/.." && pwd)
prog_dir=$(cd "${1:-$root/build}" && pwd)
runs=${2:-200}
inputs=("${@:3}")
aim=1.25   # a run over existing files against the floor of writing its outputs

for prog in KARVO2 KARVO; do
    [[ -x $prog_dir/$prog ]] || { echo "whole_process.sh: no $prog in $prog_dir" >&2; exit 1; }
done
# The floor program (built with -DKARVO_BENCH=ON): without it only cp is compared.
floor=${REWRITE_OUTPUTS:-$prog_dir/bench/rewrite_outputs}
if [[ ! -x $floor ]]; then
    echo "whole_process.sh: no $floor: no floor to compare with" >&2
    floor=
fi
((runs > 0)) || { echo "whole_process.sh: RUNS must be positive" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# All commands read local copies of the inputs, named by their position.
names=()
if ((${#inputs[@]} == 0)); then
    cp "$root/examples/demo.mdx" "$work/in0.mdx"
    names+=(demo.mdx)
    make_song=${MAKE_SONG:-$prog_dir/bench/make_song}
    if [[ -x $make_song ]]; then
        "$make_song" real "$work/in1.mdx"
        names+=("real-size song")
    else
        echo "whole_process.sh: no $make_song: the real-size song is left out" >&2
    fi
else
    for ((k = 0; k < ${#inputs[@]}; ++k)); do
        cp "$(realpath "${inputs[k]}")" "$work/in$k.mdx"
        names+=("$(basename "${inputs[k]}")")
    done
fi
cd "$work"

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

# Each runs one command on input K, writing over the outputs of the round before.
run_cp() { timed "t$1.cp" cp "in$1.mdx" "copy$1.mdx"; }
run_karvo2() { timed "t$1.KARVO2" "$prog_dir/KARVO2" "in$1.mdx" -midi "k2_$1.mid" -o "k2_$1.fxb"; }
run_karvo() { timed "t$1.KARVO" "$prog_dir/KARVO" "in$1.mdx" -midi "k_$1.mid" -o "k_$1.opm"; }
# The floor of a program's own run: its outputs of the round before, read and written
# again safely, each to a new file beside it renamed over it.
run_floor2() { timed "t$1.floor.KARVO2" "$floor" "k2_$1.mid" "k2_$1.fxb"; }
run_floor() { timed "t$1.floor.KARVO" "$floor" "k_$1.mid" "k_$1.opm"; }
# The same into files that are not there yet, as in a first conversion of a folder;
# they are removed at the start of each round, untimed. A file written over an
# earlier one costs more on some file systems (ext4 flushes a file renamed over
# another, and one truncated and rewritten), so both are shown.
run_new_cp() { timed "t$1.new.cp" cp "in$1.mdx" "new_copy$1.mdx"; }
run_new_karvo2() { timed "t$1.new.KARVO2" "$prog_dir/KARVO2" "in$1.mdx" -midi "new_k2_$1.mid" -o "new_k2_$1.fxb"; }
run_new_karvo() { timed "t$1.new.KARVO" "$prog_dir/KARVO" "in$1.mdx" -midi "new_k_$1.mid" -o "new_k_$1.opm"; }

outputs() {
    echo "copy$1.mdx k2_$1.mid k2_$1.fxb k_$1.mid k_$1.opm"
    echo "new_copy$1.mdx new_k2_$1.mid new_k2_$1.fxb new_k_$1.mid new_k_$1.opm"
}

# One untimed round first: it fills the page cache and keeps the outputs to compare.
order=()
for ((k = 0; k < ${#names[@]}; ++k)); do
    rm -f new_*
    run_cp "$k" && run_karvo2 "$k" && run_karvo "$k" && run_new_cp "$k" && run_new_karvo2 "$k" && run_new_karvo "$k"
    for f in $(outputs "$k"); do cp "$f" "first.$f"; done
    order+=("run_cp $k" "run_karvo2 $k" "run_karvo $k" "run_new_cp $k" "run_new_karvo2 $k" "run_new_karvo $k")
    if [[ -n $floor ]]; then
        order+=("run_floor2 $k" "run_floor $k")
    fi
done
rm -f t*.*

for ((i = 0; i < runs; ++i)); do
    rm -f new_*
    for ((j = 0; j < ${#order[@]}; ++j)); do
        ${order[(i + j) % ${#order[@]}]}
    done
done

for ((k = 0; k < ${#names[@]}; ++k)); do
    for f in $(outputs "$k"); do
        cmp -s "$f" "first.$f" || { echo "whole_process.sh: $f (${names[k]}) changed between runs" >&2; exit 1; }
    done
done

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

for ((k = 0; k < ${#names[@]}; ++k)); do
    for into in new existing; do
        tag=$k
        [[ $into == new ]] && tag=$k.new
        ((k == 0)) && [[ $into == new ]] || echo
        size=$(stat -c %s "in$k.mdx")
        echo "whole process: $runs runs each of ${names[k]} ($size bytes) into $into files," \
            "programs from $prog_dir"
        base=$(median "t$tag.cp")
        printf '%-8s median %8.3f ms per file\n' cp "$(awk -v m="$base" 'BEGIN { print m / 1000 }')"
        for prog in KARVO2 KARVO; do
            m=$(median "t$tag.$prog")
            f=0
            if [[ $into == existing && -n $floor ]]; then
                f=$(median "t$tag.floor.$prog")
            fi
            awk -v p="$prog" -v m="$m" -v b="$base" -v f="$f" -v aim="$aim" 'BEGIN {
                r = m / b
                printf "%-8s median %8.3f ms per file   ratio to cp %.2f", p, m / 1000, r
                if (f > 0) {
                    printf "   floor %.3f ms, ratio to floor %.2f (%s %.2f)", f / 1000, m / f,
                           m / f <= aim ? "within" : "above", aim
                }
                printf "\n"
            }'
        done
    done
done
