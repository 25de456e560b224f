#!/usr/bin/env bash
# pool_test.sh BUILD_DIR SOURCE_DIR [REPORT] -- a pool of application servers behind HAProxy:
# lighttpd runs the gateway, whose one link names HAProxy; HAProxy spreads the connections over
# three application servers on 127.0.0.2, 127.0.0.3 and 127.0.0.4 standing for three machines
# (the C++ sample server and the Python server, mixed). Under load at concurrency 16, every
# response checked byte for byte:
#   1. the rolling deployment of docs/scaling.md, its commands verbatim: each server in turn
#      drained through HAProxy's runtime API, stopped with SIGTERM, started again, waited for
#      and made ready: no failure;
#   2. one server killed with SIGKILL: only requests in flight on it fail, none hangs, and every
#      request that starts once HAProxy shows it down succeeds;
#   3. one server stopped with SIGSTOP: what the client sees, and after how long;
#   4. every server gone: what the client sees.
# HAProxy runs examples/haproxy/haproxy.cfg with only its addresses changed; its runtime API at
# the socket the file names, /run/haproxy/admin.sock, in a private mount namespace so that no
# other HAProxy on this machine is touched. The times are printed (a bound in a check only
# catches a hang), the figures of 2 to 4 written to REPORT when given.
set -uo pipefail
if [ -z "${DOSTREL_POOL_NAMESPACE:-}" ]; then
    # socat is the runtime API's client in docs/scaling.md; installed as the page says.
    if [ "$(id -u)" -eq 0 ] && ! command -v socat >/dev/null; then
        . "$(dirname "$0")/../../scripts/packages.sh"
        need_packages socat >/dev/null
    fi
    # A /run/haproxy of the test's own: root gets a mount namespace; others map themselves to root.
    namespace=(unshare --mount --propagation private)
    [ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
    if ! "${namespace[@]}" true 2>/dev/null; then
        echo "no private mount namespace for /run/haproxy: skipped"
        exit 77
    fi
    DOSTREL_POOL_NAMESPACE=1 exec "${namespace[@]}" bash "$0" "$@"
fi
build=$(cd "$1" && pwd) source_dir=$(cd "$2" && pwd) report=${3:-}
export DOSTREL_BUILD=$build DOSTREL_EXAMPLES=$source_dir/examples/webservers PATH=$PATH:/usr/sbin
. "$source_dir/scripts/webservers.sh"
for program in lighttpd haproxy curl socat /usr/bin/python3; do
    if ! command -v "$program" >/dev/null; then
        echo "$program is not installed: skipped"
        exit 77
    fi
done
mkdir -p /run/haproxy && mount -t tmpfs -o mode=755 tmpfs /run/haproxy || exit 1

root=$(mktemp -d)
chmod 755 "$root"
server_pids=()
cleanup() {
    local pid
    for pid in "${server_pids[@]}"; do
        [ -n "$pid" ] && kill -CONT -- "-$pid" 2>/dev/null && kill -KILL -- "-$pid" 2>/dev/null
    done
    stop_started
    rm -rf "$root"
}
trap cleanup EXIT
check_prefix="pool: "
. "$source_dir/tests/support/check.sh"

# The three application servers: address and kind. Python's server runs the pool application,
# which answers ?echo and ?bytes=N as the sample server does.
addresses=(127.0.0.2 127.0.0.3 127.0.0.4)
kinds=(sample python sample)
app_port=$(free_port) || exit 1
export PYTHONPATH=$source_dir/python:$source_dir/tests/web

# start_server N: starts server N in a process group of its own (it stops as a whole).
start_server() {
    local n=$1 address=${addresses[$1]} log=$root/logs/app$1.log
    if [ "${kinds[$n]}" = sample ]; then
        setsid "$build/dostrel-appserver" --host "$address" --port "$app_port" --name "app$n" \
            --workers 4 >>"$log" 2>&1 &
    else
        setsid /usr/bin/python3 -m dostrel_wsgi --bind "$address:$app_port" --workers 2 \
            --threads 2 pool_app:application >>"$log" 2>&1 &
    fi
    server_pids[$n]=$!
    local i
    for i in $(seq 200); do
        (exec 3<>"/dev/tcp/$address/$app_port") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "server $n did not start:" >&2
    cat "$log" >&2
    return 1
}

# server_state N: HAProxy's word for server N (UP, DOWN, MAINT, ...).
server_state() {
    curl -s "http://127.0.0.1:$stats_port/stats;csv" |
        awk -F, -v name="app$(($1 + 1))" '$1 == "app" && $2 == name { print $18 }'
}

# wait_state N STATE SECONDS: waits until HAProxy says STATE for server N.
wait_state() {
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -le $deadline ]; do
        [[ "$(server_state "$1")" == "$2"* ]] && return 0
        sleep 0.1
    done
    echo "server $1 is $(server_state "$1"), not $2, after $3 s" >&2
    return 1
}

# start_load NAME MIN_REQUESTS MAX_SECONDS: the client, in the background; stop_load ends it.
start_load() {
    rm -f "$root/stop"
    /usr/bin/python3 "$source_dir/tests/web/pool_client.py" \
        "http://127.0.0.1:$web_port/cgi-bin/dostrel/pool" 16 "$2" "$root/stop" "$3" \
        "$root/$1.json" &
    load_pid=$!
}
stop_load() {
    touch "$root/stop"
    wait "$load_pid"
}
# json FILE EXPRESSION: a figure from a client report.
json() { /usr/bin/python3 -c "import json,sys; r=json.load(open(sys.argv[1])); print($2)" "$1"; }

mkdir -p "$root/logs"
for n in 0 1 2; do start_server $n || exit 1; done
haproxy_port=$(free_port) stats_port=$(free_port) || exit 1
check "the example configuration passes haproxy -c as shipped" \
    haproxy -c -q -f "$source_dir/examples/haproxy/haproxy.cfg"
# The shipped addresses, a local pool on 127.0.0.1:9000 to 9003, moved to the test's.
sed -e "s|bind 127.0.0.1:9000|bind 127.0.0.1:$haproxy_port|" \
    -e "s|bind 127.0.0.1:8404|bind 127.0.0.1:$stats_port|" -e "s|127.0.0.1:9001|127.0.0.2:$app_port|" \
    -e "s|127.0.0.1:9002|127.0.0.3:$app_port|" -e "s|127.0.0.1:9003|127.0.0.4:$app_port|" \
    "$source_dir/examples/haproxy/haproxy.cfg" >"$root/haproxy.cfg"
moved="^[[:space:]]+(bind 127\.0\.0\.1:($haproxy_port|$stats_port)\$|server app[123] 127\.0\.0\.[234]:$app_port )"
check "every address of the example moved to the test's" \
    test "$(grep -cE "$moved" "$root/haproxy.cfg")" -eq 5
haproxy -db -f "$root/haproxy.cfg" >"$root/logs/haproxy.log" 2>&1 &
started_pids+=($!)
install_gateway "$root/cgi-bin" "link * tcp 127.0.0.1 $haproxy_port
"
start_webserver_anywhere lighttpd "$root" || exit 1
web_port=$webserver_port
for n in 0 1 2; do
    wait_state $n UP 10 || exit 1
done
check "every server answers through the pool" test "$(curl -s \
    "http://127.0.0.1:$web_port/cgi-bin/dostrel/pool?bytes=5" | od -An -tx1 | tr -d ' \n')" = \
    00070e151c

# The steps of the rolling deployment in docs/scaling.md, verbatim, for the server named by
# $server; the wait runs under a time limit (timeout, so exported).
drain_server() {
    echo "set server app/$server state drain" | socat stdio /run/haproxy/admin.sock
}
wait_until_drained_server_answers() {
    until echo "show stat" | socat stdio /run/haproxy/admin.sock | grep -q "^app,$server,.*,DRAIN,"; do sleep 1; done
}
export -f wait_until_drained_server_answers
make_server_ready() {
    echo "set server app/$server state ready" | socat stdio /run/haproxy/admin.sock
}

echo "== 1. rolling deployment under load, as docs/scaling.md has it"
start_load rolling 2000 240
sleep 2
for n in 0 1 2; do
    export server=app$((n + 1))
    began=$(date +%s.%N)
    drain_server >/dev/null
    check "$server: drained through the runtime API" wait_state $n DRAIN 10
    kill -TERM "${server_pids[$n]}"
    wait "${server_pids[$n]}"
    status=$?
    check "$server (${kinds[$n]}) stopped with SIGTERM exits 0" test $status -eq 0
    start_server $n || exit 1
    # The health check finds it answering in about a second; 30 s only catches a hang.
    timeout 30 bash -c wait_until_drained_server_answers >/dev/null
    check "$server: HAProxy's health check passes while it is drained" test $? -eq 0
    make_server_ready >/dev/null
    wait_state $n UP 10
    check "$server: back in the pool $(/usr/bin/python3 -c \
        "import time; print('%.1f' % (time.time() - $began))") s after the drain" \
        test "$(server_state $n)" = UP
    sleep 1
done
stop_load
sent=$(json "$root/rolling.json" 'r["sent"]')
rolling_failed=$(json "$root/rolling.json" 'len(r["failures"])')
check "rolling deployment: $sent requests, $rolling_failed failed" test "$rolling_failed" -eq 0
json "$root/rolling.json" '"\n".join(str(f) for f in r["failures"][:5])'

echo "== 2. one server killed with SIGKILL"
start_load killed 1500 240
sleep 2
killed_at=$(date +%s.%N)
kill -KILL -- "-${server_pids[0]}"
wait "${server_pids[0]}" 2>/dev/null
server_pids[0]=""
# Taken out at the first refused connection, a fraction of a second; 10 s only catches "never".
down_at=""
for _ in $(seq 500); do
    [[ "$(server_state 0)" == DOWN* ]] && down_at=$(date +%s.%N) && break
    sleep 0.02
done
sleep 3
stop_load
killed_failed=$(json "$root/killed.json" 'len(r["failures"])')
late=$(json "$root/killed.json" "sum(1 for f in r['failures'] if f['start'] > ${down_at:-$killed_at})")
slowest=$(json "$root/killed.json" 'max([f["seconds"] for f in r["failures"]] or [0])')
seen=$(json "$root/killed.json" \
    '"; ".join(sorted({"%s %s" % (f["status"], f["reason"][:40]) for f in r["failures"]}))')
taken_out=$(/usr/bin/python3 -c "print('%.2f' % ($down_at - $killed_at))" 2>/dev/null || echo never)
check "SIGKILL: HAProxy took the server out (after $taken_out s)" test -n "$down_at"
check "SIGKILL: no request started after HAProxy showed it down failed ($late)" test "$late" -eq 0
# A failure here is immediate (a reset turned into an empty answer); 10 s only catches a hang.
check "SIGKILL: no failed request hung (slowest failure $slowest s)" \
    /usr/bin/python3 -c "import sys; sys.exit(not $slowest < 10)"
echo "SIGKILL: $(json "$root/killed.json" 'r["sent"]') requests, $killed_failed failed: $seen"
start_server 0 || exit 1
wait_state 0 UP 10

echo "== 3. one server stopped with SIGSTOP"
start_load stopped 600 240
sleep 1
stopped_at=$(date +%s.%N)
kill -STOP -- "-${server_pids[1]}"
# Two failed checks of 2 s each take it out, some 5 s; 60 s only catches "never".
wait_state 1 DOWN 60
stop_down=$(/usr/bin/python3 -c "import time; print('%.1f' % (time.time() - $stopped_at))")
stop_load
kill -CONT -- "-${server_pids[1]}"
stopped_failed=$(json "$root/stopped.json" 'len(r["failures"])')
stopped_seen=$(json "$root/stopped.json" \
    '"; ".join(sorted({"%s %s after %.0f s" % (f["status"], f["reason"][:40], f["seconds"]) for f in r["failures"]}))')
echo "SIGSTOP: taken out after $stop_down s; $(json "$root/stopped.json" 'r["sent"]') requests, $stopped_failed failed: $stopped_seen"
# Ended by HAProxy's 30 s server time-out, not before, and not by the client's own 90 s limit.
check "SIGSTOP: every failure came from HAProxy's server time-out, none hung past it" \
    json "$root/stopped.json" 'all(25 <= f["seconds"] < 85 for f in r["failures"]) or exit(1)' >/dev/null

echo "== 4. every server gone"
for n in 0 1 2; do
    kill -TERM "${server_pids[$n]}"
    wait "${server_pids[$n]}" 2>/dev/null
    server_pids[$n]=""
done
start=$(date +%s.%N)
gone=$(curl -s -o "$root/gone.html" -w '%{http_code}' --max-time 60 \
    "http://127.0.0.1:$web_port/cgi-bin/dostrel/pool?bytes=5")
gone_seconds=$(/usr/bin/python3 -c "import time; print('%.2f' % (time.time() - $start))")
echo "every server gone: HTTP $gone after $gone_seconds s: $(head -c 200 "$root/gone.html" | tr '\n' ' ')"
check "every server gone: an error status at once, no hang" test "$gone" -ge 500 -a "$gone" -le 504

if [ -n "$report" ]; then
    {
        echo "rolling deployment: $sent requests, $rolling_failed failed"
        echo "SIGKILL: $killed_failed failed ($seen); taken out after $taken_out s; slowest failure $slowest s"
        echo "SIGSTOP: $stopped_failed failed ($stopped_seen); taken out after $stop_down s"
        echo "all gone: HTTP $gone after $gone_seconds s"
    } >"$report"
fi
finish_checks
