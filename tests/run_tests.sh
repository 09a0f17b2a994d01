#!/usr/bin/env bash
# Builds in the given folder (default: build) and runs every test.
# Further arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
# The third-party bank reader comes from npm, pinned by tests/thirdparty's lock file.
if [[ ! -d tests/thirdparty/node_modules/vst2-preset-parser ]] && command -v npm >/dev/null; then
    npm ci --prefix "$PWD/tests/thirdparty" --no-audit --no-fund
fi
cmake -S . -B "$dir" -G Ninja "$@"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j 2
