#!/usr/bin/env bash
# load_test.sh BUILD_DIR SOURCE_DIR [REQUESTS] [CONCURRENCY] -- load through lighttpd: requests
# with random body and response sizes from 0 to 1 MB over two application servers, every
# response byte-exact; afterwards no zombie and no descriptor left behind in the application
# servers or the web server. DOSTREL_LOAD_REQUESTS overrides REQUESTS (5000 for the full run).
set -uo pipefail
export DOSTREL_BUILD=$1 DOSTREL_EXAMPLES=$2/examples/webservers PATH=$PATH:/usr/sbin
. "$2/scripts/webservers.sh"
requests=${DOSTREL_LOAD_REQUESTS:-${3:-500}}
concurrency=${4:-32}
if ! command -v lighttpd >/dev/null || ! command -v curl >/dev/null; then
    echo "lighttpd or curl is not installed: skipped"
    exit 77
fi

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
check_prefix=""
. "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

start_appserver one "$root/port-one" && start_appserver two "$root/port-two" || exit 1
app_pids=("${started_pids[@]}")
install_gateway "$root/cgi-bin" "link /one tcp 127.0.0.1 $(cat "$root/port-one")
link /two tcp 127.0.0.1 $(cat "$root/port-two")
"
start_webserver_anywhere lighttpd "$root" || exit 1
port=$webserver_port
web_pid=${started_pids[-1]}
# The number of open descriptors of process $1; "gone" when the process has died.
descriptors() { if [ -d "/proc/$1/fd" ]; then ls "/proc/$1/fd" | wc -l; else echo gone; fi; }
before="$(descriptors "${app_pids[0]}") $(descriptors "${app_pids[1]}") $(descriptors "$web_pid")"

mib=1048576
head -c $mib /dev/urandom >"$root/pool"
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern $mib >"$root/pattern"
export root port mib
one_request() { # one_request N: a request of random kind and size; prints a line on failure
    local i=$1 server size expected got
    server=$([ $((i % 2)) -eq 0 ] && echo one || echo two)
    size=$(((RANDOM * 32768 + RANDOM) % (mib + 1)))
    expected=$root/expected-$i
    got=$root/got-$i
    if [ $((RANDOM % 2)) -eq 0 ]; then
        head -c "$size" "$root/pool" >"$expected"
        curl -sS -o "$got" --data-binary "@$expected" "http://127.0.0.1:$port/cgi-bin/dostrel/$server?echo"
    else
        head -c "$size" "$root/pattern" >"$expected"
        curl -sS -o "$got" "http://127.0.0.1:$port/cgi-bin/dostrel/$server?bytes=$size"
    fi
    cmp -s "$expected" "$got" || echo "request $i to $server ($size bytes): response differs"
    rm -f "$expected" "$got"
}
export -f one_request
seq "$requests" | xargs -P "$concurrency" -I{} bash -c 'one_request {}' >"$root/failures" 2>&1
check "$requests requests at concurrency $concurrency, every response byte-exact" \
    test ! -s "$root/failures"
head -5 "$root/failures"

sleep 1
check "the application servers and the web server are still running" \
    kill -0 "${app_pids[0]}" "${app_pids[1]}" "$web_pid"
zombies=$(ps -o stat= --ppid "$web_pid" | grep -c '^Z')
check "no zombie left under the web server" test "$zombies" -eq 0
after="$(descriptors "${app_pids[0]}") $(descriptors "${app_pids[1]}") $(descriptors "$web_pid")"
no_growth() { # the servers hold no more descriptors than before the load
    local b a
    read -ra b <<<"$before"
    read -ra a <<<"$after"
    [[ "$after" != *gone* ]] && [ "${a[0]}" -le "${b[0]}" ] && [ "${a[1]}" -le "${b[1]}" ] && [ "${a[2]}" -le "${b[2]}" ]
}
check "no descriptor left open in the servers ($before before, $after after)" no_growth

finish_checks
