#!/usr/bin/env bash
# Installs what the tests need and is missing, checks the layout of the sources,
# builds everything in its own folder (default: build-tests) and runs every test. Further arguments go to cmake's
# configure step.
#
#   bash tests/run_tests.sh [BUILD_DIR] [CMAKE_ARGS...]
#
# As root (as on CI) it installs the missing Debian packages with apt-get and the
# third-party bank reader with npm ci; otherwise it names what to install and stops.
# Every test tool is then required: none of the tests is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tests}
shift || true

# The Debian packages the tests use, beyond cmake, make and g++.
packages=(cmake make g++ clang-format pkg-config libsmf-dev libglib2.0-dev libgtest-dev libgmock-dev
          libbenchmark-dev libinstpatch-dev python3 python3-mido fluidsynth timgm6mb-soundfont valgrind)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
# Node.js and npm run the third-party bank reader; any installation of them will do.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]} > 0)); then
    if [[ $(id -u) != 0 ]]; then
        echo "run_tests.sh: missing Debian packages; as root, install them with" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        echo "or run this script as root, which does that itself." >&2
        exit 1
    fi
    echo "== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The third-party bank reader, pinned by tests/thirdparty's lock file.
if [[ ! -f tests/thirdparty/node_modules/vst2-preset-parser/package.json ]]; then
    echo "== npm ci in tests/thirdparty"
    npm ci --prefix "$PWD/tests/thirdparty" --no-audit --no-fund
fi

# The layout is .clang-format's: a file it would change fails the run (fix it with
# clang-format -i FILE).
echo "== clang-format"
sources=()
for d in common KARVO KARVO2 sound bench tests; do
    [[ -d $d ]] && sources+=("$d")
done
find "${sources[@]}" \( -name '*.cpp' -o -name '*.h' \) -not -path 'tests/thirdparty/*' -print0 |
    sort -z | xargs -0 clang-format --dry-run -Werror

cmake -S . -B "$dir" -DKARVO_TESTS=ON -DKARVO_BENCH=ON -DKARVO_REQUIRE_TEST_TOOLS=ON -DKARVO_WERROR=ON "$@"
cmake --build "$dir" --parallel "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
