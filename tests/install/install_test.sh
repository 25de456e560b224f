#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR [CFLAGS] -- installs the build into a scratch prefix,
# builds the C example of docs/appserver-c.md with plain cc against that copy, found through
# pkg-config, and has it answer one request through the gateway; SIGTERM then stops it.
# Skipped (status 77) without cc or pkg-config.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$2
extra_flags=${3:-}
command -v cc >/dev/null && command -v pkg-config >/dev/null || {
    echo "needs cc and pkg-config: skipped"
    exit 77
}
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill -KILL "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
check_prefix=""
. "$source_dir/tests/support/check.sh"

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || cat "$work/install.log"
check "header installed as include/dostrel/appserver.h" \
    test -f "$work/prefix/include/dostrel/appserver.h"
library=$(find "$work/prefix" -name libdostrel_appserver.a | head -1)
pc=$(find "$work/prefix" -name dostrel-appserver.pc | head -1)
check "static library installed" test -n "$library"
check "pkg-config file installed beside it" test "$(dirname "$library")/pkgconfig/dostrel-appserver.pc" = "$pc"
export PKG_CONFIG_PATH=$(dirname "$pc")
check "pkg-config names the installed header's folder" \
    test "$(pkg-config --variable=includedir dostrel-appserver | xargs realpath)" = \
    "$(realpath "$work/prefix/include")"

# The first C block of the document is the example.
awk '/^```c$/ && !done {inside = 1; next} /^```$/ && inside {inside = 0; done = 1} inside' \
    "$source_dir/docs/appserver-c.md" >"$work/hello.c"
# shellcheck disable=SC2046,SC2086
check "the example builds with cc and pkg-config, warnings as errors" \
    cc -std=c99 -Wall -Wextra -Wpedantic -Werror $extra_flags -o "$work/hello" "$work/hello.c" \
    $(pkg-config --cflags --libs dostrel-appserver)

"$work/hello" 0 >"$work/out" 2>"$work/err" &
server=$!
for _ in $(seq 200); do grep -q '^listening on' "$work/out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out")
check "the example listens" test -n "$port"
mkdir "$work/cgi"
printf 'link * tcp 127.0.0.1 %s\n' "$port" >"$work/cgi/dostrel.cnf"
(cd "$work/cgi" && printf 'hello' | env -i PATH_INFO=/installed CONTENT_LENGTH=5 \
    "$build/dostrel" >"$work/response")
check "a request through the gateway is answered" \
    grep -qx 'Hello from /installed' "$work/response"
check "with the status and header the example sets" \
    bash -c "head -2 '$work/response' | tr -d '\r' | diff - <(printf 'Status: 200 OK\nContent-Type: text/plain; charset=utf-8\n')"
check "and the body it was sent" grep -q '^hello$' "$work/response"
kill -TERM "$server"
wait "$server"
status=$?
server=""
check "SIGTERM stops it with status 0" test "$status" -eq 0
check "nothing in its log" test ! -s "$work/err"
finish_checks
