#!/usr/bin/env bash
# appserver_stream.sh BUILD_DIR [MIB] -- a POST body of MIB MiB (1024: 1 GiB) streamed through
# the gateway to dostrel-appserver's ?sum answer, which hashes it as it comes; prints the answer,
# the time, and the worker's peak resident set, which stays the same whatever the body's size.
set -euo pipefail
build=$(cd "$1" && pwd)
mib=${2:-1024}
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
"$build/dostrel-appserver" --port 0 --workers 1 --read-timeout 3600 \
    --max-body-bytes $((mib * 1048576)) >"$work/out" 2>"$work/err" &
server=$!
for _ in $(seq 200); do grep -q '^listening on' "$work/out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out")
printf 'link * tcp 127.0.0.1 %s\n' "$port" >"$work/dostrel.cnf"
worker=""
for _ in $(seq 200); do
    worker=$(tr -s ' ' '\n' <"/proc/$server/task/$server/children" | head -1)
    [ -n "$worker" ] && break
    sleep 0.05
done
start=$(date +%s.%N)
head -c $((mib * 1048576)) /dev/zero |
    (cd "$work" && env -i REQUEST_METHOD=POST QUERY_STRING=sum PATH_INFO=/sum \
        CONTENT_LENGTH=$((mib * 1048576)) "$build/dostrel") | tail -1
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v m="$mib" 'BEGIN { printf "body of %d MiB in %.1f s\n", m, e - s }'
awk '/^VmHWM:/ { print "worker peak resident set (VmHWM): " $2 " " $3 }' "/proc/$worker/status"
