#!/usr/bin/env bash
# demo.sh -- the gateway's main job, end to end: installs what it needs, builds dostrel and the
# sample application server (in build-programs/), starts the sample server and lighttpd on
# 127.0.0.1 with dostrel as the CGI program, makes one request with curl and prints it, then
# serves until stopped: Ctrl-C, SIGINT or SIGTERM stops everything it started, and so does either
# server ending on its own. DOSTREL_DEMO_ONCE=1 stops after the one request; DOSTREL_BUILD=DIR
# uses a build that exists; DOSTREL_PORT=N serves on port N (default: 8080, or a free port when
# 8080 is taken).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages lighttpd curl
use_gateway_build
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM

start_appserver "dostrel sample server" "$root/app-port"
install_gateway "$root/cgi-bin" "# Every path goes to the sample application server.
link * tcp 127.0.0.1 $(cat "$root/app-port")
"
if [ -n "${DOSTREL_PORT:-}" ]; then
    start_webserver_on_request lighttpd "$root"
    port=$webserver_port
else
    port=$(free_port 8080)
    [ "$port" = 8080 ] || echo "port 8080 is taken; using $port (DOSTREL_PORT=N chooses one)"
    start_webserver lighttpd "$root" "$port"
fi
url="http://127.0.0.1:$port/cgi-bin/dostrel/hello?lang=en"

echo "== $root/cgi-bin/dostrel.cnf"
cat "$root/cgi-bin/dostrel.cnf"
echo "== curl -i --data 'name=dostrel&greeting=hello' $url"
curl -sS -i --data 'name=dostrel&greeting=hello' "$url"
[ "${DOSTREL_DEMO_ONCE:-}" = 1 ] && exit 0
echo
echo "Serving: open $url in a browser. Ctrl-C stops the servers."
# Waiting with the wait builtin, not in a foreground command: bash runs the traps of SIGINT and
# SIGTERM only once a foreground command has ended, but interrupts wait at once.
wait -n "${started_pids[@]}" || true
echo "a server ended on its own; stopping the other" >&2
exit 1
