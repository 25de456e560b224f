#!/usr/bin/env bash
# go.sh [--smoke] -- a hello world on the Go package measured two ways, the median of
# interleaved rounds:
#   through lighttpd and the gateway (wrk -t2 -c4): the Go server beside the C++ sample server
#     (dostrel-appserver, a 14-byte answer) on the same run;
#   the servers alone, straight over the link protocol (bench/go_linkload.go, 4 connections, a
#     new connection per request as the gateway makes them): the Go server beside the sample
#     server, which is the C library's server.
# Every contender's answer is checked before it is timed. Everything listens on 127.0.0.1 and is
# stopped at the end. --smoke: one short round, to check that it all works.
# DOSTREL_BUILD=DIR uses an existing build of the gateway and the sample server.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
. scripts/packages.sh
need_packages wrk lighttpd curl golang-go
smoke=0
[ "${1:-}" = --smoke ] && smoke=1
[ -n "${DOSTREL_BUILD:-}" ] || need_packages g++ cmake make
use_gateway_build
. scripts/webservers.sh
if [ $smoke = 1 ]; then rounds=1 seconds=1; else rounds=5 seconds=5; fi

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/hello" "$work/logs"
# Offline, as a user without a module proxy builds it: a replace directive to the package.
export GOPROXY=off GOSUMDB=off GOFLAGS=
[ -n "${GOCACHE:-}${XDG_CACHE_HOME:-}${HOME:-}" ] || export GOCACHE=$work/cache
cp bench/go_hello.go "$work/hello/main.go"
cat >"$work/hello/go.mod" <<MOD
module hello

go 1.19

require dostrel.dev/dostrel v0.0.0

replace dostrel.dev/dostrel => $source_dir/go
MOD
(cd "$work/hello" && go build -o "$work/go-hello" .)
GO111MODULE=off go build -o "$work/linkload" bench/go_linkload.go

start_listening "$work/go-port" "$work/go-hello" 2>>"$work/logs/servers.log"
go_port=$(cat "$work/go-port")
start_appserver bench "$work/sample-port" 2>>"$work/logs/servers.log"
sample_port=$(cat "$work/sample-port")
install_gateway "$work/cgi-bin/go" "link * tcp 127.0.0.1 $go_port
"
install_gateway "$work/cgi-bin/sample" "link * tcp 127.0.0.1 $sample_port
"
start_webserver_anywhere lighttpd "$work" || exit 1

declare -A url=(
    [go]="http://127.0.0.1:$webserver_port/cgi-bin/go/dostrel/hello"
    [sample]="http://127.0.0.1:$webserver_port/cgi-bin/sample/dostrel/hello?bytes=14"
)
printf 'Hello, world!\n' >"$work/go.expected"
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern 14 >"$work/sample.expected"
checked=0
check_answers "$work" go sample
"$work/linkload" -port "$go_port" -conns 1 -seconds 0.2 -expect "$work/go.expected" >/dev/null
"$work/linkload" -port "$sample_port" -conns 1 -seconds 0.2 -query bytes=14 \
    -expect "$work/sample.expected" >/dev/null
checked=$((checked + 2))

# measure WHO: one timed run; its rate appended to the results.
results=$work/results
: >"$results"
measure() {
    local rate
    case "$1" in
    go-link | sample-link)
        local who=${1%-link} query=""
        local port_var=${who}_port
        [ "$who" = sample ] && query=bytes=14
        "$work/linkload" -port "${!port_var}" -conns 4 -seconds "$seconds" -query "$query" \
            -expect "$work/$who.expected" >"$work/run.out" ||
            { echo "$1: failed requests" >&2; cat "$work/run.out" >&2; exit 1; }
        rate=$(awk '{print $1}' "$work/run.out")
        ;;
    *)
        wrk -t2 -c4 -d"${seconds}s" "${url[$1]}" >"$work/run.out"
        if grep -q -e 'Non-2xx' -e 'Socket errors' "$work/run.out"; then
            echo "$1: failed requests during the run" >&2
            cat "$work/run.out" >&2
            exit 1
        fi
        rate=$(awk '/^Requests\/sec/ {print $2}' "$work/run.out")
        ;;
    esac
    echo "$round $1 $rate" >>"$results"
}
contenders=(go sample go-link sample-link)
for round in $(seq $rounds); do
    order=("${contenders[@]}")
    [ $((round % 2)) = 0 ] && order=(sample-link go-link sample go)
    for who in "${order[@]}"; do measure "$who"; done
done
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
rates() { awk -v c="$1" '$2 == c {print $3}' "$results" | median; }
round_ratios() { # round_ratios A B: A's rate over B's, round by round, their median
    awk -v a="$1" -v b="$2" '$2 == a {x[$1] = $3} $2 == b {y[$1] = $3}
        END {for (k in x) print x[k] / y[k]}' "$results" | median
}
echo
echo "Go benchmark: $(nproc) cores, $(uname -sr), $(go version | awk '{print $3}')," \
    "$rounds round(s) of ${seconds}s, answers checked: $checked"
echo
echo "| contender | requests per second (median) | Go over C (median of the rounds' ratios) |"
echo "|---|---|---|"
printf '| lighttpd + gateway + Go package, hello world | %.0f | %.2f |\n' "$(rates go)" \
    "$(round_ratios go sample)"
printf '| lighttpd + gateway + C++ sample server, 14 bytes | %.0f | |\n' "$(rates sample)"
printf '| Go package alone, link protocol, a connection per request | %.0f | %.2f |\n' \
    "$(rates go-link)" "$(round_ratios go-link sample-link)"
printf '| C library sample server alone, link protocol, a connection per request | %.0f | |\n' \
    "$(rates sample-link)"
echo
echo "rounds (round, contender, requests per second):"
cat "$results"
[ -n "${DOSTREL_BENCH_RESULTS:-}" ] && cp "$results" "$DOSTREL_BENCH_RESULTS"
exit 0
