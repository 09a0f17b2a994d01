#!/usr/bin/env bash
# Builds the Debian package from a finished build folder, installs it with dpkg,
# runs the installed programs on the example and compares everything they produce
# (exit status, standard output, standard error, the MIDI file and the voice output)
# with what the build tree's programs produce. The package is removed again at the
# end, so run this only where no other karvo package is installed.
#
#   .ci/package.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build}" && pwd)

fail() { echo "package.sh: $*" >&2; exit 1; }

echo "== cpack -G DEB in $build"
rm -f "$build"/karvo_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/karvo_*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "expected one karvo_*.deb in $build, found: ${debs[*]}"
deb=${debs[0]}

echo "== $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Architecture Depends
# Exactly the two programs and their man pages, compressed.
contents=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(printf '%s\n' ./usr/bin/KARVO ./usr/bin/KARVO2 \
    ./usr/share/man/man1/KARVO.1.gz ./usr/share/man/man1/KARVO2.1.gz)
[[ $contents == "$expected" ]] || fail "package holds [${contents//$'\n'/ }], expected [${expected//$'\n'/ }]"
[[ -n $(dpkg-deb --field "$deb" Depends) ]] || fail "the package declares no dependencies"

echo "== dpkg -i"
dpkg -i "$deb"
trap 'dpkg -r karvo >/dev/null || true' EXIT
for prog in KARVO2 KARVO; do
    [[ -x /usr/bin/$prog ]] || fail "/usr/bin/$prog is not installed"
    page=$(man -w "$prog")
    [[ $page == /usr/share/man/man1/$prog.1.gz ]] || fail "man -w $prog gives $page"
    # The installed page renders without a warning.
    warnings=$(man --warnings=all "$prog" 2>&1 >/dev/null) || fail "man $prog failed"
    [[ -z $warnings ]] || fail "man $prog warns: $warnings"
done

# Runs PROGRAM with ARGS in an empty folder DIR that holds the example as demo.mdx,
# so that the voice names are the same for both; keeps the status and streams there.
run_in() {
    local dir=$1
    shift
    mkdir -p "$dir"
    cp "$root/examples/demo.mdx" "$dir/demo.mdx"
    local status=0
    (cd "$dir" && "$@" >stdout 2>stderr) || status=$?
    echo "$status" >"$dir/status"
}

work=$(mktemp -d)
trap 'rm -rf "$work"; dpkg -r karvo >/dev/null || true' EXIT
echo "== installed programs against the build tree's, on examples/demo.mdx"
for prog in KARVO2 KARVO; do
    ext=$([[ $prog == KARVO2 ]] && echo fxb || echo opm)
    for args in "demo.mdx -midi demo.mid -o demo.$ext" "demo.mdx -midi demo.mid" "-h"; do
        read -r -a argv <<<"$args"
        run_in "$work/installed" "/usr/bin/$prog" "${argv[@]}"
        run_in "$work/built" "$build/$prog" "${argv[@]}"
        for f in status stdout stderr demo.mid "demo.$ext"; do
            if [[ -e $work/built/$f || -e $work/installed/$f ]]; then
                cmp "$work/built/$f" "$work/installed/$f" || fail "$prog $args: $f differs"
            fi
        done
        # The conversion itself must have worked, not merely failed alike.
        if [[ $args != -h ]]; then
            [[ $(cat "$work/installed/status") == 0 && -s $work/installed/demo.mid ]] ||
                fail "$prog $args: the installed program did not convert the example"
        fi
        echo "$prog $args: same status, standard output, standard error and files"
        rm -rf "$work/installed" "$work/built"
    done
done
echo "== package OK"
