#!/usr/bin/env bash
# ruby.sh [--smoke] -- a Rack hello world measured two ways, the median of interleaved rounds:
#   through lighttpd and the gateway (wrk -t2 -c4): dostrel-rack (2 workers) beside the C++
#     sample server (dostrel-appserver) on the same run;
#   the server alone: dostrel-rack straight over the link protocol (bench/ruby_linkload.c, 4
#     connections, a new connection per request as the gateway makes them) beside Debian's
#     puma (2 workers of 1 thread) over HTTP with wrk -t2 -c4, once with a new connection per
#     request and once with keep-alive.
# Every contender's answer is checked before it is timed. Everything listens on 127.0.0.1 and is
# stopped at the end. --smoke: one short round, to check that it all works.
# DOSTREL_BUILD=DIR uses an existing build of the gateway and the sample server.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages wrk lighttpd curl ruby ruby-rack puma gcc libc6-dev
smoke=0
[ "${1:-}" = --smoke ] && smoke=1
[ -n "${DOSTREL_BUILD:-}" ] || need_packages g++ cmake make
use_gateway_build
. scripts/webservers.sh
if [ $smoke = 1 ]; then rounds=1 seconds=1; else rounds=5 seconds=5; fi

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/logs"
install_rack_server "$work"
gcc -O2 -pthread -o "$work/linkload" bench/ruby_linkload.c

cat >"$work/app/config.ru" <<'RUBY'
body = "Hello, world!\n"
headers = { "Content-Type" => "text/plain", "Content-Length" => body.bytesize.to_s }.freeze
run ->(_env) { [200, headers.dup, [body]] }
RUBY

start_listening "$work/rack-port" env GEM_HOME="$work/gems" "$work/gems/bin/dostrel-rack" \
    --bind 127.0.0.1:0 --workers 2 --chdir "$work/app" \
    --access-log "$work/logs/rack-access.log" config.ru 2>>"$work/logs/servers.log"
rack_port=$(cat "$work/rack-port")
start_appserver bench "$work/sample-port" 2>>"$work/logs/servers.log"
puma_port=$(free_port)
(cd "$work/app" && exec puma --environment production --workers 2 --threads 1:1 \
    --bind "tcp://127.0.0.1:$puma_port" config.ru >>"$work/logs/puma.log" 2>&1) &
started_pids+=($!)
install_gateway "$work/cgi-bin/rack" "link * tcp 127.0.0.1 $rack_port
"
install_gateway "$work/cgi-bin/sample" "link * tcp 127.0.0.1 $(cat "$work/sample-port")
"
start_webserver_anywhere lighttpd "$work" || exit 1

declare -A url=(
    [rack]="http://127.0.0.1:$webserver_port/cgi-bin/rack/dostrel/hello"
    [sample]="http://127.0.0.1:$webserver_port/cgi-bin/sample/dostrel/hello?bytes=14"
    [puma]="http://127.0.0.1:$puma_port/hello"
)
printf 'Hello, world!\n' >"$work/hello.expected"
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern 14 >"$work/sample.expected"
checked=0
check_answers "$work" rack sample puma
"$work/linkload" "$rack_port" 1 0.2 'Hello, world!' >/dev/null
checked=$((checked + 1))

# measure WHO: one timed run, its rate appended to the results.
results=$work/results
: >"$results"
measure() {
    local rate
    case "$1" in
    link)
        "$work/linkload" "$rack_port" 4 "$seconds" 'Hello, world!' >"$work/run.out" ||
            { echo "link: failed requests" >&2; cat "$work/run.out" >&2; exit 1; }
        rate=$(awk '{print $1}' "$work/run.out")
        ;;
    *)
        local target=$1 close=()
        [ "$1" = puma-close ] && target=puma close=(-H 'Connection: close')
        wrk -t2 -c4 -d"${seconds}s" "${close[@]}" "${url[$target]}" >"$work/run.out"
        if grep -q -e 'Non-2xx' -e 'Socket errors' "$work/run.out"; then
            echo "$1: failed requests during the run" >&2
            cat "$work/run.out" >&2
            exit 1
        fi
        rate=$(awk '/^Requests\/sec/ {print $2}' "$work/run.out")
        ;;
    esac
    echo "$1 $rate" >>"$results"
}
contenders=(rack sample link puma-close puma)
for round in $(seq $rounds); do
    order=("${contenders[@]}")
    [ $((round % 2)) = 0 ] && order=(puma puma-close link sample rack)
    for who in "${order[@]}"; do measure "$who"; done
done
median() {
    awk -v c="$1" '$1 == c {print $2}' "$results" | sort -g |
        awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
rack=$(median rack) sample=$(median sample) link=$(median link)
puma_close=$(median puma-close) puma=$(median puma)
echo
echo "dostrel-rack benchmark: $(nproc) cores, $(uname -sr), ruby $(ruby -e 'print RUBY_VERSION')," \
    "$rounds round(s) of ${seconds}s, answers checked: $checked"
echo
echo "| contender | requests per second | dostrel-rack's rate is |"
echo "|---|---|---|"
printf '| (a) lighttpd + gateway + dostrel-rack, 2 workers | %.0f | |\n' "$rack"
printf '| (b) lighttpd + gateway + C++ sample server | %.0f | %s of this |\n' \
    "$sample" "$(ratio "$rack" "$sample")"
printf '| (c) dostrel-rack alone, link protocol, a connection per request | %.0f | |\n' "$link"
printf '| (d) puma alone, 2 workers, HTTP, a connection per request | %.0f | %s of this (c) |\n' \
    "$puma_close" "$(ratio "$link" "$puma_close")"
printf '| (e) puma alone, 2 workers, HTTP keep-alive | %.0f | %s of this (c) |\n' \
    "$puma" "$(ratio "$link" "$puma")"
[ -n "${DOSTREL_BENCH_RESULTS:-}" ] && cp "$results" "$DOSTREL_BENCH_RESULTS"
exit 0
