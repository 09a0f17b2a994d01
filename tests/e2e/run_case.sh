#!/usr/bin/env bash
# Runs one built program on one end-to-end case and compares everything a user
# sees: the exit status, standard output, standard error and every file the run
# leaves behind, byte for byte.
#
#   run_case.sh PROGRAM CASE_DIR WORK_DIR
#
# The program runs in WORK_DIR/run with the case's input copied there as in.mdx.
# With KARVO_E2E_UPDATE=1 the binary goldens the case names are overwritten with
# what the program wrote; hand-written .hex goldens are never touched. A golden
# named NAME.sha256 holds the SHA-256 and the size of an output too large to keep.
#
# For the Windows programs (tests/windows/run_wine_e2e.sh):
#   KARVO_E2E_WRAPPER=CMD   runs CMD PROGRAM ARGS... (wine) instead of PROGRAM ARGS...
#   KARVO_E2E_CRLF=1        text is expected with CR LF line ends: the console streams
#                           and the voice texts (.opm goldens) the run writes. Binary
#                           outputs and files the run only leaves alone stay as they are.
set -uo pipefail
set -f   # tokens such as 00*65504 must not glob

prog=$1
case_dir=$2
work=$3
e2e_dir=$(cd "$(dirname "$0")" && pwd)
prog_name=$(basename "$prog" .exe)
read -r -a wrapper <<<"${KARVO_E2E_WRAPPER:-}"
crlf=${KARVO_E2E_CRLF:-0}

fail=0
complain() { echo "FAIL: $*"; fail=1; }

# Hex files: whitespace-separated byte pairs, "XX*N" repeats a byte N times,
# "#" starts a comment that runs to the end of the line.
# shellcheck disable=SC2059  # the format string is the bytes, as \xNN escapes
hex_to_bin() {
    local src=$1 dst=$2 line tok byte count fmt=""
    : >"$dst"
    while IFS= read -r line || [[ -n $line ]]; do
        line=${line%%#*}
        for tok in $line; do
            byte=${tok%%\**}
            count=1
            [[ $tok == *\** ]] && count=${tok#*\*}
            if ! [[ $byte =~ ^[0-9A-Fa-f]{2}$ && $count =~ ^[0-9]+$ ]]; then
                echo "bad token '$tok' in $src" >&2
                return 1
            fi
            if ((count == 1)); then
                fmt+="\\x$byte"
                continue
            fi
            printf "$fmt" >>"$dst"
            fmt=""
            head -c "$count" /dev/zero | tr '\000' "\\$(printf '%03o' "0x$byte")" >>"$dst"
        done
    done <"$src"
    printf "$fmt" >>"$dst"
}

# Text as a text-mode stream on Windows writes it: every "\n" as "\r\n".
to_crlf() {
    sed -z 's/\n/\r\n/g' "$1" >"$1.crlf" && mv "$1.crlf" "$1"
}

# A golden named in the case file: "empty", a .hex file, or raw bytes.
golden_bytes() {
    local golden=$1 dst=$2
    if [[ $golden == empty ]]; then
        : >"$dst"
    elif [[ ! -f $e2e_dir/$golden ]]; then
        echo "no golden $golden" >&2
        return 1
    elif [[ $golden == *.hex ]]; then
        hex_to_bin "$e2e_dir/$golden" "$dst"
    else
        cp "$e2e_dir/$golden" "$dst"
    fi
}

# The case's expectation for this program: NAME.<program> if it exists, else NAME.
own_file() {
    if [[ -e $case_dir/$1.$prog_name ]]; then
        echo "$case_dir/$1.$prog_name"
    else
        echo "$case_dir/$1"
    fi
}

args=() input="" stdin_mode="" status="" stdout_then="" closed="" file_limit=""
declare -A expect_files=() existing_files=() written_files=()
while read -r key rest || [[ -n $key ]]; do
    case $key in
    "" | "#"*) ;;
    args) read -r -a args <<<"$rest" ;;
    input) input=$rest ;;
    stdin) stdin_mode=$rest ;;
    status) status=$rest ;;
    # The program starts with this standard stream closed: stdout or stderr.
    closed) closed=$rest ;;
    # The program runs under this file-size limit (ulimit -f, in KiB).
    file_limit) file_limit=$rest ;;
    # Left out of the Windows runs; the value says why.
    linux_only) ;;
    stdout_then)
        read -r golden only <<<"$rest"
        if [[ -z ${only:-} || $only == "$prog_name" ]]; then
            stdout_then=$golden
        fi
        ;;
    existing)
        # A file that is there before the run; unless a "file" line says otherwise,
        # it must be there after the run with the same bytes.
        read -r name golden <<<"$rest"
        existing_files[$name]=$golden
        [[ -n ${expect_files[$name]:-} ]] || expect_files[$name]=$golden
        ;;
    file)
        read -r name golden only <<<"$rest"
        if [[ -z ${only:-} || $only == "$prog_name" ]]; then
            expect_files[$name]=$golden
            written_files[$name]=1
        fi
        ;;
    *) complain "unknown key '$key' in $case_dir/case" ;;
    esac
done <"$case_dir/case"
[[ -n $status ]] || complain "$case_dir/case gives no status"

rm -rf "$work"
mkdir -p "$work/run" "$work/expected"
run=$work/run

if [[ -n $input ]]; then
    if [[ $input == *.hex ]]; then
        hex_to_bin "$e2e_dir/$input" "$work/input.mdx" || exit 1
    else
        cp "$e2e_dir/$input" "$work/input.mdx"
    fi
    cp "$work/input.mdx" "$run/in.mdx"
fi

for name in "${!existing_files[@]}"; do
    golden_bytes "${existing_files[$name]}" "$run/$name" || exit 1
done

stdin_src=/dev/null
if [[ $stdin_mode == pipe ]]; then
    stdin_src=$work/input.mdx
fi
# Through cat, standard input is a pipe that cannot seek. The program need not read
# all of it, so only the program's own status counts.
(
    cd "$run" || exit 125
    [[ -z $file_limit ]] || ulimit -f "$file_limit" || exit 125
    # shellcheck disable=SC2002
    case $closed in
    stdout) cat "$stdin_src" | "${wrapper[@]}" "$prog" "${args[@]}" >&- 2>"$work/stderr" ;;
    stderr) cat "$stdin_src" | "${wrapper[@]}" "$prog" "${args[@]}" >"$work/stdout" 2>&- ;;
    *) cat "$stdin_src" | "${wrapper[@]}" "$prog" "${args[@]}" >"$work/stdout" 2>"$work/stderr" ;;
    esac
    exit "${PIPESTATUS[1]}"
)
got_status=$?
touch "$work/stdout" "$work/stderr"

[[ $got_status == "$status" ]] || complain "exit status $got_status, expected $status"
# The voice output falls back to standard output after the trace lines.
cp "$(own_file stdout)" "$work/expected/stdout"
cp "$(own_file stderr)" "$work/expected/stderr"
if [[ $crlf == 1 ]]; then
    to_crlf "$work/expected/stdout"
    to_crlf "$work/expected/stderr"
fi
if [[ -n $stdout_then ]]; then
    golden_bytes "$stdout_then" "$work/expected/stdout_tail" || exit 1
    # A bank goes to standard output as it is; a voice text as text.
    [[ $crlf == 1 && $stdout_then == *.opm ]] && to_crlf "$work/expected/stdout_tail"
    cat "$work/expected/stdout_tail" >>"$work/expected/stdout"
fi
for stream in stdout stderr; do
    expected=$work/expected/$stream
    if ! cmp -s "$expected" "$work/$stream"; then
        complain "$stream differs from $expected"
        diff <(cat -A "$expected") <(cat -A "$work/$stream") | head -40
    fi
done

if [[ -n $input ]] && ! cmp -s "$work/input.mdx" "$run/in.mdx"; then
    complain "the input file was changed"
fi

# The run must leave exactly the expected files, each with exactly the expected bytes.
left=$(cd "$run" && find . -mindepth 1 ! -name in.mdx -printf '%P\n' | sort)
wanted=$(printf '%s\n' "${!expect_files[@]}" | sed '/^$/d' | sort)
[[ $left == "$wanted" ]] || complain "files left: [${left//$'\n'/ }], expected [${wanted//$'\n'/ }]"

for name in "${!expect_files[@]}"; do
    golden=${expect_files[$name]}
    [[ -f $run/$name ]] || continue
    # A large output is held by its SHA-256 and size: "HASH SIZE" on one line.
    if [[ $golden == *.sha256 ]]; then
        got="$(sha256sum <"$run/$name" | cut -d' ' -f1) $(wc -c <"$run/$name")"
        if [[ ${KARVO_E2E_UPDATE:-} == 1 ]]; then
            echo "$got" >"$e2e_dir/$golden"
            echo "updated $golden"
        elif [[ $got != "$(cat "$e2e_dir/$golden")" ]]; then
            complain "$name differs from $golden: $got"
        fi
        continue
    fi
    if [[ ${KARVO_E2E_UPDATE:-} == 1 && $crlf != 1 && $golden != empty && $golden != *.hex &&
          -z ${existing_files[$name]:-} ]]; then
        cp "$run/$name" "$e2e_dir/$golden"
        echo "updated $golden"
        continue
    fi
    golden_bytes "$golden" "$work/expected/$name" || exit 1
    if [[ $crlf == 1 && -n ${written_files[$name]:-} && $golden == *.opm ]]; then
        to_crlf "$work/expected/$name"
    fi
    if ! cmp "$work/expected/$name" "$run/$name"; then
        complain "$name differs from $golden"
        diff <(od -An -tx1 -v "$work/expected/$name") <(od -An -tx1 -v "$run/$name") | head -40
    fi
done

exit $fail
