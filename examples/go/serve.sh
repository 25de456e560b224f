#!/usr/bin/env bash
# serve.sh -- serves the guest book (main.go, chi) through lighttpd and the dostrel gateway on
# 127.0.0.1: builds the gateway if needed, builds the application offline with Debian's Go and
# chi, starts it and lighttpd, prints the URL, and serves until Ctrl-C (INT or TERM stops
# everything). DOSTREL_DEMO_ONCE=1 signs the book once, prints the page and exits;
# DOSTREL_BUILD=DIR uses an existing build of the gateway; DOSTREL_PORT=N serves on port N
# (default: a free one).
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$(pwd)
. scripts/packages.sh
need_packages lighttpd curl golang-go golang-github-go-chi-chi-dev
use_gateway_build
. scripts/webservers.sh

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
trap 'exit 0' INT TERM
# No module proxy: go.mod's replace directives name the package and chi on this machine.
(cd examples/go && GOPROXY=off GOFLAGS= go build -o "$root/guestbook" .)

serve_example "$root" "$root/guestbook" -listen 127.0.0.1:0
serve_guestbook "$root"
