#!/usr/bin/env bash
# test.sh -- builds the gateway with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev lighttpd apache2 nginx fcgiwrap curl
build_gateway -DDOSTREL_WERROR=ON
ctest --test-dir build --output-on-failure -j2
