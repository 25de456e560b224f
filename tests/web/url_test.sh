#!/usr/bin/env bash
# url_test.sh BUILD_DIR SOURCE_DIR -- the application's URL. The URL each application server
# hands its application (WSGI, Rack, Node, Go, and the C library's variables through the sample
# server), with the gateway at the site root (lighttpd, Apache with .htaccess, nginx) and under
# its own URL (lighttpd): one URL-echo application per server, one table of what each must see.
# Then WebDAV (golang.org/x/net/webdav) under Debian's litmus through lighttpd in both
# deployments: no test may fail there that passes on plain net/http.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
apps=$source_dir/tests/web/url_apps
. "$source_dir/scripts/packages.sh"
need_packages curl lighttpd apache2 nginx fcgiwrap litmus python3 python3-venv python3-pip-whl \
    python3-setuptools-whl python3-setuptools python3-wheel ruby ruby-rack nodejs golang-go \
    golang-golang-x-net-dev
export DOSTREL_BUILD=$build DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. "$source_dir/scripts/webservers.sh"
check_prefix="url: "
. "$source_dir/tests/support/check.sh"
work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_started; rm -rf "$work"' EXIT

install_wsgi_server "$work/wsgi"
install_rack_server "$work/rack"
# Go offline, in GOPATH mode over Debian's sources, the package linked in from this checkout.
[ -n "${GOCACHE:-}${XDG_CACHE_HOME:-}${HOME:-}" ] || export GOCACHE=$work/gocache
mkdir -p "$work/gopath/src/dostrel.dev" && ln -s "$source_dir/go" "$work/gopath/src/dostrel.dev/dostrel"
GO111MODULE=off GOPATH=$work/gopath:/usr/share/gocode GOFLAGS= GOPROXY=off \
    go build -o "$work/url_app" "$apps/url_app.go" || exit 1
declare -A port
exec 3>&2 2>>"$work/servers.log"
start_listening "$work/port" "$build/dostrel-appserver" --port 0 --serial && port[c]=$(<"$work/port") &&
    start_listening "$work/port" env PYTHONDONTWRITEBYTECODE=1 "$work/wsgi/venv/bin/dostrel-wsgi" \
        --bind 127.0.0.1:0 --chdir "$apps" url_echo:app && port[wsgi]=$(<"$work/port") &&
    start_listening "$work/port" env GEM_HOME="$work/rack/gems" "$work/rack/gems/bin/dostrel-rack" \
        --bind 127.0.0.1:0 "$apps/config.ru" && port[rack]=$(<"$work/port") &&
    start_listening "$work/port" node "$apps/url_echo.js" "$source_dir/node" && port[node]=$(<"$work/port") &&
    start_listening "$work/port" "$work/url_app" 127.0.0.1:0 127.0.0.1:0 /cgi-bin/dostrel &&
    mapfile -t go <"$work/port" && port[go]=${go[0]} ||
    { cat "$work/servers.log" >&3; exit 1; }
exec 2>&3

# One root per web server; each deployment's public prefix.
declare -A base prefix=([lighttpd]=/cgi-bin/dostrel)
for kind in lighttpd lighttpd-site apache2-site nginx-site; do
    install_gateway "$work/$kind/cgi-bin" "" && start_webserver_anywhere "$kind" "$work/$kind" || exit 1
    base[$kind]=http://127.0.0.1:$webserver_port${prefix[$kind]:=}
done
# to SERVER: every gateway sends its requests to SERVER.
to() {
    for kind in "${!base[@]}"; do
        printf 'link * tcp 127.0.0.1 %s\n' "${port[$1]}" >"$work/$kind/cgi-bin/dostrel.cnf"
    done
}

# What each server's application sees of a request: a server, the client's path and query, and
# its answer's lines (split at "|"), "@P@" standing for the deployment's public prefix. The
# second path is one the web server normalises: where REQUEST_URI does not end in PATH_INFO,
# the web server's SCRIPT_NAME and PATH_INFO stand.
utf8='/caf%C3%A9%20x/a%2525b?q=a+b%2Fc'
dots='/dir/./x?q=a+b%2Fc'
table="wsgi $utf8 SCRIPT_NAME=@P@|PATH_INFO=/café x/a%25b|QUERY_STRING=q=a+b%2Fc
rack $utf8 SCRIPT_NAME=@P@|PATH_INFO=/caf%C3%A9%20x/a%2525b|QUERY_STRING=q=a+b%2Fc
node $utf8 url=/caf%C3%A9%20x/a%2525b?q=a+b%2Fc
go $utf8 Path=/café x/a%25b|EscapedPath=/caf%C3%A9%20x/a%2525b|RawQuery=q=a+b%2Fc|RequestURI=@P@$utf8|Prefix=@P@
c $utf8 REQUEST_URI=@P@$utf8|SCRIPT_NAME=/cgi-bin/dostrel|PATH_INFO=/café x/a%25b
wsgi $dots SCRIPT_NAME=/cgi-bin/dostrel|PATH_INFO=/dir/x|QUERY_STRING=q=a+b%2Fc
rack $dots SCRIPT_NAME=/cgi-bin/dostrel|PATH_INFO=/dir/x|QUERY_STRING=q=a+b%2Fc
node $dots url=/dir/x?q=a+b%2Fc
go $dots Path=/dir/x|EscapedPath=/dir/x|RequestURI=@P@$dots|Prefix=/cgi-bin/dostrel"

# sees KIND SERVER PATH EXPECTED: the answer through KIND has each expected line.
sees() {
    local answer line
    answer=$(curl -sS --path-as-is --max-time 20 "${base[$1]}$3") || return 1
    IFS='|' read -ra lines <<<"${4//@P@/${prefix[$1]}}"
    for line in "${lines[@]}"; do
        # The sample server's page lists the variables in a table.
        [ "$2" = c ] && line="<tr><td>${line%%=*}</td><td>${line#*=}</td></tr>"
        grep -qxF -- "$line" <<<"$answer" || { printf 'missing %s in:\n%s\n' "$line" "$answer"; return 1; }
    done
}

while read -r server path expected; do
    to "$server"
    for kind in lighttpd lighttpd-site apache2-site nginx-site; do
        check "$server through $kind: $path" sees "$kind" "$server" "$path" "$expected"
    done
done <<<"$table"

# litmus URL: litmus's verdict on each of its tests, "SUITE.NAME RESULT" a line.
litmus_results() {
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

# litmus_no_worse URL: every test that passed directly passes at URL too.
litmus_no_worse() {
    local worse
    worse=$(join -a 1 -e missing -o 0,1.2,2.2 <(grep ' pass$' "$work/direct" | sort) \
        <(litmus_results "$1" | sort) | awk '$3 != "pass"')
    [ -z "$worse" ] || { echo "passed directly, not through $1:"; echo "$worse"; cat "$work/litmus.out"; }
    [ -z "$worse" ]
}

to go
litmus_results "http://127.0.0.1:${go[1]}/" >"$work/direct"
check "litmus ran its tests on net/http ($(grep -c ' pass$' "$work/direct") passed)" \
    test "$(grep -c ' pass$' "$work/direct")" -ge 40
check "litmus: no test fails at the site root that passes directly" \
    litmus_no_worse "${base[lighttpd-site]}/"
check "litmus: no test fails under /cgi-bin/dostrel/ that passes directly" \
    litmus_no_worse "${base[lighttpd]}/"
finish_checks
