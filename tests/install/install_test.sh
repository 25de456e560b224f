#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR [CFLAGS] -- installs the build into a scratch prefix and
# builds every example of docs/appserver-c.md against that copy, found through pkg-config: the C
# ones with cc -std=c99, the C++ ones with c++ -std=c++17, warnings as errors, linked to the
# shared library. Each example then answers a request through the gateway and stops on SIGTERM
# with status 0. The greeter is built once more through CMake's find_package, the static library
# links into a shared object, and the soname, the exports and the version are checked.
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
    declare -F stop_started >/dev/null && stop_started
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
libdir=$(dirname "$library")
check "static library installed" test -n "$library"
check "pkg-config file installed beside it" test "$libdir/pkgconfig/dostrel-appserver.pc" = "$pc"
check "shared library installed with its soname link" test -L "$libdir/libdostrel_appserver.so.1"
check "the soname is libdostrel_appserver.so.1" eval "objdump -p '$libdir/libdostrel_appserver.so' |
    grep -q 'SONAME *libdostrel_appserver.so.1\$'"
check "the shared library exports dostrel_ functions only" test -z "$(nm -D --defined-only \
    "$libdir/libdostrel_appserver.so" | awk '$2 != "A" && $3 !~ /^dostrel_/')"
export PKG_CONFIG_PATH=$(dirname "$pc") LD_LIBRARY_PATH=$libdir
# Each listing is read whole before grep looks at it: under pipefail, "lister | grep -q" fails
# whenever grep stops reading before the lister's last write (ldd writes a line at a time).
check "pkg-config --static adds the C++ runtime" eval \
    'grep -q -- -lstdc++ <<<"$(pkg-config --static --libs dostrel-appserver)"'
check "pkg-config names the installed header's folder" \
    test "$(pkg-config --variable=includedir dostrel-appserver | xargs realpath)" = \
    "$(realpath "$work/prefix/include")"

# Every C and C++ block of the document that opens with its file name ("/* NAME.c --" or
# "// NAME.cc --") is an example, written to that file.
mkdir "$work/examples"
awk -v dir="$work/examples" '
    /^```(c|cpp)$/ { inside = 1; file = ""; getline
        if (match($0, /^(\/\*|\/\/) [a-z_]+\.(c|cc) --/)) file = dir "/" substr($0, 4, RLENGTH - 6) }
    inside && /^```$/ { inside = 0; if (file != "") close(file); next }
    inside && file != "" { print >file }' "$source_dir/docs/appserver-c.md"
examples=$(cd "$work/examples" && echo *)
check "the document has the C and C++ examples: $examples" test "$examples" = \
    "errors.c errors.cc events.c events.cc hello.c hello.cc hooks.c hooks.cc own_loop.c own_loop.cc threads.c threads.cc upload.c upload.cc"

cd "$work/examples" || exit 1
flags=$(pkg-config --cflags --libs dostrel-appserver)
# shellcheck disable=SC2086
if [ -z "$extra_flags" ]; then # the document's commands, as they stand there
    cc -o hello hello.c $(pkg-config --cflags --libs dostrel-appserver)
    c++ -std=c++17 -o hello-cpp hello.cc $(pkg-config --cflags --libs dostrel-appserver)
    check "the document's build commands make both greeters" test -x hello -a -x hello-cpp
fi
for example in $examples; do
    case $example in
    *.c) compile=(cc -std=c99) binary=${example%.c}-c ;;
    *.cc) compile=(c++ -std=c++17) binary=${example%.cc}-cpp ;;
    esac
    # shellcheck disable=SC2086
    check "$example builds with warnings as errors" "${compile[@]}" -Wall -Wextra -Wpedantic \
        -Werror -pthread $extra_flags -o "$binary" "$example" $flags
done

libraries=$(ldd hello-c 2>&1)
check "hello-c is linked to the shared library" eval \
    'grep -q libdostrel_appserver.so.1 <<<"$libraries" || { echo "$libraries"; false; }'

# The version the header gives is the one the library reports.
printf '%s\n' '#include <dostrel/appserver.h>' '#include <stdio.h>' '#include <string.h>' \
    'int main(void) { puts(dostrel_appserver_version());' \
    '    return strcmp(dostrel_appserver_version(), DOSTREL_APPSERVER_VERSION) != 0; }' >version.c
# shellcheck disable=SC2086
cc -std=c99 -Wall -Werror $extra_flags -o version version.c $flags
check "the library's version is the header's: $(./version)" ./version
check "the pkg-config module has that version" test "$(pkg-config --modversion dostrel-appserver)" = "$(./version)"

# The static library goes into a shared object (it is position-independent).
# shellcheck disable=SC2086
check "the static library links into a shared object" cc -shared -fPIC $extra_flags -o libhello.so \
    hello.c "$library" $(pkg-config --cflags dostrel-appserver) -lstdc++ -lm

# The greeter through CMake's find_package, as a CMake user builds it.
if command -v cmake >/dev/null; then
    mkdir "$work/cmake-user"
    cp hello.c "$work/cmake-user/"
    printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(greeter C)' \
        'find_package(dostrel-appserver 1 REQUIRED)' 'add_executable(hello hello.c)' \
        'target_link_libraries(hello PRIVATE dostrel::appserver)' >"$work/cmake-user/CMakeLists.txt"
    cmake -S "$work/cmake-user" -B "$work/cmake-user/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_C_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" \
        >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake-user/build" >>"$work/cmake.log" 2>&1
    check "find_package(dostrel-appserver) builds the greeter" cp "$work/cmake-user/build/hello" hello-cmake ||
        cat "$work/cmake.log"
fi

# start BINARY: runs the example on a free port, with a dostrel.cnf pointing the gateway at it.
start() {
    rm -f "$work/out" # the last example's line would pass for this one's
    "./$1" 0 >"$work/out" 2>"$work/err" &
    server=$!
    for _ in $(seq 600); do
        port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out" 2>/dev/null)
        [ -n "$port" ] && break
        sleep 0.05
    done
    printf 'link * tcp 127.0.0.1 %s\n' "$port" >dostrel.cnf
    check "$1 listens" test -n "$port" || cat "$work/out" "$work/err"
}
# ask INPUT VARIABLE=VALUE...: one request through the gateway; its output in $work/response.
ask() {
    printf '%s' "$1" | env -i "${@:2}" "$build/dostrel" >"$work/response"
}
# stop BINARY: SIGTERM, which it ends with status 0.
stop() {
    kill -TERM "$server"
    wait "$server"
    check "$1 stops on SIGTERM with status 0" test $? -eq 0
    server=""
}
# has PATTERN...: the last answer has a line matching each.
has() {
    local pattern
    for pattern; do grep -Eq -- "$pattern" "$work/response" || return 1; done
}
# serve BINARY INPUT 'VARIABLE=VALUE ...' PATTERN...: starts the example, asks it one request,
# checks that the answer has a line matching each PATTERN, and stops it.
serve() {
    start "$1"
    # shellcheck disable=SC2086
    ask "$2" $3
    check "$1 answers: ${*:4}" has "${@:4}"
    stop "$1"
}

# The events example behind lighttpd (the shipped configuration, which relays answers as they
# come) with the gateway as its CGI program: each event reaches the HTTP client when it is
# flushed, so the first comes at least the server's two 100 ms pauses before the third.
if command -v lighttpd >/dev/null && command -v curl >/dev/null; then
    export DOSTREL_BUILD=$build DOSTREL_EXAMPLES=$source_dir/examples/webservers
    . "$source_dir/scripts/webservers.sh"
    start events-c
    install_gateway "$work/web/cgi-bin" "$(cat dostrel.cnf)"
    start_webserver_anywhere lighttpd "$work/web"
    curl -sN --max-time 30 "http://127.0.0.1:$webserver_port/cgi-bin/dostrel/events" |
        while IFS= read -r line; do echo "$(date +%s%N) $line"; done | tee "$work/timed"
    stop_started
    stop events-c
    first=$(awk '$3 == "tick" && $4 == 1 { print $1 }' "$work/timed")
    third=$(awk '$3 == "tick" && $4 == 3 { print $1 }' "$work/timed")
    echo "tick 1 to tick 3 through lighttpd: $(((${third:-0} - ${first:-0}) / 1000000)) ms"
    check "events through lighttpd: each arrives when it is flushed, not all at the end" \
        test -n "$first" -a -n "$third" -a $((${third:-0} - ${first:-0})) -ge 150000000
else
    echo "no lighttpd or curl: the events are not checked through a web server"
fi

for kind in c cpp; do
    serve "hello-$kind" hello "PATH_INFO=/installed CONTENT_LENGTH=5" '^Status: 200 OK$' \
        '^Content-Type: text/plain; charset=utf-8$' '^Hello from /installed$' '^hello$'
    check "hello-$kind: nothing in its log" test ! -s "$work/err"
    serve "upload-$kind" $'one\ntwo\nsix\n' "REQUEST_METHOD=POST CONTENT_LENGTH=12 PATH_INFO=/up" \
        "^received 12 bytes, 3 lines of 12 announced"
    serve "events-$kind" "" PATH_INFO=/events '^Content-Type: text/event-stream$' \
        '^data: tick 1$' '^data: tick 2$' '^data: tick 3$'
    rm -f journal-*.log
    serve "hooks-$kind" "" PATH_INFO=/journal '^worker [0-9]+, request 1$'
    check "hooks-$kind: each of two workers started and ended" test \
        "$(grep -c '^worker [0-9]* ready$' "$work/err") $(grep -c '^worker [0-9]* done after [01] requests$' "$work/err")" = "2 2"
    check "hooks-$kind: the worker that answered journaled the path" grep -qx /journal journal-*.log
    serve "own_loop-$kind" "" PATH_INFO=/own '^thread [0-3] answers /own$'
    check "own_loop-$kind: nothing in its log" test ! -s "$work/err"
    serve "threads-$kind" "" PATH_INFO=/wait "waited 20 ms"
done

if [ -x hello-cmake ]; then
    serve hello-cmake hello "PATH_INFO=/cmake CONTENT_LENGTH=5" '^Hello from /cmake$' '^hello$'
fi
serve errors-c "" "PATH_INFO=/missing REQUEST_METHOD=GET" "Status: 404 Not Found" "nothing at /missing"
serve errors-c "" "PATH_INFO=/ REQUEST_METHOD=DELETE" "Status: 405 Method Not Allowed"
serve errors-cpp "" QUERY_STRING=id=7 "item 7"
serve errors-cpp "" QUERY_STRING=x "Status: 500 Internal Server Error" # an exception, before any byte
check "errors-cpp: the exception's what() is in the log" grep -q ": no id in 'x'" "$work/err"
finish_checks
