#!/usr/bin/env bash
# web_server_test.sh KIND -- dostrel as the CGI program of a real web server (lighttpd, apache2
# or nginx with fcgiwrap) on 127.0.0.1, two sample application servers behind it, curl in front.
# Usage: web_server_test.sh KIND BUILD_DIR SOURCE_DIR
set -uo pipefail
kind=$1
export DOSTREL_BUILD=$2 DOSTREL_EXAMPLES=$3/examples/webservers
. "$3/scripts/webservers.sh"

binary=$kind
[ "$kind" = nginx ] && binary=fcgiwrap
if ! command -v "$binary" >/dev/null && ! [ -x "/usr/sbin/$binary" ]; then
    echo "$kind is not installed: skipped"
    exit 77
fi
export PATH=$PATH:/usr/sbin

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
check_prefix="$kind: "
. "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

mkdir -p "$root/signals"
start_appserver one "$root/port-one" && start_appserver two "$root/port-two" || exit 1
start_listening "$root/port-intent" python3 "$(dirname "${BASH_SOURCE[0]}")/intent_app.py" \
    "$root/signals" || exit 1
one=$(cat "$root/port-one")
two=$(cat "$root/port-two")
intent=$(cat "$root/port-intent")
down=$(free_port)
install_gateway "$root/cgi-bin" "link /one tcp 127.0.0.1 $one
link /two tcp 127.0.0.1 $two
link /down tcp 127.0.0.1 $down
link /sse tcp 127.0.0.1 $intent
link /whole tcp 127.0.0.1 $intent
link /partial tcp 127.0.0.1 $intent
link * tcp 127.0.0.1 $two
"
install_gateway "$root/cgi-bin/strict" "link /one tcp 127.0.0.1 $one
"
start_webserver_anywhere "$kind" "$root" || exit 1
port=$webserver_port
base="http://127.0.0.1:$port/cgi-bin/dostrel"
out=$root/out
mkdir -p "$out"

# fetch NAME URL [curl options]: body to out/NAME, headers to out/NAME.h, status to out/NAME.s
fetch() {
    local name=$1 url=$2
    shift 2
    curl -sS -o "$out/$name" -D "$out/$name.h" -w '%{http_code}' "$@" "$url" >"$out/$name.s"
}
status_is() { [ "$(cat "$out/$1.s")" = "$2" ]; }
header_has() { tr -d '\r' <"$out/$1.h" | grep -qx "$2"; }
body_has_line() { grep -qxF -- "$2" "$out/$1"; }
same_bytes() { cmp -s "$1" "$2"; }

# GET: the variables that the web server set reach the application server unchanged.
fetch get "$base/one?keys&a=1&b=%20x" -H 'X-Probe: value with  spaces;=' -H 'Accept: */*'
check "GET answered by the linked server" status_is get 200
check "GET routed to server one" header_has get "X-Appserver: one"
check "REQUEST_METHOD forwarded" body_has_line get "REQUEST_METHOD=GET"
check "QUERY_STRING forwarded unchanged" body_has_line get "QUERY_STRING=keys&a=1&b=%20x"
check "PATH_INFO forwarded" body_has_line get "PATH_INFO=/one"
check "GATEWAY_INTERFACE forwarded" body_has_line get "GATEWAY_INTERFACE=CGI/1.1"
check "request headers forwarded as HTTP_ variables" body_has_line get \
    "HTTP_X_PROBE=value with  spaces;="
check "SERVER_PORT forwarded" body_has_line get "SERVER_PORT=$port"

# POST: a 1 MB body holding every byte value arrives byte-exact (the server echoes it).
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern 1048576 >"$root/body.bin"
fetch post "$base/one?echo" --data-binary "@$root/body.bin" -H 'Content-Type: application/octet-stream'
check "POST answered" status_is post 200
check "1 MB binary POST body arrives byte-exact" same_bytes "$out/post" "$root/body.bin"
fetch postkeys "$base/two?keys" --data-binary "@$root/body.bin"
check "CONTENT_LENGTH forwarded" body_has_line postkeys "CONTENT_LENGTH=1048576"
check "REQUEST_METHOD of a POST forwarded" body_has_line postkeys "REQUEST_METHOD=POST"

# Chunked uploads (curl -T -, and Python's http.client streaming a generator) arrive whole:
# Apache passes them to the end of standard input without CONTENT_LENGTH, the other two set it.
# 6 MB takes the gateway's temporary file; the server hashes what it receives.
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern 6000000 >"$root/large.bin"
large_sum="6000000 $(sha256sum <"$root/large.bin" | cut -c1-64)"
fetch chunked "$base/one?sum" -X POST -T - <"$root/large.bin"
check "a chunked upload (curl -T -) arrives whole" test "$(cat "$out/chunked")" = "$large_sum"
streamed_upload() {
    /usr/bin/python3 - "$port" "$root/large.bin" <<'PYTHON'
import http.client, sys
def blocks():
    with open(sys.argv[2], "rb") as body:
        while block := body.read(100000):
            yield block
connection = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=60)
connection.request("POST", "/cgi-bin/dostrel/one?sum", body=blocks())
print(connection.getresponse().read().decode(), end="")
PYTHON
}
check "a streamed upload from Python's http.client arrives whole" \
    test "$(streamed_upload)" = "$large_sum"
fetch chunkedsmall "$base/one?sum" -X POST -T - <<<"small"
check "a small chunked upload arrives whole" test "$(cat "$out/chunkedsmall")" = \
    "6 $(echo small | sha256sum | cut -c1-64)"

# Routing by PATH_INFO, letter case ignored, with the "*" fallback.
fetch two "$base/TWO?keys"
check "PATH_INFO /TWO routed to server two" header_has two "X-Appserver: two"
fetch other "$base/elsewhere?keys"
check "unnamed path falls back to the * link" header_has other "X-Appserver: two"
fetch bare "$base?keys"
check "request without PATH_INFO falls back to the * link" header_has bare "X-Appserver: two"

# Failures: the status and the escaped page reach the client.
fetch nolink "http://127.0.0.1:$port/cgi-bin/strict/dostrel/%3Cscript%3Ex%3C/script%3E"
check "no link for the path answers 500" status_is nolink 500
check "error 8 page names the path, escaped" grep -qF \
    "No link found for path info '/&lt;script&gt;x&lt;/script&gt;'." "$out/nolink"
check "no markup from the path on the page" bash -c "! grep -qF '<script>' '$out/nolink'"
fetch down "$base/down"
check "application server down answers 503" status_is down 503
check "error 4 page says why" grep -qF "Unable to connect to host '127.0.0.1' at port $down" \
    "$out/down"

# A 50 MB response arrives intact.
size=$((50 * 1024 * 1024))
fetch big "$base/one?bytes=$size"
check "50 MB response arrives intact" bash -c "[ \"\$(sha256sum <'$out/big' | cut -c1-64)\" = \
    \"\$('$DOSTREL_BUILD/dostrel-appserver' --print-pattern $size | sha256sum | cut -c1-64)\" ]"

# 300 requests at concurrency 16 over both servers, every response byte-exact.
concurrent() {
    local i server
    for i in $(seq 300); do
        server=$([ $((i % 2)) -eq 0 ] && echo one || echo two)
        echo "$i $server"
    done | xargs -P 16 -n 2 bash -c '
        body="request $0 for $1 $(head -c $((($0 * 37) % 3000)) /dev/zero | tr "\0" "x")"
        reply=$(curl -sS -D - --data-binary "$body" "'"$base"'/$1?echo" | tr -d "\r")
        headers=${reply%%$'"'\n\n'"'*}
        grep -qix "X-Appserver: $1" <<<"$headers" || { echo "request $0: wrong server"; exit 255; }
        [ "${reply#*$'"'\n\n'"'}" = "$body" ] || { echo "request $0: wrong body"; exit 255; }
    '
}
check "300 requests at concurrency 16, every response byte-exact" concurrent

# The answer passes as the application sent it. Server-Sent Events arrive one by one: the
# application sends its last event only once the client has seen the first (it waits 30 s at
# most, then says that the client saw nothing), so a server that collects the answer fails.
events_one_by_one() {
    local events=$out/sse started=$SECONDS client
    curl -sSN --max-time 120 "$base/sse?id=sse" >"$events" &
    client=$!
    for _ in $(seq 2000); do
        grep -qx 'data: 1' "$events" && break
        kill -0 "$client" 2>/dev/null || break
        sleep 0.02
    done
    grep -qx 'data: 1' "$events" && touch "$root/signals/sse.seen"
    echo "first event after $((SECONDS - started)) s"
    wait "$client" && grep -qx 'data: client-saw-first' "$events"
}
check "Server-Sent Events arrive one by one, the first before the last is sent" events_one_by_one
for i in $(seq 0 199); do printf '%04d\n' "$i"; done >"$root/whole"
fetch multirange "$base/whole" -H 'Range: bytes=0-1,500-501'
check "a multi-range request the application answers with 200 arrives as that 200" \
    status_is multirange 200
check "... with the whole body" same_bytes "$out/multirange" "$root/whole"
check "... and the application's Accept-Ranges" header_has multirange "Accept-Ranges: bytes"
fetch onerange "$base/whole" -H 'Range: bytes=0-1'
check "a single range the application answers with 200 arrives whole" \
    same_bytes "$out/onerange" "$root/whole"
fetch partial "$base/partial" -H 'Range: bytes=2-5'
check "the application's own 206 passes" status_is partial 206
check "... with its Content-Range" header_has partial "Content-Range: bytes 2-5/1000"
check "... and its four bytes" test "$(cat "$out/partial")" = "$(head -c 6 "$root/whole" | tail -c 4)"

# A failure on a machine that is not at hand is explained by what the servers logged.
[ "$failed" -eq 0 ] || tail -n 20 "$root"/logs/*.log
finish_checks
