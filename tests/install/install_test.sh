#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR [CFLAGS] -- installs the build into a scratch prefix and
# builds every example of docs/appserver-c.md against that copy, found through pkg-config: the C
# ones with cc -std=c99, the C++ ones with c++ -std=c++17, warnings as errors. Each example then
# answers a request through the gateway and stops on SIGTERM with status 0.
# Skipped (status 77) without cc, c++ or pkg-config.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$2
extra_flags=${3:-}
command -v cc >/dev/null && command -v c++ >/dev/null && command -v pkg-config >/dev/null || {
    echo "needs cc, c++ and pkg-config: skipped"
    exit 77
}
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill -KILL "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
check_prefix=""
. "$source_dir/tests/support/check.sh"

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || cat "$work/install.log"
check "header installed as include/dostrel/appserver.h" \
    test -f "$work/prefix/include/dostrel/appserver.h"
check "C++ header installed as include/dostrel/appserver.hpp" \
    test -f "$work/prefix/include/dostrel/appserver.hpp"
library=$(find "$work/prefix" -name libdostrel_appserver.a | head -1)
pc=$(find "$work/prefix" -name dostrel-appserver.pc | head -1)
check "static library installed" test -n "$library"
check "pkg-config file installed beside it" test "$(dirname "$library")/pkgconfig/dostrel-appserver.pc" = "$pc"
export PKG_CONFIG_PATH=$(dirname "$pc")
check "pkg-config names the installed header's folder" \
    test "$(pkg-config --variable=includedir dostrel-appserver | xargs realpath)" = \
    "$(realpath "$work/prefix/include")"

# Every C and C++ block of the document that opens with its file name ("/* NAME.c --" or
# "// NAME.cc --") is an example, written to that file.
mkdir "$work/examples"
awk -v dir="$work/examples" '
    /^```(c|cpp)$/ { inside = 1; first = 1; next }
    inside && /^```$/ { inside = 0; if (file != "") close(file); file = ""; next }
    inside && first {
        first = 0
        file = ""
        if (match($0, /^(\/\*|\/\/) [a-z_]+\.(c|cc) --/)) {
            name = substr($0, 4, RLENGTH - 6)
            file = dir "/" name
        }
    }
    inside && file != "" { print >file }' "$source_dir/docs/appserver-c.md"
examples=$(cd "$work/examples" && ls)
echo "examples: $(echo $examples)"
check "the document has the C and C++ examples" \
    test "$(echo $examples)" = "errors.c errors.cc events.c events.cc hello.c hello.cc hooks.c hooks.cc own_loop.c own_loop.cc threads.c threads.cc upload.c upload.cc"

cd "$work/examples" || exit 1
if [ -z "$extra_flags" ]; then
    # The document's commands, as they stand there.
    cc -o hello hello.c $(pkg-config --cflags --libs dostrel-appserver)
    c++ -std=c++17 -o hello-cpp hello.cc $(pkg-config --cflags --libs dostrel-appserver)
    check "the document's build commands make both greeters" test -x hello -a -x hello-cpp
fi
for example in $examples; do
    case $example in
    *.c) compile=(cc -std=c99) binary=${example%.c}-c ;;
    *.cc) compile=(c++ -std=c++17) binary=${example%.cc}-cpp ;;
    esac
    # shellcheck disable=SC2046,SC2086
    check "$example builds with warnings as errors" \
        "${compile[@]}" -Wall -Wextra -Wpedantic -Werror -pthread $extra_flags -o "$binary" \
        "$example" $(pkg-config --cflags --libs dostrel-appserver)
done

# start BINARY: runs the example on a free port in the examples folder, with a dostrel.cnf
# for the gateway pointing at it.
start() {
    rm -f "$work/out" # the last example's line would pass for this one's
    "./$1" 0 >"$work/out" 2>"$work/err" &
    server=$!
    port=""
    for _ in $(seq 600); do
        port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out" 2>/dev/null)
        [ -n "$port" ] && break
        sleep 0.05
    done
    printf 'link * tcp 127.0.0.1 %s\n' "$port" >dostrel.cnf
    [ -n "$port" ] || { echo "$1 did not listen:"; cat "$work/out" "$work/err"; return 1; }
}

# ask INPUT VARIABLE=VALUE...: one request through the gateway; its output in $work/response.
ask() {
    local input=$1
    shift
    printf '%s' "$input" | env -i "$@" "$build/dostrel" >"$work/response"
}

# stop: SIGTERM, and the status it ends with.
stop() {
    kill -TERM "$server"
    wait "$server"
    local status=$?
    server=""
    return $status
}

has() { grep -q -- "$1" "$work/response"; }

# events_through_lighttpd: the running events example behind lighttpd with the gateway as its
# CGI program, streaming the answer (server.stream-response-body = 2): each event reaches the
# HTTP client when it is flushed, so the first comes at least the server's two 100 ms pauses
# before the third. Skipped without lighttpd and curl.
events_through_lighttpd() {
    if ! command -v lighttpd >/dev/null || ! command -v curl >/dev/null; then
        echo "no lighttpd or curl: the events are not checked through a web server"
        return
    fi
    local root=$work/lighttpd web_port pid
    mkdir -p "$root/cgi-bin" "$root/htdocs"
    cp "$build/dostrel" "$root/cgi-bin/dostrel"
    cp dostrel.cnf "$root/cgi-bin/dostrel.cnf"
    # A port nothing listens on, below the kernel's range for ephemeral ports.
    for _ in $(seq 200); do
        web_port=$((20000 + RANDOM % 12000))
        (exec 3<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null || break
    done
    cat >"$root/lighttpd.conf" <<CONF
server.modules += ("mod_alias", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $web_port
server.document-root = "$root/htdocs"
server.errorlog = "$root/error.log"
alias.url = ("/cgi-bin/" => "$root/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" {
    cgi.assign = ("" => "")
    server.stream-response-body = 2
}
CONF
    lighttpd -D -f "$root/lighttpd.conf" 2>"$root/start.log" &
    pid=$!
    for _ in $(seq 200); do
        curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$web_port/" && break
        sleep 0.05
    done
    curl -sN --max-time 30 "http://127.0.0.1:$web_port/cgi-bin/dostrel/events" |
        while IFS= read -r line; do echo "$(date +%s%N) $line"; done >"$work/timed"
    kill "$pid"
    wait "$pid"
    cat "$work/timed" "$root/start.log" "$root/error.log" 2>/dev/null
    local first third
    first=$(awk '$3 == "tick" && $4 == 1 { print $1 }' "$work/timed")
    third=$(awk '$3 == "tick" && $4 == 3 { print $1 }' "$work/timed")
    check "events through lighttpd: three events" test -n "$first" -a -n "$third"
    echo "tick 1 to tick 3 through lighttpd: $(((${third:-0} - ${first:-0}) / 1000000)) ms"
    check "events through lighttpd: each arrives when it is flushed, not all at the end" \
        test $((${third:-0} - ${first:-0})) -ge 150000000
}

for kind in c cpp; do
    check "hello-$kind listens" start "hello-$kind"
    check "hello-$kind: a request through the gateway is answered" \
        bash -c "printf hello | env -i PATH_INFO=/installed CONTENT_LENGTH=5 '$build/dostrel' >'$work/response'"
    check "hello-$kind greets the path" grep -qx 'Hello from /installed' "$work/response"
    check "hello-$kind: with the status and header it sets" \
        bash -c "head -2 '$work/response' | diff - <(printf 'Status: 200 OK\nContent-Type: text/plain; charset=utf-8\n')"
    check "hello-$kind: and the body it was sent" grep -q '^hello$' "$work/response"
    check "hello-$kind: SIGTERM stops it with status 0" stop
    check "hello-$kind: nothing in its log" test ! -s "$work/err"

    check "upload-$kind listens" start "upload-$kind"
    ask $'one\ntwo\nsix\n' REQUEST_METHOD=POST CONTENT_LENGTH=12 PATH_INFO=/up
    check "upload-$kind counts the streamed body" has "received 12 bytes, 3 lines of 12 announced"
    check "upload-$kind stops with status 0" stop

    check "events-$kind listens" start "events-$kind"
    ask "" PATH_INFO=/events
    check "events-$kind sends three events" test "$(grep -c '^data: tick [123]$' "$work/response")" -eq 3
    check "events-$kind: as an event stream" has "Content-Type: text/event-stream"
    [ "$kind" = c ] && events_through_lighttpd
    check "events-$kind stops with status 0" stop

    rm -f journal-*.log
    check "hooks-$kind listens" start "hooks-$kind"
    ask "" PATH_INFO=/journal
    check "hooks-$kind answers from a worker" grep -Eq '^worker [0-9]+, request 1$' "$work/response"
    check "hooks-$kind stops with status 0" stop
    check "hooks-$kind: each of two workers started" test "$(grep -c '^worker [0-9]* ready$' "$work/err")" -eq 2
    check "hooks-$kind: and ended" test "$(grep -c '^worker [0-9]* done after [01] requests$' "$work/err")" -eq 2
    check "hooks-$kind: the worker that answered journaled the path" grep -qx /journal journal-*.log

    check "own_loop-$kind listens" start "own_loop-$kind"
    ask "" PATH_INFO=/own
    check "own_loop-$kind answers from a thread" grep -Eq '^thread [0-3] answers /own$' "$work/response"
    check "own_loop-$kind stops with status 0" stop
    check "own_loop-$kind: nothing in its log" test ! -s "$work/err"

    check "threads-$kind listens" start "threads-$kind"
    ask "" PATH_INFO=/wait
    check "threads-$kind answers" has "waited 20 ms"
    check "threads-$kind stops with status 0" stop
done

check "errors-c listens" start errors-c
ask "" PATH_INFO=/missing REQUEST_METHOD=GET
check "errors-c: 404 with its usual phrase" has "Status: 404 Not Found"
check "errors-c: the text formatted through vprintf" has "nothing at /missing"
ask "" PATH_INFO=/ REQUEST_METHOD=DELETE
check "errors-c: 405" has "Status: 405 Method Not Allowed"
check "errors-c stops with status 0" stop

check "errors-cpp listens" start errors-cpp
ask "" QUERY_STRING=id=7
check "errors-cpp answers" has "item 7"
ask "" QUERY_STRING=x
check "errors-cpp: an exception before the first byte is a 500" \
    has "Status: 500 Internal Server Error"
check "errors-cpp stops with status 0" stop
check "errors-cpp: the exception's what() is in the log" grep -q "threw on a request from 127.0.0.1:[0-9]*: no id in 'x'" "$work/err"
finish_checks
