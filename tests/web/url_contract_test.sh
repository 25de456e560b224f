#!/usr/bin/env bash
# url_contract_test.sh BUILD_DIR SOURCE_DIR -- the URL each application server hands its
# application (WSGI, Rack, Node, Go, and the C library's variables through the sample server),
# with the gateway at the site root (lighttpd, Apache with .htaccess, nginx) and under its own
# URL (lighttpd): one URL-echo application per server, one table of what each must see.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
here=$source_dir/tests/web/url_echo
. "$source_dir/scripts/packages.sh"
need_packages curl lighttpd apache2 nginx fcgiwrap python3 python3-venv python3-pip-whl \
    python3-setuptools-whl python3-setuptools python3-wheel ruby ruby-rack nodejs golang-go
export DOSTREL_BUILD=$build DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. "$source_dir/scripts/webservers.sh"
check_prefix="url: "
. "$source_dir/tests/support/check.sh"
work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_started; cat "$work"/*/start-attempt.log; rm -rf "$work"' EXIT

install_wsgi_server "$work/wsgi"
install_rack_server "$work/rack"
# Go offline, in GOPATH mode over Debian's sources, the package linked in from this checkout.
[ -n "${GOCACHE:-}${XDG_CACHE_HOME:-}${HOME:-}" ] || export GOCACHE=$work/gocache
mkdir -p "$work/gopath/src/dostrel.dev" && ln -s "$source_dir/go" "$work/gopath/src/dostrel.dev/dostrel"
GO111MODULE=off GOPATH=$work/gopath:/usr/share/gocode GOFLAGS= GOPROXY=off \
    go build -o "$work/url_echo" "$here/url_echo.go" || exit 1
declare -A port
exec 3>&2 2>>"$work/servers.log"
start_listening "$work/port" "$build/dostrel-appserver" --port 0 --serial && port[c]=$(<"$work/port") &&
    start_listening "$work/port" env PYTHONDONTWRITEBYTECODE=1 "$work/wsgi/venv/bin/dostrel-wsgi" \
        --bind 127.0.0.1:0 --chdir "$here" url_echo:app && port[wsgi]=$(<"$work/port") &&
    start_listening "$work/port" env GEM_HOME="$work/rack/gems" "$work/rack/gems/bin/dostrel-rack" \
        --bind 127.0.0.1:0 "$here/config.ru" && port[rack]=$(<"$work/port") &&
    start_listening "$work/port" node "$here/url_echo.js" "$source_dir/node" && port[node]=$(<"$work/port") &&
    start_listening "$work/port" "$work/url_echo" 127.0.0.1:0 && port[go]=$(<"$work/port") ||
    { cat "$work/servers.log" >&3; exit 1; }
exec 2>&3

# One root per web server; each deployment's public prefix.
declare -A base prefix=([lighttpd]=/cgi-bin/dostrel)
for kind in lighttpd lighttpd-site apache2-site nginx-site; do
    install_gateway "$work/$kind/cgi-bin" "" && start_webserver_anywhere "$kind" "$work/$kind" || exit 1
    base[$kind]=http://127.0.0.1:$webserver_port${prefix[$kind]:=}
done

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
    for kind in lighttpd lighttpd-site apache2-site nginx-site; do
        printf 'link * tcp 127.0.0.1 %s\n' "${port[$server]}" >"$work/$kind/cgi-bin/dostrel.cnf"
        check "$server through $kind: $path" sees "$kind" "$server" "$path" "$expected"
    done
done <<<"$table"
finish_checks
