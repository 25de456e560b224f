#!/usr/bin/env bash
# demo.sh -- builds the gateway and serves one request end to end, as a web server would:
# a sample application server on 127.0.0.1, a working directory with its dostrel.cnf, the CGI
# environment of a POST, the body on standard input, and the response on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev
build_gateway >/dev/null
root=$(pwd)

work=$(mktemp -d)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$root/build/dostrel-appserver" --port 0 --name "dostrel sample server" >"$work/server.out" &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/server.out")

cat >"$work/dostrel.cnf" <<CNF
# Every path goes to the sample application server.
link * tcp 127.0.0.1 $port
CNF

body='name=dostrel&greeting=hello'
echo "== dostrel.cnf"
cat "$work/dostrel.cnf"
echo "== POST /cgi-bin/dostrel/hello with a ${#body}-byte body; the response:"
cd "$work"
status=0
printf '%s' "$body" | env -i \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=demo SERVER_NAME=localhost SERVER_PORT=80 \
    SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=POST SCRIPT_NAME=/cgi-bin/dostrel \
    PATH_INFO=/hello QUERY_STRING=lang=en REMOTE_ADDR=127.0.0.1 \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#body} \
    "$root/build/dostrel" || status=$?
echo "== exit status $status"
