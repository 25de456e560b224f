#!/usr/bin/env bash
# litmus_test.sh BUILD_DIR SOURCE_DIR -- a WebDAV server (golang.org/x/net/webdav on the Go
# package) under Debian's litmus suite: directly on net/http, and through lighttpd and the
# gateway at the site root and under the gateway's own URL. No litmus test may fail through
# the gateway that passes directly.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
. "$source_dir/scripts/packages.sh"
need_packages curl lighttpd litmus golang-go golang-golang-x-net-dev
export DOSTREL_BUILD=$build DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. "$source_dir/scripts/webservers.sh"
check_prefix="litmus: "
. "$source_dir/tests/support/check.sh"
work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_started; rm -rf "$work"' EXIT

# Go offline, in GOPATH mode over Debian's sources, the package linked in from this checkout.
[ -n "${GOCACHE:-}${XDG_CACHE_HOME:-}${HOME:-}" ] || export GOCACHE=$work/gocache
mkdir -p "$work/gopath/src/dostrel.dev" && ln -s "$source_dir/go" "$work/gopath/src/dostrel.dev/dostrel"
GO111MODULE=off GOPATH=$work/gopath:/usr/share/gocode GOFLAGS= GOPROXY=off \
    go build -o "$work/dav_server" "$source_dir/tests/web/litmus/dav_server.go" || exit 1

"$work/dav_server" 127.0.0.1:0 127.0.0.1:0 /cgi-bin/dostrel >"$work/dav.out" 2>"$work/dav.log" &
started_pids+=($!)
for _ in $(seq 200); do
    [ "$(grep -c '^listening on' "$work/dav.out")" = 2 ] && break
    sleep 0.05
done
mapfile -t address < <(sed -n 's/^listening on //p' "$work/dav.out")
[ ${#address[@]} = 2 ] || { cat "$work/dav.out" "$work/dav.log"; exit 1; }
install_gateway "$work/cgi-bin" "link * tcp ${address[0]/:/ }
" && start_webserver_anywhere lighttpd-site "$work" || exit 1
site=http://127.0.0.1:$webserver_port

# results URL: litmus's verdict on each of its tests, "SUITE.NAME RESULT" a line.
results() {
    (cd "$work" && timeout 300 litmus "$1") >"$work/litmus.out" 2>&1
    # A test's line shows its number and name twice (litmus redraws it), a warning puts the
    # verdict on a line of its own, and the next test's number and name may follow that.
    tr -d '\r' <"$work/litmus.out" | awk '
        /^-> running `/ { suite = $3; gsub(/[`:]/, "", suite); next }
        {
            for (i = 1; i <= NF; i++)
                if ($i ~ /^[0-9]+\.$/ && $(i + 1) ~ /\.\.+$/) {
                    test = $(i + 1); sub(/\.+$/, "", test); test = suite "." test; i++
                } else if (test != "" && $i ~ /^(pass|FAIL|SKIPPED)$/) {
                    print test, $i; test = ""
                }
        }'
}

# no_worse URL: every test that passed directly passes at URL too.
no_worse() {
    local worse
    results "$1" >"$work/through"
    worse=$(join -a 1 -e missing -o 0,1.2,2.2 <(grep ' pass$' "$work/direct" | sort) \
        <(sort "$work/through") | awk '$3 != "pass"')
    [ -z "$worse" ] || { echo "passed directly, not through $1:"; echo "$worse"; cat "$work/litmus.out"; }
    [ -z "$worse" ]
}

results "http://${address[1]}/" >"$work/direct"
check "litmus ran its tests directly ($(grep -c ' pass$' "$work/direct") passed)" \
    test "$(grep -c ' pass$' "$work/direct")" -ge 40
check "no test fails at the site root that passes directly" no_worse "$site/"
check "no test fails under /cgi-bin/dostrel/ that passes directly" no_worse "$site/cgi-bin/dostrel/"
finish_checks
