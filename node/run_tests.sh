#!/usr/bin/env bash
# run_tests.sh [BUILD_DIR] -- the Node package's tests: the shared vectors, the server with plain
# handlers, an Express application behind the real gateway under lighttpd, the cluster helper.
# BUILD_DIR (or DOSTREL_BUILD; default build-node) holds the gateway; it is built when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=${1:-${DOSTREL_BUILD:-$source_dir/build-node}}
case "$build" in /*) ;; *) build=$(pwd)/$build ;; esac
. "$source_dir/scripts/packages.sh"
need_packages lighttpd curl ca-certificates # npm fetches over HTTPS
command -v node >/dev/null || need_packages nodejs
command -v npm >/dev/null || need_packages npm
if [ ! -x "$build/dostrel" ]; then
    need_packages g++ cmake make
    (cd "$source_dir" && cmake -S . -B "$build" -DDOSTREL_TESTS=OFF >/dev/null &&
        cmake --build "$build" -j2 --target dostrel >/dev/null)
fi
cd "$here"
npm ci --no-audit --no-fund --loglevel=error
export PATH=$PATH:/usr/sbin
DOSTREL_BUILD=$build node --test test/*.test.js
