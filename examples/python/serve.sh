#!/usr/bin/env bash
# serve.sh -- serves the guest book (guestbook.py, Flask) through lighttpd and the dostrel
# gateway on 127.0.0.1: builds the gateway if needed, installs dostrel-wsgi into a temporary
# virtual environment, starts dostrel-wsgi and lighttpd, prints the URL, and stops everything on
# Ctrl-C. DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway; DOSTREL_PORT=N serves on port N
# (default: a free one). SIGINT and SIGTERM stop everything it
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
install_wsgi_server "$root"

# The application server: one worker of four threads (the guest book keeps its entries in the
# worker's memory), its log in the temporary folder, no bytecode written beside the example.
serve_example "$root" env PYTHONDONTWRITEBYTECODE=1 "$root/venv/bin/dostrel-wsgi" \
    --bind 127.0.0.1:0 --threads 4 --chdir "$source_dir/examples/python" guestbook:app

serve_guestbook "$root"
