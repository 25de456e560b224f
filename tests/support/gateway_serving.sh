# gateway_serving.sh -- sourced by the package tests: starts an application server and asks it
# through the installed gateway, run as a web server runs it. The caller sets work (a scratch
# folder) and stops what pids holds.
# shellcheck shell=bash disable=SC2154 # work is the caller's
pids=()

# serves NAME PATH LINE COMMAND...: starts COMMAND, a server printing "listening on
# 127.0.0.1:PORT" (sets port); a POST of "hello" to PATH (unless empty) through the installed
# gateway, run in a CGI directory whose dostrel.cnf sends everything to PORT, has LINE in its
# answer.
serves() {
    local name=$1 path=$2 line=$3
    shift 3
    port=""
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    for _ in $(seq 200); do
        port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/$name.out" 2>/dev/null)
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || { echo "$name did not start:" && cat "$work/$name.err"; return 1; }
    [ -n "$path" ] || return 0
    rm -rf "$work/cgi" && mkdir "$work/cgi"
    printf 'link * tcp 127.0.0.1 %s\n' "$port" >"$work/cgi/dostrel.cnf"
    (cd "$work/cgi" && printf 'hello' | env -i PATH_INFO="$path" CONTENT_LENGTH=5 \
        REQUEST_METHOD=POST /usr/lib/cgi-bin/dostrel) >"$work/answer"
    grep -qx "$line" "$work/answer" || { echo "answer from $path:"; cat "$work/answer"; return 1; }
}

# SIGTERM to the servers started here, SIGKILL to one still there after 10 s.
stop_servers() {
    local pid
    [ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null
    for pid in "${pids[@]}"; do
        for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pids=()
}
