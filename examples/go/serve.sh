#!/usr/bin/env bash
# serve.sh -- serves the guest book (main.go, chi) through lighttpd and the dostrel gateway on
# 127.0.0.1: builds the gateway if needed, builds the application offline with Debian's Go and
# chi, starts it and lighttpd, prints the URL, and serves until Ctrl-C (INT or TERM stops
# everything). DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$(pwd)
. scripts/packages.sh
need_packages lighttpd curl golang-go golang-github-go-chi-chi-dev
if [ -z "${DOSTREL_BUILD:-}" ]; then
    DOSTREL_BUILD=$source_dir/build-go
    if [ ! -x "$DOSTREL_BUILD/dostrel" ]; then
        need_packages g++ cmake make
        echo "building the gateway in $DOSTREL_BUILD"
        cmake -S . -B "$DOSTREL_BUILD" -DDOSTREL_TESTS=OFF >/dev/null
        cmake --build "$DOSTREL_BUILD" -j2 --target dostrel >/dev/null
    fi
fi
export DOSTREL_BUILD DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM
# No module proxy: go.mod's replace directives name the package and chi on this machine.
(cd examples/go && GOPROXY=off GOFLAGS= go build -o "$root/guestbook" .)

"$root/guestbook" -listen 127.0.0.1:0 >"$root/app.out" 2>"$root/app.log" &
started_pids+=($!)
for _ in $(seq 100); do
    grep -q '^listening on' "$root/app.out" && break
    kill -0 "${started_pids[-1]}" 2>/dev/null || { cat "$root/app.log" >&2; exit 1; }
    sleep 0.05
done
app_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$root/app.out")
[ -n "$app_port" ] || { echo "the application did not start" >&2; exit 1; }
install_gateway "$root/cgi-bin" "# Every path goes to the guest book.
link * tcp 127.0.0.1 $app_port
"
start_webserver_anywhere lighttpd "$root"
url="http://127.0.0.1:$webserver_port/cgi-bin/dostrel/"
echo "Serving the guest book at $url"
if [ "${DOSTREL_DEMO_ONCE:-}" = 1 ]; then
    echo "== curl -sS -L --data 'entry=hello from curl' ${url}sign"
    curl -sS -L --data 'entry=hello from curl' "${url}sign"
    echo "== the application's log"
    cat "$root/app.log"
    exit 0
fi
echo "Open it in a browser; Ctrl-C stops the servers."
echo "The application's log: $root/app.log"
while kill -0 "${started_pids[0]}" 2>/dev/null; do sleep 1; done
