#!/usr/bin/env bash
# Fuzzes each program's whole run for the given number of seconds (default 60).
#   tests/fuzz/run_fuzz.sh [SECONDS] [BUILD_DIR] [TARGET...]
# Builds the libFuzzer targets with clang in BUILD_DIR (default build-fuzz), starts
# from a copy of the seed corpus, and fails on a crash, a leak, a sanitizer report,
# a timeout or a broken output. Findings land in BUILD_DIR/findings/TARGET/; keep
# each one in tests/fuzz/regressions/ with a note on its cause.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
dir=${2:-build-fuzz}
shift 2 || shift $# || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(fuzz_karvo2 fuzz_karvo)

CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKARVO_TESTS=ON -DKARVO_FUZZ=ON -DKARVO_THIRDPARTY=OFF -DKARVO_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
    work="$dir/fuzz-corpus/$target"
    findings="$dir/findings/$target"
    mkdir -p "$work" "$findings"
    cp -n tests/fuzz/corpus/* tests/fuzz/regressions/* "$work"/
    echo "== $target for $seconds s"
    # -timeout: one input taking 10 s is a hang; inputs up to 64 KiB reach the
    # image limit and the runaway guards.
    if ! "$dir/tests/fuzz/$target" "$work" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -max_len=70000 -print_final_stats=1 \
            -artifact_prefix="$findings/" 2>"$dir/fuzz-$target.log"; then
        status=1
        tail -n 40 "$dir/fuzz-$target.log"
        echo "$target: finding kept in $findings" >&2
    fi
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
        "$dir/fuzz-$target.log" || true
    grep -E '^#[0-9]+.*DONE' "$dir/fuzz-$target.log" || true
done
exit $status
