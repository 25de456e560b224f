#!/usr/bin/env bash
# serve.sh -- serves the guest book (guestbook.rb, Sinatra) through lighttpd and the dostrel
# gateway on 127.0.0.1: builds the gateway if needed, builds the dostrel gem and installs it
# into a temporary gem folder, starts dostrel-rack and lighttpd, prints the URL, and stops
# everything on Ctrl-C. DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway. SIGINT and SIGTERM stop everything it
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
mkdir "$root/src"
cp -r ruby/dostrel.gemspec ruby/README.md ruby/lib ruby/bin "$root/src/"
(cd "$root/src" && gem build dostrel.gemspec >"$root/gem.log" 2>&1) || { cat "$root/gem.log" >&2; exit 1; }
GEM_HOME=$root/gems gem install -q --local --no-document "$root/src/"dostrel-*.gem >/dev/null

# The application server: one worker of four threads (the guest book keeps its entries in the
# worker's memory), its log in the temporary folder.
serve_example "$root" env GEM_HOME="$root/gems" "$root/gems/bin/dostrel-rack" \
    --bind 127.0.0.1:0 --threads 4 --chdir "$source_dir/examples/ruby" config.ru

echo "Serving the guest book at $url"
if [ "${DOSTREL_DEMO_ONCE:-}" = 1 ]; then
    echo "== curl -sS -L --data 'entry=hello from curl' ${url}sign"
    curl -sS -L -c "$root/cookies" -b "$root/cookies" --data 'entry=hello from curl' "${url}sign"
    echo
    echo "== access log"
    cat "$root/app.log"
    exit 0
fi
echo "Open it in a browser; Ctrl-C stops the servers."
echo "dostrel-rack's log: $root/app.log"
serve_until_stopped
