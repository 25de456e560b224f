#!/usr/bin/env bash
# node.sh [--smoke] -- requests per second through lighttpd and the gateway: an Express hello
# world served by the Node package, beside the C++ sample server (dostrel-appserver, a 2-byte
# answer) and a plain node:http-style handler, in interleaved rounds of wrk -t2 -c4; the median
# of the rounds. Every contender's answer is checked before it is timed. Servers run on
# 127.0.0.1 only and are stopped at the end. A fourth contender, the floor (node:net and the
# request decoder answering a fixed response), shows what Node itself costs per connection. Two
# more run the plain handler under the cluster helper with two workers, once with each
# scheduling policy of node:cluster (rr: the primary accepts and passes each connection on;
# none: the workers accept); their CPU column is the primary's, and the primary's peak memory
# and descriptors after a burst of wrk -c64 are printed below the table, with the two clusters'
# own rates straight over the link protocol (bench/go_linkload.go, 16 connections), where no web
# server or gateway hides the difference.
# --smoke: one short round, to check that it runs and that the answers are right.
# DOSTREL_BUILD=DIR uses an existing build (it needs dostrel and dostrel-appserver).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages wrk lighttpd curl ca-certificates golang-go # npm fetches over HTTPS
command -v node >/dev/null || need_packages nodejs
command -v npm >/dev/null || need_packages npm
smoke=0
[ "${1:-}" = --smoke ] && smoke=1
[ -n "${DOSTREL_BUILD:-}" ] || need_packages g++ cmake make
use_gateway_build
[ -d node/node_modules/express ] || (cd node && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
. scripts/webservers.sh

if [ $smoke = 1 ]; then rounds=1 seconds=1; else rounds=5 seconds=5; fi
work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT

# start_node KIND: the package's server with the bench application KIND; its port to KIND-port.
start_node() {
    start_listening "$work/$1-port" node node/bench/hello.js "$1"
}
# start_cluster POLICY: the cluster contender with node:cluster's scheduling POLICY.
start_cluster() {
    start_listening "$work/cluster-$1-port" env NODE_CLUSTER_SCHED_POLICY="$1" \
        node node/bench/hello.js cluster
}
start_appserver bench "$work/appserver-port"
pid_appserver=${started_pids[-1]}
start_node express
pid_express=${started_pids[-1]}
start_node plain
pid_plain=${started_pids[-1]}
start_node floor
pid_floor=${started_pids[-1]}
start_cluster rr
pid_cluster_rr=${started_pids[-1]}
start_cluster none
pid_cluster_none=${started_pids[-1]}
contenders=(appserver express plain floor cluster-rr cluster-none)
for who in "${contenders[@]}"; do
    install_gateway "$work/cgi-bin/$who" "link * tcp 127.0.0.1 $(cat "$work/$who-port")
"
done
start_webserver_anywhere lighttpd "$work"
base=http://127.0.0.1:$webserver_port/cgi-bin

# The answers, checked before anything is timed.
url_of() { [ "$1" = appserver ] && echo "$base/$1/dostrel/?bytes=2" || echo "$base/$1/dostrel/"; }
printf '\x00\x07' >"$work/expect-appserver"
printf 'Hello, world!' >"$work/expect-express"
printf 'Hello, world!' >"$work/expect-plain"
printf 'Hello, world!' >"$work/expect-floor"
printf 'Hello, world!' >"$work/expect-cluster-rr"
printf 'Hello, world!' >"$work/expect-cluster-none"
checked=0
for who in "${contenders[@]}"; do
    curl -sS -D "$work/$who.head" -o "$work/$who.body" "$(url_of $who)"
    if ! cmp -s "$work/expect-$who" "$work/$who.body" || ! head -1 "$work/$who.head" | grep -q ' 200 '; then
        echo "the answer of $who is not the expected one; no timing" >&2
        cat "$work/$who.head" "$work/$who.body" >&2
        exit 1
    fi
    checked=$((checked + 1))
done

ticks=$(getconf CLK_TCK)
cpu_ms() { awk -v t="$ticks" '{print int(($14 + $15) * 1000 / t)}' "/proc/$1/stat"; } # user + system

# Each round times every contender once, in alternating order; a round's ratios compare
# neighbours in time, which a machine whose load drifts disturbs less than the medians do.
results=$work/results
: >"$results"
# Untimed first: Node's compiler optimises the hot paths in the first thousand requests or so.
[ $smoke = 1 ] || for who in "${contenders[@]}"; do wrk -t2 -c4 -d2s "$(url_of "$who")" >/dev/null; done
for round in $(seq $rounds); do
    order=("${contenders[@]}")
    [ $((round % 2)) = 0 ] && order=(cluster-none cluster-rr floor plain express appserver)
    for who in "${order[@]}"; do
        pid_var=pid_${who//-/_}
        before=$(cpu_ms "${!pid_var}")
        wrk -t2 -c4 -d${seconds}s "$(url_of "$who")" >"$work/wrk.out"
        spent=$(($(cpu_ms "${!pid_var}") - before))
        rps=$(awk '/^Requests\/sec/ {print $2}' "$work/wrk.out")
        requests=$(awk '/requests in/ {print $1}' "$work/wrk.out")
        echo "$round $who $rps $(awk -v s="$spent" -v n="$requests" 'BEGIN {printf "%.0f", s * 1000 / n}')" >>"$results"
    done
done
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
rates() { awk -v c="$1" '$2 == c {print $3}' "$results"; }
round_ratios() { # round_ratios WHO: WHO's rate over the sample server's, round by round
    awk -v c="$1" '$2 == c {r[$1] = $3} $2 == "appserver" {a[$1] = $3}
        END {for (k in r) print r[k] / a[k]}' "$results"
}
app=$(rates appserver | median) express=$(rates express | median) plain=$(rates plain | median)
floor=$(rates floor | median)
cpu() { awk -v c="$1" '$2 == c {print $4}' "$results" | median; }
echo
echo "node benchmark: $(nproc) cores, $(uname -sr), node $(node --version), $rounds rounds of" \
    "${seconds} s, answers checked: $checked"
echo
echo "| server behind lighttpd + dostrel | requests per second (median) | vs dostrel-appserver (median of the rounds' ratios) | server CPU µs per request |"
echo "|---|---|---|---|"
printf '| dostrel-appserver (C++ sample server, 2-byte answer) | %.0f | 1.00 | %s |\n' "$app" "$(cpu appserver)"
printf '| Express 4 hello world on the Node package | %.0f | %.2f | %s |\n' "$express" \
    "$(round_ratios express | median)" "$(cpu express)"
printf '| plain handler on the Node package | %.0f | %.2f | %s |\n' "$plain" \
    "$(round_ratios plain | median)" "$(cpu plain)"
printf '| floor: node:net and the decoder, a fixed answer, no request objects | %.0f | %.2f | %s |\n' \
    "$floor" "$(round_ratios floor | median)" "$(cpu floor)"
for policy in rr none; do
    printf '| plain handler, cluster of 2 workers, scheduling %s | %.0f | %.2f | %s (primary) |\n' \
        "$policy" "$(rates cluster-$policy | median)" "$(round_ratios cluster-$policy | median)" \
        "$(cpu cluster-$policy)"
done
# The clusters alone, over the link protocol, in alternating order.
GO111MODULE=off GOFLAGS= go build -o "$work/linkload" bench/go_linkload.go
for round in $(seq $rounds); do
    order=(rr none)
    [ $((round % 2)) = 0 ] && order=(none rr)
    for policy in "${order[@]}"; do
        "$work/linkload" -port "$(cat "$work/cluster-$policy-port")" -conns 16 -seconds "$seconds" \
            -expect "$work/expect-cluster-$policy" | awk -v p="$policy" '{print p, $1, $3}'
    done
done >"$work/link-rates"
echo
for policy in rr none; do
    printf 'cluster, scheduling %s, over the link protocol alone: %s requests/s (median), %s failed\n' \
        "$policy" "$(awk -v p="$policy" '$1 == p {print $2}' "$work/link-rates" | median)" \
        "$(awk -v p="$policy" '$1 == p {n += $3} END {print n + 0}' "$work/link-rates")"
done

# A burst of many connections at once, then what the primary holds.
for policy in rr none; do
    pid_var=pid_cluster_$policy
    [ $smoke = 1 ] || wrk -t2 -c64 -d${seconds}s "$(url_of cluster-$policy)" >/dev/null
    printf 'cluster, scheduling %s: the primary peaked at %s kB resident and holds %s descriptors\n' \
        "$policy" "$(awk '/^VmHWM:/ {print $2}' "/proc/${!pid_var}/status")" \
        "$(ls "/proc/${!pid_var}/fd" | wc -l)"
done
echo
echo "rounds (round, server, requests per second, server CPU µs per request):"
cat "$results"
