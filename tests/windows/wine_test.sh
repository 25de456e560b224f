#!/usr/bin/env bash
# wine_test.sh WINDOWS_BUILD LINUX_BUILD -- the Windows dostrel.exe run under Wine as a web server
# would run it, against the project's application server running natively on 127.0.0.1: the
# request on the wire, the binary response, the error page, warnings, the text-mode files.
# DOSTREL_WINE names the program that runs it (default: wine64; tests/windows/wine32.sh for the
# 32-bit build).
set -uo pipefail
exe=$(realpath "$1")/dostrel.exe
appserver=$(realpath "$2")/dostrel-appserver
wine=${DOSTREL_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
[ -x "$wine" ] || { echo "$wine is not installed: skipped"; exit 77; }
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$HOME/.wine-dostrel}
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill $server 2>/dev/null; rm -rf "$work"' EXIT
check_prefix="windows: "
. "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

"$appserver" --port 0 --name wine --serial --record "$work/request" >"$work/server.out" &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/server.out")
mkdir "$work/cgi"
cd "$work/cgi"

# run NAME INPUT VARIABLE=VALUE...: dostrel.exe with exactly these variables (and Wine's own).
run() {
    local name=$1 input=$2
    shift 2
    env -i HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all PATH=/usr/bin:/bin "$@" \
        "$wine" "$exe" <"$input" >"$work/$name.out" 2>"$work/$name.err"
    echo $? >"$work/$name.status"
}
status_is() { [ "$(cat "$work/$1.status")" = "$2" ]; }
bytes_equal() { cmp -s "$1" "$2"; }
has() { grep -qF -- "$2" "$work/$1"; }

"$wine" wineboot -i >/dev/null 2>&1 || true

# A full request: our variables and a body with CR LF, a bare LF, 0x1A and a zero byte.
printf 'link * tcp 127.0.0.1 %s\n' "$port" >dostrel.cnf
printf 'a\r\nb\nc\x1a\x00d\r' >"$work/body"
length=$(wc -c <"$work/body")
run request "$work/body" PATH_INFO=/x QUERY_STRING=keys CONTENT_LENGTH=$length X_PROBE='v=w z'
check "request answered, exit status 0" status_is request 0
check "variables forwarded" has request.out "X_PROBE=v=w z"
check "PATH_INFO forwarded" has request.out "PATH_INFO=/x"
raw=$work/request-1.bin
body_on_wire() { # the request ends with the body's length and the body
    tail -c $((length + 4)) "$raw" | cmp -s - <(printf "\\x00\\x00\\x00\\x$(printf %02x "$length")"; cat "$work/body")
}
check "body arrives byte-exact (binary standard input)" body_on_wire
cookie_on_wire() { head -c 12 "$raw" | cmp -s - <(printf '\x09\x23\x19\x63\x00\x00\x00\x01\x00\x00\x00\x00'); }
check "request starts with the cookie and version 1.0" cookie_on_wire
content_key_on_wire() {
    tail -c $((length + 29)) "$raw" | head -c 25 | cmp -s - <(printf '\x00\x00\x00\x15XBRENNOX_CONTENT_DATA')
}
check "content key is last" content_key_on_wire

# A body of some megabytes takes pages of its own rather than the heap's: it arrives whole.
head -c 3000000 /dev/urandom >"$work/big-body"
run bigbody "$work/big-body" PATH_INFO=/x QUERY_STRING=echo CONTENT_LENGTH=3000000
big_body_echoed() { tail -c 3000000 "$work/bigbody.out" | cmp -s - "$work/big-body"; }
check "3 MB body arrives whole" big_body_echoed

# A binary response: every byte value, LF and CR included, arrives unchanged.
size=300000
{ printf 'Content-type: application/octet-stream\nX-Appserver: wine\n\n'; "$appserver" --print-pattern $size; } >"$work/expected"
run binary /dev/null PATH_INFO=/x QUERY_STRING=bytes=$size
check "binary response unchanged on standard output" bytes_equal "$work/expected" "$work/binary.out"

# The error page: header lines end in a bare LF; standard error is text (CR LF).
printf 'link /only tcp 127.0.0.1 %s\nbogus x\n' "$port" >dostrel.cnf
run nolink /dev/null PATH_INFO=/x SERVER_NAME=wine.test
check "no link: exit status 1" status_is nolink 1
page_head() { head -c 35 "$work/nolink.out" | cmp -s - <(printf 'Status: 500 Error\nContent-type: tex'); }
check "page header lines end in a bare LF" page_head
check "page names the error" has nolink.out "No link found for path info '/x'."
check "page shows the server name" has nolink.out "<br>server name: wine.test "
warning_line() { grep -q "warning 1: Invalid keyword 'bogus' in configuration file."$'\r'"\$" "$work/nolink.err"; }
check "warning on standard error, CR LF line end" warning_line
error_line() { grep -q "error 8: No link found for path info '/x'."$'\r'"\$" "$work/nolink.err"; }
check "error line on standard error, CR LF line end" error_line

# dostrel.cnf in text mode: CR LF reads as LF, 0x1A ends the content.
printf 'debug\r\nlink * tcp 127.0.0.1 %s\r\n' "$port" >dostrel.cnf
run crlf /dev/null PATH_INFO=/x QUERY_STRING=bytes=1
check "CR LF file: its link works" status_is crlf 0
check "CR LF file: a keyword alone is warning 4" has crlf.err "warning 4: No parameters for keyword 'debug'"
printf 'link * tcp 127.0.0.1 %s\n\x1abogus x\n' "$port" >dostrel.cnf
run ctrlz /dev/null PATH_INFO=/x QUERY_STRING=bytes=1
check "0x1A ends the file: nothing after it is read" bash -c "[ ! -s '$work/ctrlz.err' ]"
check "0x1A file: its link works" status_is ctrlz 0

# The trace file is text: its lines end in CR LF.
printf 'debug on\nlink * tcp 127.0.0.1 %s\n' "$port" >dostrel.cnf
run trace /dev/null PATH_INFO=/x QUERY_STRING=bytes=1
trace_crlf() {
    [ -s dostrel.dbg ] && [ "$(grep -c $'\r$' dostrel.dbg)" = "$(wc -l <dostrel.dbg)" ] &&
        grep -q "resolving hostname for '127.0.0.1'"$'\r$' dostrel.dbg
}
check "trace lines end in CR LF" trace_crlf

# Refused connection: error 4 with 503 and the Windows Sockets error code.
printf 'link * tcp 127.0.0.1 1\n' >dostrel.cnf
run refused /dev/null PATH_INFO=/x
check "refused connection: status 503" has refused.out "Status: 503 Unavailable"
check "refused connection: Windows Sockets error code" has refused.err "at port 1, errno 10061."

finish_checks
