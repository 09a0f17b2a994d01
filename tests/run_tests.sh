#!/usr/bin/env bash
# Builds in the given folder (default: build) and runs every test.
# Further arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j 2
