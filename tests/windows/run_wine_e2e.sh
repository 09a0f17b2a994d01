#!/usr/bin/env bash
# The Windows programs under Wine, held to what the native ones do.
#
#   run_wine_e2e.sh NATIVE_BUILD WINDOWS_BUILD
#
# 1. The end-to-end cases in tests/e2e/cases (but those naming Linux devices), run by
#    tests/e2e/run_case.sh with KARVO2.exe and KARVO.exe against the native goldens:
#    the same exit status and the same bytes, except that text (the console streams
#    and the voice text) ends its lines with CR LF, as text-mode streams on Windows
#    write it.
# 2. The example song converted by the native programs and by the .exe files side by
#    side: from a file, through a pipe and with the voices on standard output.
# 3. What only Windows has: another spelling of the input file, read-only files,
#    device names, earlier files replaced and not left hidden, Ctrl+C.
#
# Wine's prefix lives in WINDOWS_BUILD/wineprefix; the first run sets it up.
set -uo pipefail

if (($# != 2)); then
    echo "usage: $0 NATIVE_BUILD WINDOWS_BUILD" >&2
    exit 2
fi
native=$(cd "$1" && pwd) || exit 2
windows=$(cd "$2" && pwd) || exit 2
root=$(cd "$(dirname "$0")/../.." && pwd)
example=$root/examples/demo.mdx

for prog in "$native/KARVO2" "$native/KARVO" "$windows/KARVO2.exe" "$windows/KARVO.exe"; do
    [[ -x $prog ]] || { echo "no program $prog" >&2; exit 2; }
done

# Debian installs the 64-bit loader as /usr/lib/wine/wine64, outside the PATH.
wine=""
for candidate in wine64 wine /usr/lib/wine/wine64; do
    if command -v "$candidate" >/dev/null; then
        wine=$(command -v "$candidate")
        break
    fi
done
[[ -n $wine ]] || { echo "wine is not installed (Debian: wine64)" >&2; exit 2; }
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || true)

export WINEDEBUG=-all WINEPREFIX=$windows/wineprefix
# No Mono or Gecko: the prefix is made without asking for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "== setting up the Wine prefix $WINEPREFIX"
    if ! "$wine" wineboot --init >"$windows/wineboot.log" 2>&1; then
        cat "$windows/wineboot.log"
        exit 1
    fi
fi
# One server for all the runs (each program started on a fresh one waits for it),
# stopped at the end with the prefix's background processes.
if [[ -n $wineserver ]]; then
    "$wineserver" -p
    trap '"$wineserver" -k >/dev/null 2>&1' EXIT
fi

failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

crlf() { sed -z 's/\n/\r\n/g' "$@"; }

# --- 1. the end-to-end cases -------------------------------------------------------
# Cases that name Linux devices (/dev/full) are left out: Windows has no such paths,
# and through Wine's drive Z: they would reach the host's /dev, where a run may
# create and rename files as whoever runs the tests. So are the cases marked
# linux_only (closed descriptors and file-size limits are not Wine's to pass on).
declare -A passed=()
total=0 skipped=()
for case_dir in "$root"/tests/e2e/cases/*/; do
    case_name=$(basename "$case_dir")
    if grep -Eq '^(args\b.*[[:space:]]/(dev|proc)/|linux_only\b)' "$case_dir/case"; then
        skipped+=("$case_name")
        continue
    fi
    for prog in KARVO2 KARVO; do
        total=$((total + 1))
        log=$windows/wine-e2e/$case_name.$prog.log
        mkdir -p "$windows/wine-e2e"
        if KARVO_E2E_WRAPPER=$wine KARVO_E2E_CRLF=1 KARVO_E2E_UPDATE="" \
            bash "$root/tests/e2e/run_case.sh" "$windows/$prog.exe" "$case_dir" \
            "$windows/wine-e2e/$case_name.$prog" >"$log" 2>&1; then
            passed[$prog]=$((${passed[$prog]:-0} + 1))
        else
            fail "e2e case $case_name with $prog.exe:"
            sed 's/^/    /' "$log"
        fi
    done
done
cases=$((total / 2))
echo "e2e cases under Wine: KARVO2.exe ${passed[KARVO2]:-0}/$cases, KARVO.exe ${passed[KARVO]:-0}/$cases" \
    "(left out, naming Linux devices or Linux only: ${skipped[*]:-none})"

e2e_failed=$failed

# --- 2. and 3. runs side by side -------------------------------------------------
# run DIR PROGRAM STDIN ARGS...: runs in DIR/run, made fresh with the example as in.mdx,
# and leaves DIR/status, DIR/stdout and DIR/stderr. STDIN is "pipe" for the example
# through a pipe, "-" for none. The function named in $setup prepares DIR/run first.
setup=""
run() {
    local dir=$1 prog=$2 stdin=$3
    shift 3
    rm -rf "$dir"
    mkdir -p "$dir/run"
    cp "$example" "$dir/run/in.mdx"
    local src=/dev/null runner=()
    [[ $stdin == pipe ]] && src=$example
    [[ $prog == *.exe ]] && runner=("$wine")
    (
        cd "$dir/run" || exit 125
        [[ -z $setup ]] || "$setup"
        # shellcheck disable=SC2002  # a pipe, not a file, is what is tested
        cat "$src" | "${runner[@]}" "$prog" "$@" >"$dir/stdout" 2>"$dir/stderr"
        echo "${PIPESTATUS[1]}" >"$dir/status"
    )
}
earlier_outputs() { printf 'earlier\n' >demo.mid && printf 'earlier\n' >demo.voices; }
read_only_file() { printf 'earlier\n' >ro && chmod a-w ro; }
folder() { mkdir sub; }

checks=0
# same_bytes WHAT EXPECTED GOT
same_bytes() {
    checks=$((checks + 1))
    cmp -s "$2" "$3" && return 0
    fail "$1: $3 differs from $2"
    diff <(od -An -c -v "$2") <(od -An -c -v "$3") | head -20 | sed 's/^/    /'
}

# same_console LABEL NATIVE_DIR WINDOWS_DIR [EXPECTED_STDOUT]: the exit status as it is,
# the console texts with CR LF line ends. Standard output that carries voices is
# given as a file.
same_console() {
    local label=$1 nat=$2 win=$3 out=${4:-}
    same_bytes "$label: exit status" "$nat/status" "$win/status"
    crlf "$nat/stderr" >"$win/stderr.expected"
    same_bytes "$label: standard error" "$win/stderr.expected" "$win/stderr"
    if [[ -z $out ]]; then
        out=$win/stdout.expected
        crlf "$nat/stdout" >"$out"
    fi
    same_bytes "$label: standard output" "$out" "$win/stdout"
}

# What a run left besides its input.
files_left() { (cd "$1/run" && find . -mindepth 1 ! -name in.mdx -printf '%P\n' | sort | tr '\n' ' '); }

# same_files LABEL NATIVE_DIR WINDOWS_DIR TEXT_FILE: the same files left, byte for
# byte, except TEXT_FILE (a voice text), which is the native one with CR LF.
same_files() {
    local label=$1 nat=$2 win=$3 text=$4 name
    checks=$((checks + 1))
    [[ $(files_left "$nat") == "$(files_left "$win")" ]] ||
        fail "$label: files left: [$(files_left "$win")], natively [$(files_left "$nat")]"
    for name in $(files_left "$nat"); do
        [[ -f $win/run/$name ]] || continue
        if [[ $name == "$text" ]]; then
            crlf "$nat/run/$name" >"$win/$name.expected"
            same_bytes "$label: $name" "$win/$name.expected" "$win/run/$name"
        else
            same_bytes "$label: $name" "$nat/run/$name" "$win/run/$name"
        fi
    done
}

work=$windows/wine-side
rm -rf "$work"
for prog in KARVO2 KARVO; do
    exe=$windows/$prog.exe nat=$native/$prog w=$work/$prog
    text=-
    [[ $prog == KARVO ]] && text=demo.voices

    # The example from a file and through a pipe.
    for stdin in - pipe; do
        args=(-midi demo.mid -o demo.voices)
        [[ $stdin == - ]] && args=(in.mdx "${args[@]}")
        label="$prog example, input ${stdin/-/file}"
        run "$w/native.$stdin" "$nat" "$stdin" "${args[@]}"
        run "$w/windows.$stdin" "$exe" "$stdin" "${args[@]}"
        same_console "$label" "$w/native.$stdin" "$w/windows.$stdin"
        same_files "$label" "$w/native.$stdin" "$w/windows.$stdin" "$text"
    done

    # Voices on standard output after the trace lines: the bank's bytes as they are
    # (the example's bank holds line feeds), the voice text with CR LF. Natively that
    # is the trace of the run with a voice file, then that file.
    label="$prog example, voices on standard output"
    run "$w/native.stdout" "$nat" - in.mdx -midi demo.mid
    run "$w/windows.stdout" "$exe" - in.mdx -midi demo.mid
    cat "$w/native.-/stdout" "$w/native.-/run/demo.voices" >"$w/native.stdout/stdout.expected"
    same_bytes "$label: native standard output" "$w/native.stdout/stdout.expected" "$w/native.stdout/stdout"
    fallback=$w/fallback.expected
    voice_bytes="cat"
    [[ $prog == KARVO ]] && voice_bytes=crlf
    { crlf "$w/native.-/stdout" && "$voice_bytes" "$w/native.-/run/demo.voices"; } >"$fallback"
    same_console "$label" "$w/native.stdout" "$w/windows.stdout" "$fallback"
    same_files "$label" "$w/native.stdout" "$w/windows.stdout" -

    # Earlier files are replaced; no temporary file stays, and none is left hidden.
    label="$prog example over earlier files"
    setup=earlier_outputs run "$w/windows.over" "$exe" - in.mdx -midi demo.mid -o demo.voices
    same_console "$label" "$w/native.-" "$w/windows.over"
    same_files "$label" "$w/native.-" "$w/windows.over" "$text"
    for name in demo.mid demo.voices; do
        checks=$((checks + 1))
        attributes=$(cd "$w/windows.over/run" && "$wine" attrib "$name" | tr -d '\r')
        [[ $attributes == *"\\$name" && ${attributes%%[A-Z]:\\*} != *H* ]] ||
            fail "$label: $name has the attributes [$attributes]"
    done

    # Other spellings of the input file name the input file: the run is refused and
    # the input stays whole. Natively the same message comes for in.mdx itself.
    full=$("$wine" winepath -w "$w/windows.self/run/in.mdx" | tr -d '\r')
    for spelling in IN.MDX '.\in.mdx' "$full"; do
        for option in -o -midi; do
            label="$prog $option '$spelling'"
            run "$w/native.self" "$nat" - in.mdx "$option" in.mdx
            run "$w/windows.self" "$exe" - in.mdx "$option" "$spelling"
            same_bytes "$label: exit status" "$w/native.self/status" "$w/windows.self/status"
            crlf "$w/native.self/stderr" | sed "s/ in\.mdx / ${spelling//\\/\\\\} /" \
                >"$w/windows.self/stderr.expected"
            same_bytes "$label: standard error" "$w/windows.self/stderr.expected" "$w/windows.self/stderr"
            crlf "$w/native.self/stdout" >"$w/windows.self/stdout.expected"
            same_bytes "$label: standard output" "$w/windows.self/stdout.expected" "$w/windows.self/stdout"
            same_bytes "$label: the input" "$example" "$w/windows.self/run/in.mdx"
            same_files "$label" "$w/native.self" "$w/windows.self" -
        done
    done

    # A read-only file is refused as a path into no folder is natively, and stays as it was.
    for option in -midi -o; do
        label="$prog $option read-only file"
        other=-o
        [[ $option == -o ]] && other=-midi
        run "$w/native.ro" "$nat" - in.mdx "$option" nodir/ro "$other" demo.out
        setup=read_only_file run "$w/windows.ro" "$exe" - in.mdx "$option" ro "$other" demo.out
        expected_out=""
        [[ $option == -o ]] && expected_out=$fallback
        same_console "$label" "$w/native.ro" "$w/windows.ro" "$expected_out"
        printf 'earlier\n' >"$w/windows.ro/ro.expected"
        same_bytes "$label: the file" "$w/windows.ro/ro.expected" "$w/windows.ro/run/ro"
        rm "$w/windows.ro/run/ro"
        same_files "$label" "$w/native.ro" "$w/windows.ro" -
    done

    # A folder is refused, as natively.
    label="$prog folder as the MIDI file"
    setup=folder run "$w/native.dir" "$nat" - in.mdx -midi sub -o demo.out
    setup=folder run "$w/windows.dir" "$exe" - in.mdx -midi sub -o demo.out
    same_console "$label" "$w/native.dir" "$w/windows.dir"
    same_files "$label" "$w/native.dir" "$w/windows.dir" -

    # Device names, also in a folder, are written directly, as /dev/null natively.
    for device in NUL 'nodir\nul'; do
        label="$prog device $device"
        run "$w/native.dev" "$nat" - in.mdx -midi /dev/null -o /dev/null
        run "$w/windows.dev" "$exe" - in.mdx -midi "$device" -o "$device"
        same_console "$label" "$w/native.dev" "$w/windows.dev"
        same_files "$label" "$w/native.dev" "$w/windows.dev" -
    done

    # Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) while the run waits
    # for its input with the MIDI file's temporary file open: the temporary file is
    # removed and the earlier file stays.
    label="$prog Ctrl+C"
    dir=$w/ctrl-c
    rm -rf "$dir"
    mkdir -p "$dir"
    printf 'earlier\n' >"$dir/out.mid"
    mkfifo "$dir/in.fifo"
    (cd "$dir" && exec "$wine" "$exe" -midi out.mid -o out.voices <in.fifo >stdout 2>stderr) &
    pid=$!
    exec 3>"$dir/in.fifo"
    for _ in $(seq 100); do
        compgen -G "$dir/.karvo-*" >/dev/null && break
        sleep 0.1
    done
    checks=$((checks + 1))
    if compgen -G "$dir/.karvo-*" >/dev/null; then
        kill -INT "$pid"
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            fail "$label: the run goes on"
            kill -KILL "$pid"
        fi
        left=$(cd "$dir" && find . -mindepth 1 ! -name in.fifo ! -name 'std*' -printf '%P ')
        [[ $left == "out.mid " ]] || fail "$label: files left: $left"
    else
        fail "$label: no temporary file while the run waits for its input"
        kill -KILL "$pid"
    fi
    exec 3>&-
    wait "$pid" 2>/dev/null
    printf 'earlier\n' >"$dir/out.mid.expected"
    same_bytes "$label: the earlier file" "$dir/out.mid.expected" "$dir/out.mid"
done
echo "side by side with the native programs: $checks checks, $((failed - e2e_failed)) failed"

if ((failed > 0)); then
    echo "$failed check(s) failed under Wine"
    exit 1
fi
echo "all checks passed under Wine"
