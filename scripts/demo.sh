#!/usr/bin/env bash
# demo.sh -- the gateway's main job, end to end: builds dostrel, starts the sample application
# server and lighttpd on 127.0.0.1 with dostrel as the CGI program, makes one request with curl
# and prints it, then serves until Ctrl-C. Everything it starts is stopped on exit.
# DOSTREL_DEMO_ONCE=1 stops after the one request; DOSTREL_BUILD=DIR uses a build that exists.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev lighttpd curl
if [ -z "${DOSTREL_BUILD:-}" ]; then
    build_gateway >/dev/null
    DOSTREL_BUILD=$(pwd)/build
fi
export DOSTREL_BUILD DOSTREL_EXAMPLES=$(pwd)/examples/webservers PATH=$PATH:/usr/sbin
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM

start_appserver "dostrel sample server" "$root/app-port"
install_gateway "$root/cgi-bin" "# Every path goes to the sample application server.
link * tcp 127.0.0.1 $(cat "$root/app-port")
"
port=$(free_port 8080)
[ "$port" = 8080 ] || echo "port 8080 is taken; using $port"
start_webserver lighttpd "$root" "$port"
url="http://127.0.0.1:$port/cgi-bin/dostrel/hello?lang=en"

echo "== $root/cgi-bin/dostrel.cnf"
cat "$root/cgi-bin/dostrel.cnf"
echo "== curl -i --data 'name=dostrel&greeting=hello' $url"
curl -sS -i --data 'name=dostrel&greeting=hello' "$url"
[ "${DOSTREL_DEMO_ONCE:-}" = 1 ] && exit 0
echo
echo "Serving: open $url in a browser. Ctrl-C stops the servers."
while true; do sleep 3600; done
