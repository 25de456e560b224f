#!/usr/bin/env bash
# serve.sh -- serves the guest book (guestbook.py, Flask) through lighttpd and the dostrel
# gateway on 127.0.0.1: builds the gateway if needed, installs dostrel-wsgi into a temporary
# virtual environment, starts dostrel-wsgi and lighttpd, prints the URL, and stops everything on
# Ctrl-C. DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway. SIGINT and SIGTERM stop everything it
# started, and so does either server ending on its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$(pwd)
. scripts/packages.sh
need_packages lighttpd curl python3 python3-venv python3-pip-whl python3-setuptools-whl \
    python3-setuptools python3-wheel python3-flask
use_gateway_build
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM
mkdir "$root/src"
cp -r python/pyproject.toml python/README.md python/dostrel_wsgi "$root/src/"
/usr/bin/python3 -m venv --system-site-packages "$root/venv"
"$root/venv/bin/pip" install -q --no-index --no-build-isolation "$root/src"

# The application server: one worker of four threads (the guest book keeps its entries in the
# worker's memory), its log in the temporary folder, no bytecode written beside the example.
PYTHONDONTWRITEBYTECODE=1 "$root/venv/bin/dostrel-wsgi" --bind 127.0.0.1:0 --threads 4 \
    --chdir "$source_dir/examples/python" guestbook:app >"$root/wsgi.out" 2>"$root/wsgi.log" &
started_pids+=($!)
for _ in $(seq 600); do
    grep -q '^listening on' "$root/wsgi.out" && break
    kill -0 "${started_pids[-1]}" 2>/dev/null || break
    sleep 0.05
done
app_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$root/wsgi.out")
[ -n "$app_port" ] || { cat "$root/wsgi.log" >&2; exit 1; }

install_gateway "$root/cgi-bin" "# Every path goes to the guest book.
link * tcp 127.0.0.1 $app_port
"
port=$(free_port 8080)
start_webserver lighttpd "$root" "$port"
url="http://127.0.0.1:$port/cgi-bin/dostrel/"

echo "Serving the guest book at $url"
if [ "${DOSTREL_DEMO_ONCE:-}" = 1 ]; then
    echo "== curl -sS -L --data 'entry=hello from curl' ${url}sign"
    curl -sS -L -c "$root/cookies" -b "$root/cookies" --data 'entry=hello from curl' "${url}sign"
    echo
    echo "== access log"
    cat "$root/wsgi.log"
    exit 0
fi
echo "Open it in a browser; Ctrl-C stops the servers."
echo "dostrel-wsgi's log: $root/wsgi.log"
# Waiting with the wait builtin, not in a foreground command: bash runs the traps of SIGINT and
# SIGTERM only once a foreground command has ended, but interrupts wait at once.
wait -n "${started_pids[@]}" || true
echo "a server ended on its own; stopping the other" >&2
exit 1
