#!/usr/bin/env bash
# run.sh [--smoke] [--s4] -- the gateway's benchmark, side by side with the floor (a static C CGI
# program that writes the response itself) and the peer (cgi-fcgi with a trivial FastCGI
# application), in interleaved rounds. Every program's output is checked byte for byte before
# it is timed. Servers run on 127.0.0.1 only and are stopped at the end.
#   S1  one request, started directly with a web server's environment, tiny response
#   S2  requests per second through lighttpd with mod_cgi (wrk, 4 connections)
#   S3  a 100 MB response relayed to /dev/null, beside cat of a 100 MB file; peak RSS
#   S4  a 20 MB request body to an application that discards it; the same with the sample
#       server, which keeps it; peak RSS
# --smoke: a few seconds, small sizes: checks that it runs and that the outputs are right.
# --s4: S4 alone. --relay: S1 to S3 alone (the relay and start-up, without the body).
# --builds: the gateway on both C libraries side by side: the build's own (musl where it is
#   installed) and a static glibc build (DOSTREL_GLIBC_BUILD=DIR, else built in
#   build-programs-glibc/), with a static musl floor beside the glibc one; a table of its own.
# DOSTREL_BUILD=DIR uses an existing build of the gateway.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages "${gateway_build_packages[@]}" hyperfine wrk lighttpd libfcgi-bin libfcgi-dev jq \
    time curl
smoke=0 only_s4=0 no_s4=0 builds=0
for argument in "$@"; do
    case $argument in
    --smoke) smoke=1 ;;
    --s4) only_s4=1 ;;
    --relay) no_s4=1 ;;
    --builds) builds=1 ;;
    *) echo "usage: bench/run.sh [--smoke] [--s4 | --relay] [--builds]" >&2 && exit 2 ;;
    esac
done
use_gateway_build
# The gateways and floors timed: with --builds, the glibc gateway and the musl floor as well.
gateways=(dostrel) floors=(floor)
if [ $builds = 1 ]; then
    glibc_build=${DOSTREL_GLIBC_BUILD:-$PWD/build-programs-glibc}
    if [ ! -x "$glibc_build/dostrel" ] || [ -z "${DOSTREL_GLIBC_BUILD:-}" ]; then
        echo "building the glibc gateway in $glibc_build"
        mkdir -p "$glibc_build"
        { cmake -S . -B "$glibc_build" -DCMAKE_BUILD_TYPE=Release -DDOSTREL_TESTS=OFF \
            -DDOSTREL_MUSL=OFF && cmake --build "$glibc_build" -j2 --target dostrel; } \
            >"$glibc_build/build.log" 2>&1 || { cat "$glibc_build/build.log" >&2; exit 1; }
    fi
    gateways+=(dostrel-glibc) floors+=(floor-musl)
fi
. scripts/webservers.sh

if [ $smoke = 1 ]; then
    rounds=1 runs=5 wrk_seconds=1 big=$((1024 * 1024)) body_size=$((1024 * 1024)) huge=$((4 * 1024 * 1024))
else
    rounds=5 runs=200 wrk_seconds=5 big=$((100 * 1024 * 1024)) body_size=$((20 * 1024 * 1024))
    huge=$((1024 * 1024 * 1024))
fi

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
cgi=$work/cgi-bin
mkdir -p "$cgi"
gcc -O2 -static -o "$cgi/floor" bench/floor.c
[ $builds = 1 ] && musl-gcc -O2 -static -o "$cgi/floor-musl" bench/floor.c
gcc -O2 -static -o "$cgi/tcp_floor" bench/tcp_floor.c
gcc -O2 -o "$work/peer_fcgi_app" bench/peer_fcgi_app.c -lfcgi
gcc -O2 -o "$work/discard_app" bench/discard_app.c

start_appserver bench "$work/app-port" || exit 1
peer_port=$(free_port)
"$work/peer_fcgi_app" "127.0.0.1:$peer_port" >/dev/null &
started_pids+=($!)
install_gateway "$cgi" "link * tcp 127.0.0.1 $(cat "$work/app-port")
"
[ $builds = 1 ] && cp "$glibc_build/dostrel" "$cgi/dostrel-glibc"
printf '#!/usr/bin/cgi-fcgi -f\n-bind -connect 127.0.0.1:%s\n' "$peer_port" >"$cgi/peer.fcgi"
chmod 755 "$cgi/peer.fcgi"
sleep 0.2

# A GET's environment as a web server sets it, about 25 variables.
cgi_env=(GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=lighttpd/1.4.69 SERVER_NAME=www.example.com
    SERVER_ADDR=127.0.0.1 SERVER_PORT=80 SERVER_PROTOCOL=HTTP/1.1 REQUEST_METHOD=GET
    REQUEST_SCHEME=http REQUEST_URI=/cgi-bin/dostrel/app?bytes=2 SCRIPT_NAME=/cgi-bin/dostrel
    SCRIPT_FILENAME=$cgi/dostrel PATH_INFO=/app PATH_TRANSLATED=/var/www/app
    DOCUMENT_ROOT=/var/www QUERY_STRING=bytes=2 REMOTE_ADDR=127.0.0.1 REMOTE_PORT=51234
    REDIRECT_STATUS=200 HTTP_HOST=www.example.com "HTTP_USER_AGENT=Mozilla/5.0 (X11; Linux x86_64)"
    "HTTP_ACCEPT=text/html,application/xhtml+xml,*/*;q=0.8" "HTTP_ACCEPT_LANGUAGE=en-US,en;q=0.5"
    "HTTP_ACCEPT_ENCODING=gzip, deflate" HTTP_CONNECTION=keep-alive HTTP_DNT=1)
peer_cmd="/usr/bin/cgi-fcgi -bind -connect 127.0.0.1:$peer_port"
header='Content-type: application/octet-stream\nX-Appserver: bench\n\n'
expect() { # expect SIZE: the response the contenders must give for bytes=SIZE
    printf "$header"
    "$DOSTREL_BUILD/dostrel-appserver" --print-pattern "$1"
}
run_cgi() { # run_cgi QUERY [env...] -- program...: one request with the CGI environment
    local query=$1
    shift
    (cd "$cgi" && env -i "${cgi_env[@]}" "QUERY_STRING=$query" "$@")
}
checked=0
# The sample server declares the length of an answer it sends whole, and the floor programs do
# not: that header line aside, every contender must send the same bytes.
undeclared() { LC_ALL=C sed '1,/^$/{/^Content-Length: [0-9]*$/d}' "$1"; }
check_output() { # check_output NAME EXPECTED-FILE ACTUAL-FILE
    if ! cmp -s <(undeclared "$2") <(undeclared "$3"); then
        echo "output of $1 differs from what is expected; no timing" >&2
        exit 1
    fi
    checked=$((checked + 1))
}
median_of() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
results=$work/results
: >"$results"
record() { echo "$1 $2 $3" >>"$results"; } # scenario contender value

peak_kib() { # peak_kib QUERY INPUT -- program...: the program's peak resident set in KiB
    local query=$1 input=$2
    shift 2
    (cd "$cgi" && env -i "${cgi_env[@]}" "QUERY_STRING=$query" /usr/bin/time -f %M "$@" \
        <"$input" 2>&1 >/dev/null | tail -1)
}

if [ $only_s4 = 0 ]; then
# S1: start-up cost, each program run directly.
expect 2 >"$work/tiny"
for who in "${gateways[@]}" "${floors[@]}"; do
    run_cgi bytes=2 "./$who" >"$work/s1-$who" </dev/null
done
run_cgi bytes=2 $peer_cmd >"$work/s1-peer" </dev/null
tcp_floor_cmd="./tcp_floor $(cat "$work/app-port")"
run_cgi bytes=2 $tcp_floor_cmd >"$work/s1-tcpfloor" </dev/null
for who in "${gateways[@]}" "${floors[@]}" peer tcpfloor; do
    check_output "S1 $who" "$work/tiny" "$work/s1-$who"
done
for round in $(seq $rounds); do
    order=("${floors[@]/#/./}" "$tcp_floor_cmd" "${gateways[@]/#/./}" "$peer_cmd")
    [ $((round % 2)) = 0 ] && order=("$peer_cmd" "${gateways[@]/#/./}" "$tcp_floor_cmd" \
        "${floors[@]/#/./}")
    (cd "$cgi" && env -i "${cgi_env[@]}" /usr/bin/hyperfine -N --warmup 10 --runs $runs \
        --export-json "$work/s1-$round.json" --style none "${order[@]}")
    jq -r '.results[] | "\(.command) \(.median)"' "$work/s1-$round.json" |
        sed -e 's|^./floor|floor|' -e 's|^./dostrel|dostrel|' -e 's|^/usr/bin/cgi-fcgi.* |peer |' \
            -e 's|^./tcp_floor [0-9]* |tcpfloor |' \
            -e 's|^\([a-z-]*\) |S1 \1 |' >>"$results"
done

# S2: through lighttpd with mod_cgi.
start_webserver_anywhere lighttpd "$work" || exit 1
port=$webserver_port
base=http://127.0.0.1:$port/cgi-bin
printf '\x00\x07' >"$work/tiny-body"
for who in "${floors[@]}" "${gateways[@]}" peer.fcgi; do
    curl -sS -o "$work/s2-$who" "$base/$who?bytes=2"
    check_output "S2 $who" "$work/tiny-body" "$work/s2-$who"
done
for round in $(seq $rounds); do
    for who in "${floors[@]}" "${gateways[@]}" peer.fcgi; do
        rps=$(wrk -t2 -c4 -d${wrk_seconds}s "$base/$who?bytes=2" | awk '/^Requests\/sec/ {print $2}')
        record S2 "${who%.fcgi}" "$rps"
    done
done

# S3: a large response, relayed to /dev/null.
expect $big >"$work/big"
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern $big >"$work/cat-source"
for who in "${gateways[@]}"; do
    run_cgi bytes=$big "./$who" >"$work/s3-$who" </dev/null
    check_output "S3 $who" "$work/big" "$work/s3-$who"
done
run_cgi bytes=$big $peer_cmd >"$work/s3-peer" </dev/null
check_output "S3 peer" "$work/big" "$work/s3-peer"
cat "$work/cat-source" >/dev/null # into the page cache
for round in $(seq $rounds); do
    # -i: cgi-fcgi now and then fails on a large response (its exit status is 254).
    (cd "$cgi" && env -i "${cgi_env[@]}" QUERY_STRING=bytes=$big /usr/bin/hyperfine -N -i \
        --warmup 2 --runs $((runs / 20 + 3)) --export-json "$work/s3-$round.json" --style none \
        "${gateways[@]/#/./}" "$peer_cmd" "cat $work/cat-source")
    jq -r '.results[] | "\(.command) \(.median)"' "$work/s3-$round.json" |
        sed -e 's|^./dostrel|dostrel|' -e 's|^/usr/bin/cgi-fcgi.* |peer |' \
            -e 's|^cat .* |cat |' -e 's|^\([a-z-]*\) |S3 \1 |' >>"$results"
done
record S3rss dostrel-1MB "$(peak_kib bytes=1048576 /dev/null ./dostrel)"
record S3rss dostrel-huge "$(peak_kib bytes=$huge /dev/null ./dostrel)"
fi

if [ $no_s4 = 0 ]; then
# S4: a large request body. The peer's application reads the body and throws it away, and so
# does the gateway's (bench/discard_app.c, in a directory of its own); the gateway is timed with
# the sample server as well, which keeps the body in memory as it reads it.
"$work/discard_app" 0 >"$work/discard.out" &
started_pids+=($!)
for _ in $(seq 100); do grep -q '^listening on' "$work/discard.out" && break; sleep 0.05; done
discard_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/discard.out")
[ -n "$discard_port" ] || { echo "discard_app did not start" >&2; exit 1; }
s4cgi=$work/s4-cgi-bin
install_gateway "$s4cgi" "link * tcp 127.0.0.1 $discard_port
"
[ $builds = 1 ] && cp "$glibc_build/dostrel" "$s4cgi/dostrel-glibc"

head -c $body_size /dev/urandom >"$work/body"
export CONTENT_LENGTH=$body_size
cgi_env+=(CONTENT_LENGTH=$body_size REQUEST_METHOD=POST)
expect 2 >"$work/tiny"
run_cgi bytes=2 ./dostrel <"$work/body" >"$work/s4-sample"
for who in "${gateways[@]}"; do
    (cd "$s4cgi" && env -i "${cgi_env[@]}" QUERY_STRING=bytes=2 "./$who") <"$work/body" \
        >"$work/s4-$who"
    check_output "S4 $who" "$work/tiny" "$work/s4-$who"
done
run_cgi bytes=2 $peer_cmd <"$work/body" >"$work/s4-peer"
check_output "S4 dostrel with the sample server" "$work/tiny" "$work/s4-sample"
check_output "S4 peer" "$work/tiny" "$work/s4-peer"
for round in $(seq $rounds); do
    order=("cd $s4cgi && ./dostrel <$work/body" "$peer_cmd <$work/body" "./dostrel <$work/body")
    [ $((round % 2)) = 0 ] && order=("./dostrel <$work/body" "$peer_cmd <$work/body" "${order[0]}")
    [ $builds = 1 ] && order+=("cd $s4cgi && ./dostrel-glibc <$work/body")
    (cd "$cgi" && env -i "${cgi_env[@]}" QUERY_STRING=bytes=2 /usr/bin/hyperfine -i \
        --warmup 2 --runs $((runs / 20 + 3)) --export-json "$work/s4-$round.json" --style none \
        "${order[@]}")
    jq -r '.results[] | "\(.command) \(.median)"' "$work/s4-$round.json" |
        sed -e 's|^cd .* \./dostrel-glibc .* |dostrel-glibc |' -e 's|^cd .* |dostrel |' \
            -e 's|^./dostrel.* |dostrel-sample |' \
            -e 's|^/usr/bin/cgi-fcgi.* |peer |' -e 's|^\([a-z-]*\) |S4 \1 |' >>"$results"
done
record S4rss dostrel "$(peak_kib bytes=2 "$work/body" ./dostrel)"
# A body of $huge bytes from a pipe, discarded: it waits in the gateway's temporary file.
record S4rss dostrel-huge "$(cd "$s4cgi" && head -c $huge /dev/zero |
    env -i "${cgi_env[@]}" CONTENT_LENGTH=$huge QUERY_STRING=bytes=2 /usr/bin/time -f %M \
        ./dostrel 2>&1 >/dev/null | tail -1)"
fi

# The table: medians over the rounds, and the ratios the targets name.
med() { awk -v s="$1" -v c="$2" '$1 == s && $2 == c {print $3}' "$results" | median_of; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
mib() { awk -v v="$1" 'BEGIN {printf "%.1f", v / 1024}'; }
mbps() { awk -v size="$1" -v seconds="$2" 'BEGIN {printf "%.0f", size / 1048576 / seconds}'; }
s4d=$(med S4 dostrel) s4p=$(med S4 peer) s4s=$(med S4 dostrel-sample)
echo
echo "dostrel benchmark: $(nproc) cores, $(uname -sr), $rounds rounds, outputs checked: $checked"
echo
echo "| scenario | measure | floor | dostrel | peer (cgi-fcgi) | dostrel / floor | dostrel vs peer |"
echo "|---|---|---|---|---|---|---|"
if [ $only_s4 = 0 ]; then
s1f=$(med S1 floor) s1d=$(med S1 dostrel) s1p=$(med S1 peer) s1t=$(med S1 tcpfloor)
s2f=$(med S2 floor) s2d=$(med S2 dostrel) s2p=$(med S2 peer)
s3c=$(med S3 cat) s3d=$(med S3 dostrel) s3p=$(med S3 peer)
printf '| S1 | median ms per request | %.3f | %.3f | %.3f | %s | %s of its time |\n' \
    "$(ratio "$s1f" 0.001)" "$(ratio "$s1d" 0.001)" "$(ratio "$s1p" 0.001)" \
    "$(ratio "$s1d" "$s1f")" "$(ratio "$s1d" "$s1p")"
printf '| S1 | TCP floor: one send, one relay, nothing else | %.3f ms | | | %s | |\n' \
    "$(ratio "$s1t" 0.001)" "$(ratio "$s1t" "$s1f")"
printf '| S2 | requests per second | %.0f | %.0f | %.0f | %s | %s times its rate |\n' \
    "$s2f" "$s2d" "$s2p" "$(ratio "$s2d" "$s2f")" "$(ratio "$s2d" "$s2p")"
printf '| S3 | MB/s, %d MB response (cat: %s) | | %s | %s | %s of cat | %s times its rate |\n' \
    $((big / 1048576)) "$(mbps $big "$s3c")" "$(mbps $big "$s3d")" "$(mbps $big "$s3p")" \
    "$(ratio "$s3c" "$s3d")" "$(ratio "$s3p" "$s3d")"
printf '| S3 | peak RSS MiB, 1 MB / %d MB response | | %s / %s | | | |\n' \
    $((huge / 1048576)) "$(mib "$(med S3rss dostrel-1MB)")" "$(mib "$(med S3rss dostrel-huge)")"
fi
if [ $no_s4 = 0 ]; then
printf '| S4 | MB/s, %d MB body, discarded | | %s | %s | | %s times its rate |\n' \
    $((body_size / 1048576)) "$(mbps $body_size "$s4d")" "$(mbps $body_size "$s4p")" \
    "$(ratio "$s4p" "$s4d")"
printf '| S4 | MB/s, %d MB body, kept by the sample server | | %s | | | %s times its rate |\n' \
    $((body_size / 1048576)) "$(mbps $body_size "$s4s")" "$(ratio "$s4p" "$s4s")"
printf '| S4 | peak RSS MiB | | %s | | | body %d MiB |\n' "$(mib "$(med S4rss dostrel)")" \
    $((body_size / 1048576))
printf '| S4 | peak RSS MiB | | %s | | | body %d MiB, from a pipe |\n' \
    "$(mib "$(med S4rss dostrel-huge)")" $((huge / 1048576))
fi
if [ $builds = 1 ]; then
    echo
    echo "The C libraries side by side (static programs; ratios to the static glibc floor):"
    echo
    echo "| scenario | measure | glibc floor | musl floor | dostrel, glibc | dostrel, musl |"
    echo "|---|---|---|---|---|---|"
    if [ $only_s4 = 0 ]; then
        s1m=$(med S1 floor-musl) s1g=$(med S1 dostrel-glibc)
        s2m=$(med S2 floor-musl) s2g=$(med S2 dostrel-glibc) s3g=$(med S3 dostrel-glibc)
        printf '| S1 | median ms per request | %.3f | %.3f | %.3f | %.3f |\n' \
            "$(ratio "$s1f" 0.001)" "$(ratio "$s1m" 0.001)" "$(ratio "$s1g" 0.001)" \
            "$(ratio "$s1d" 0.001)"
        printf '| S1 | / glibc floor | 1.00 | %s | %s | %s |\n' "$(ratio "$s1m" "$s1f")" \
            "$(ratio "$s1g" "$s1f")" "$(ratio "$s1d" "$s1f")"
        printf '| S2 | requests per second | %.0f | %.0f | %.0f | %.0f |\n' \
            "$s2f" "$s2m" "$s2g" "$s2d"
        printf '| S2 | / glibc floor | 1.00 | %s | %s | %s |\n' "$(ratio "$s2m" "$s2f")" \
            "$(ratio "$s2g" "$s2f")" "$(ratio "$s2d" "$s2f")"
        printf '| S3 | MB/s, %d MB response | | | %s | %s |\n' $((big / 1048576)) \
            "$(mbps $big "$s3g")" "$(mbps $big "$s3d")"
    fi
    if [ $no_s4 = 0 ]; then
        printf '| S4 | MB/s, %d MB body, discarded | | | %s | %s |\n' $((body_size / 1048576)) \
            "$(mbps $body_size "$(med S4 dostrel-glibc)")" "$(mbps $body_size "$s4d")"
    fi
fi
[ -n "${DOSTREL_BENCH_RESULTS:-}" ] && cp "$results" "$DOSTREL_BENCH_RESULTS"
exit 0
