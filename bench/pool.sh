#!/usr/bin/env bash
# pool.sh [--smoke] -- what the load balancer's hop costs: requests per second through lighttpd
# and the gateway with its link straight to a sample application server, beside the link to
# HAProxy (examples/haproxy/haproxy.cfg) in front of three sample servers, in interleaved rounds
# (wrk, 4 connections). Responses are checked before timing. Everything runs on loopback
# addresses and is stopped at the end. DOSTREL_BUILD=DIR uses an existing build.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages g++ cmake make wrk lighttpd haproxy curl
rounds=5 seconds=5
[ "${1:-}" = --smoke ] && rounds=1 seconds=1
use_gateway_build
. scripts/webservers.sh

work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/logs"
app_port=$(free_port)
for address in 127.0.0.2 127.0.0.3 127.0.0.4; do
    "$DOSTREL_BUILD/dostrel-appserver" --host $address --port "$app_port" --name bench \
        >/dev/null 2>>"$work/logs/app.log" &
    started_pids+=($!)
done
haproxy_port=$(free_port) stats_port=$(free_port)
sed -e "s|/run/haproxy/admin.sock|$work/logs/haproxy.sock|" \
    -e "s|bind 127.0.0.1:9000|bind 127.0.0.1:$haproxy_port|" \
    -e "s|bind 127.0.0.1:8404|bind 127.0.0.1:$stats_port|" -e "s|127.0.0.1:9001|127.0.0.2:$app_port|" \
    -e "s|127.0.0.1:9002|127.0.0.3:$app_port|" -e "s|127.0.0.1:9003|127.0.0.4:$app_port|" \
    examples/haproxy/haproxy.cfg >"$work/haproxy.cfg"
haproxy -db -f "$work/haproxy.cfg" >"$work/logs/haproxy.log" 2>&1 &
started_pids+=($!)
install_gateway "$work/cgi-bin" "link /direct tcp 127.0.0.2 $app_port
link /pool tcp 127.0.0.1 $haproxy_port
"
start_webserver_anywhere lighttpd "$work"
base=http://127.0.0.1:$webserver_port/cgi-bin/dostrel

# Every server up in HAProxy, and both paths give the same 2-byte body.
for _ in $(seq 100); do
    [ "$(curl -s "http://127.0.0.1:$stats_port/stats;csv" | grep -c ',UP,')" -ge 4 ] && break
    sleep 0.1
done
for path in direct pool; do
    if [ "$(curl -s "$base/$path?bytes=2" | od -An -tx1 | tr -d ' \n')" != 0007 ]; then
        echo "the $path path does not answer as expected; no timing" >&2
        exit 1
    fi
done

results=$work/results
for round in $(seq $rounds); do
    order=(direct pool)
    [ $((round % 2)) = 0 ] && order=(pool direct)
    for path in "${order[@]}"; do
        rps=$(wrk -t2 -c4 -d${seconds}s "$base/$path?bytes=2" | awk '/^Requests\/sec/ {print $2}')
        echo "$path $rps" >>"$results"
    done
done
median() { awk -v p="$1" '$1 == p {print $2}' "$results" | sort -g |
    awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
direct=$(median direct) pool=$(median pool)
echo
echo "pool benchmark: $(nproc) cores, $rounds rounds of ${seconds}s, wrk -t2 -c4, outputs checked: 2"
echo
echo "| link | requests per second | relative |"
echo "|---|---|---|"
printf '| straight to one sample server | %.0f | 1.00 |\n' "$direct"
printf '| through HAProxy to three sample servers | %.0f | %.2f |\n' "$pool" \
    "$(awk -v a="$pool" -v b="$direct" 'BEGIN {print a / b}')"
