#!/usr/bin/env bash
# serve.sh -- serves the Express example through lighttpd and the dostrel gateway on 127.0.0.1:
# builds the gateway if needed, installs the example's packages, starts everything, prints the
# URL and serves until Ctrl-C. DOSTREL_DEMO_ONCE=1: makes one request, prints it, and exits.
# DOSTREL_BUILD=DIR uses an existing build of the gateway; DOSTREL_PORT=N serves on port N
# (default: a free one); WORKERS=N runs N worker processes.
# SIGINT and SIGTERM stop everything it started, and so does either server ending on its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$(pwd)
. scripts/packages.sh
# npm fetches the example's packages over HTTPS: it needs the certificate authorities.
need_packages lighttpd curl ca-certificates
command -v node >/dev/null || need_packages nodejs
command -v npm >/dev/null || need_packages npm
use_gateway_build
(cd examples/node && npm ci --no-audit --no-fund --loglevel=error)
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM

serve_example "$root" env PORT=0 node examples/node/app.js
echo "Express application through lighttpd and dostrel at:"
echo "    $url"
if [ "${DOSTREL_DEMO_ONCE:-0}" = 1 ]; then
    echo "POST ${url}greet:"
    curl -sS -i --data 'name=dostrel' "${url}greet"
    exit 0
fi
echo "Ctrl-C stops it."
serve_until_stopped
