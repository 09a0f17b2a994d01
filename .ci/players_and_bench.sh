#!/usr/bin/env bash
# Reports for the CI log, after the tests have passed: what fluidsynth made of each
# song (ctest shows a passing test's output only when asked), the converter core's
# throughput and the whole-process cost against a plain copy. Times are reported,
# never judged: this fails only when a player test or a benchmark run fails.
#
#   .ci/players_and_bench.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

echo "== players: song length against the rendering (fluidsynth, TimGM6mb)"
ctest --test-dir "$build" -R '^players\.' -V 2>&1 | grep -E '^[0-9]+: [a-z_/ ()]+ +(notes|caught|rewritten)|tests passed'

echo "== converter core (Google Benchmark; medians of 5)"
"$build/bench/karvo_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 2>&1 | grep -E '^(Benchmark|-+$|BM_.*_median|Run on|Load)'

echo "== whole process against cp"
bash bench/whole_process.sh "$build" 200
