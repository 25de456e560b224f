#!/usr/bin/env bash
# serve.sh -- serves the guest book (guestbook.rb, Sinatra) through lighttpd and the dostrel
# gateway on 127.0.0.1: builds the gateway if needed, builds the dostrel gem and installs it
# into a temporary gem folder, starts dostrel-rack and lighttpd, prints the URL, and stops
# everything on Ctrl-C. DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway; DOSTREL_PORT=N serves on port N
# (default: a free one). SIGINT and SIGTERM stop everything it
# started, and so does either server ending on its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$(pwd)
. scripts/packages.sh
need_packages lighttpd curl ruby ruby-rack ruby-sinatra ruby-rack-protection
[ -n "${DOSTREL_BUILD:-}" ] || need_packages g++ cmake make
use_gateway_build
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM
install_rack_server "$root"

# The application server: one worker of four threads (the guest book keeps its entries in the
# worker's memory), its log in the temporary folder.
serve_example "$root" env GEM_HOME="$root/gems" "$root/gems/bin/dostrel-rack" \
    --bind 127.0.0.1:0 --threads 4 --chdir "$source_dir/examples/ruby" config.ru

serve_guestbook "$root"
