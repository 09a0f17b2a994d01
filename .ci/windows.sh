#!/usr/bin/env bash
# CI, the Windows programs: cross-builds KARVO2.exe and KARVO.exe with mingw-w64 in
# build-windows (or $KARVO_WINDOWS_BUILD) and runs the end-to-end tests with them
# under Wine, next to the native programs of NATIVE_BUILD (default: build, made by
# .ci/run before; the two programs are built for it when it has none).
#
#   .ci/windows.sh [NATIVE_BUILD]
#
# Installs nothing: it needs g++-mingw-w64-x86-64 and wine64 (Debian packages).
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
out=${KARVO_WINDOWS_BUILD:-build-windows}

echo "== Windows programs (mingw-w64)"
cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DKARVO_TESTS=OFF -DKARVO_BENCH=OFF -DKARVO_WERROR=ON
cmake --build "$out"

# Only the system's own DLLs: the compiler's runtime is linked in, so the .exe files
# run without anything beside them.
for exe in "$out/KARVO2.exe" "$out/KARVO.exe"; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    echo "$exe imports: ${dlls//$'\n'/ }"
    [[ -n $dlls ]] || { echo "$exe: no import table read" >&2; exit 1; }
    for dll in $dlls; do
        case ${dll,,} in
        kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | user32.dll) ;;
        *)
            echo "$exe needs $dll, which Windows does not have" >&2
            exit 1
            ;;
        esac
    done
done

if [[ ! -x $native/KARVO2 || ! -x $native/KARVO ]]; then
    echo "== native programs for the comparison ($out/native)"
    native=$out/native
    cmake -S . -B "$native" -G Ninja -DKARVO_TESTS=OFF -DKARVO_BENCH=OFF
    cmake --build "$native" --target KARVO2 KARVO
fi

echo "== end-to-end tests under Wine"
bash tests/windows/run_wine_e2e.sh "$native" "$out"
