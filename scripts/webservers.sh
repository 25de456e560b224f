# webservers.sh -- sourced: starts the sample application servers and a web server with dostrel
# as its CGI program, all on 127.0.0.1, and stops everything again. Used by the demo, the
# web-server tests and, through tests/support/web_gateway.sh, the language test suites. Needs
# DOSTREL_BUILD (the build directory) and DOSTREL_EXAMPLES (the folder of the web-server
# configuration templates).

started_pids=()
started_groups=()

# A TCP port on 127.0.0.1 that nothing listens on: the wanted one if free, else one from a range.
free_port() {
    local port=${1:-0}
    if [ "$port" -ne 0 ] && ! (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then
        echo "$port"
        return
    fi
    # Below the kernel's range for ephemeral ports (32768 up), which concurrent clients and
    # port-0 listeners draw from.
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 12000))
        if ! (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    echo "no free port found" >&2
    return 1
}

# start_listening FILE COMMAND...: starts COMMAND, a server that prints "listening on
# 127.0.0.1:PORT" once it accepts connections (dostrel-rack: once it has loaded the
# application), and writes that port to FILE.
start_listening() {
    local portfile=$1 out
    shift
    out=$(mktemp)
    "$@" >"$out" &
    started_pids+=($!)
    for _ in $(seq 600); do
        grep -q '^listening on' "$out" && break
        kill -0 "${started_pids[-1]}" 2>/dev/null || break
        sleep 0.05
    done
    # Each port once, in order: a cluster's workers all print theirs, one server may print two.
    sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out" | awk '!seen[$0]++' >"$portfile"
    rm -f "$out"
    [ -s "$portfile" ]
}

# start_appserver NAME FILE: starts a sample application server and writes its port to FILE.
start_appserver() {
    start_listening "$2" "$DOSTREL_BUILD/dostrel-appserver" --port 0 --name "$1"
}

# install_gateway DIR CONFIG: puts dostrel into DIR with CONFIG as its dostrel.cnf.
install_gateway() {
    mkdir -p "$1"
    cp "$DOSTREL_BUILD/dostrel" "$1/dostrel"
    printf '%s' "$2" >"$1/dostrel.cnf"
    chmod 755 "$1" "$1/dostrel"
    chmod 644 "$1/dostrel.cnf"
}

# render_config KIND ROOT PORT: the configuration template of web server KIND, filled in.
render_config() {
    sed -e "s|@ROOT@|$2|g" -e "s|@PORT@|$3|g" "$DOSTREL_EXAMPLES/$1.conf"
}

# start_webserver KIND ROOT PORT: runs web server KIND (lighttpd, apache2 or nginx) in the
# foreground of a background job, serving ROOT/cgi-bin on 127.0.0.1:PORT; KIND-site (as
# lighttpd-site) puts the application at the site root.
start_webserver() {
    local kind=$1 root=$2 port=$3 conf=$2/$1.conf
    mkdir -p "$root/logs" "$root/htdocs"
    chmod 755 "$root" "$root/htdocs"
    render_config "$kind" "$root" "$port" >"$conf"
    if [ "$kind" != "${kind%-site}" ]; then
        kind=${kind%-site}
        # The site-root configurations of lighttpd and Apache take in the gateway's own.
        render_config "$kind" "$root" "$port" >"$root/$kind.conf"
        [ "$kind" = apache2 ] && install -m 644 "$DOSTREL_EXAMPLES/htaccess" "$root/htdocs/.htaccess"
    fi
    case "$kind" in
    lighttpd)
        lighttpd -D -f "$conf" 2>>"$root/logs/lighttpd-start.log" &
        started_pids+=($!)
        ;;
    apache2)
        chown www-data "$root/logs" 2>/dev/null || true
        # On shutdown Apache signals its whole process group: give it one of its own.
        setsid apache2 -f "$conf" -DFOREGROUND \
            </dev/null >/dev/null 2>>"$root/logs/apache2-start.log" &
        started_groups+=($!)
        ;;
    nginx)
        # fcgiwrap leaves its children running when it is stopped: give it a process group of
        # its own and stop the whole group.
        chown www-data "$root/logs"
        # fcgiwrap hands its own environment to every CGI program: start it with a clean one.
        setsid env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            runuser -u www-data -- fcgiwrap -c 16 -s "unix:$root/logs/fcgiwrap.sock" \
            </dev/null >/dev/null 2>>"$root/logs/fcgiwrap.log" &
        started_groups+=($!)
        nginx -c "$conf" -g 'daemon off;' 2>>"$root/logs/nginx-start.log" &
        started_pids+=($!)
        ;;
    *)
        echo "unknown web server $kind" >&2
        return 1
        ;;
    esac
    # The server answers, and it is ours: a server that could not bind has ended by then.
    # nginx answers before fcgiwrap listens, and answers 502 until it does: ask for the CGI
    # directory, which fcgiwrap itself refuses once it is up.
    local server=${started_pids[-1]} probe=/ code
    [ "$kind" = apache2 ] && server=${started_groups[-1]}
    [ "$kind" = nginx ] && probe=/cgi-bin/
    for _ in $(seq 100); do
        kill -0 "$server" 2>/dev/null || break
        code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port$probe") &&
            [ "$code" != 502 ] && kill -0 "$server" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "$kind did not start; its logs:" >&2
    cat "$root"/logs/*.log >&2
    return 1
}

# start_webserver_anywhere KIND ROOT: start_webserver on a free port, trying another one when
# the port was taken between the look and the bind; sets webserver_port.
start_webserver_anywhere() {
    local attempt pids groups pid
    for attempt in 1 2 3 4 5; do
        webserver_port=$(free_port) || return 1
        pids=${#started_pids[@]}
        groups=${#started_groups[@]}
        start_webserver "$1" "$2" "$webserver_port" 2>"$2/start-attempt.log" && return 0
        for pid in "${started_groups[@]:$groups}"; do kill -- "-$pid" 2>/dev/null; done
        for pid in "${started_pids[@]:$pids}" "${started_groups[@]:$groups}"; do
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        done
        started_pids=("${started_pids[@]:0:$pids}")
        started_groups=("${started_groups[@]:0:$groups}")
        rm -f "$2"/logs/*.sock
    done
    cat "$2/start-attempt.log" >&2
    return 1
}

# start_webserver_on_request KIND ROOT: start_webserver on the port DOSTREL_PORT names, failing
# with the reason when it is no port number or is taken; on a free port when it is unset. Sets
# webserver_port.
start_webserver_on_request() {
    local wanted=${DOSTREL_PORT:-}
    if [ -z "$wanted" ]; then
        start_webserver_anywhere "$1" "$2"
        return
    fi
    if ! [[ $wanted =~ ^[0-9]{1,5}$ ]] || [ "$wanted" -lt 1 ] || [ "$wanted" -gt 65535 ]; then
        echo "DOSTREL_PORT=$wanted is not a port number (1 to 65535)" >&2
        return 1
    fi
    if (exec 3<>/dev/tcp/127.0.0.1/"$wanted") 2>/dev/null; then
        echo "port $wanted (DOSTREL_PORT) is taken on 127.0.0.1; choose another" >&2
        return 1
    fi
    webserver_port=$wanted
    start_webserver "$1" "$2" "$wanted"
}

# stop_started: stops everything this shell started, and waits for it.
stop_started() {
    local pid
    for pid in "${started_groups[@]}"; do
        kill -- "-$pid" 2>/dev/null || true
    done
    for pid in "${started_pids[@]}" "${started_groups[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${started_pids[@]}" "${started_groups[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    started_pids=()
    started_groups=()
}

# serve_example ROOT COMMAND...: the examples' serve scripts. Starts COMMAND, an application
# server that prints "listening on 127.0.0.1:PORT" on standard output once it accepts
# connections (its standard error goes to ROOT/app.log), puts the gateway in ROOT/cgi-bin with
# every path going to it, and lighttpd in front (on DOSTREL_PORT when it is set, else on a free
# port); sets url. Shows the application's output and fails when it does not start.
serve_example() {
    local root=$1 app_port
    shift
    "$@" >"$root/app.out" 2>"$root/app.log" &
    started_pids+=($!)
    for _ in $(seq 600); do
        grep -q '^listening on' "$root/app.out" && break
        kill -0 "${started_pids[-1]}" 2>/dev/null || break
        sleep 0.05
    done
    app_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$root/app.out" | head -1)
    if [ -z "$app_port" ]; then
        echo "the application did not start:" >&2
        cat "$root/app.out" "$root/app.log" >&2
        return 1
    fi
    install_gateway "$root/cgi-bin" "# Every path goes to the example's application server.
link * tcp 127.0.0.1 $app_port
"
    start_webserver_on_request lighttpd "$root"
    url="http://127.0.0.1:$webserver_port/cgi-bin/dostrel/"
}

# serve_until_stopped: returns only when a server it started has ended on its own (status 1);
# SIGINT and SIGTERM run the caller's traps at once. The wait builtin, not a foreground command:
# bash runs those traps only once a foreground command has ended, but interrupts wait at once.
serve_until_stopped() {
    wait -n "${started_pids[@]}" || true
    # Ctrl-C reaches the servers too, and one that stops at once may end before this shell acts
    # on its own SIGINT; bash runs a trap still pending once a foreground command has ended.
    sleep 0.2
    echo "a server ended on its own; stopping the others" >&2
    return 1
}

# serve_guestbook ROOT: the guest-book examples, once serve_example has started them: with
# DOSTREL_DEMO_ONCE=1 signs the book once and prints the page and the application's log;
# otherwise serves until stopped.
serve_guestbook() {
    echo "Serving the guest book at $url"
    if [ "${DOSTREL_DEMO_ONCE:-}" = 1 ]; then
        echo "== curl -sS -L --data 'entry=hello from curl' ${url}sign"
        curl -sS -L -c "$1/cookies" -b "$1/cookies" --data 'entry=hello from curl' "${url}sign"
        echo
        echo "== the application's log"
        cat "$1/app.log"
        return 0
    fi
    echo "Open it in a browser; Ctrl-C stops the servers."
    echo "The application's log: $1/app.log"
    serve_until_stopped
}

# check_answers DIR WHO...: before anything is timed, each contender's answer from ${url[WHO]}
# must be DIR/WHO.expected (or DIR/hello.expected) byte for byte; a server may still be starting
# for up to 20 s. Counts them in checked; shows the logs in DIR/logs and fails on a difference.
check_answers() {
    local dir=$1 who expected
    shift
    for who in "$@"; do
        expected=$dir/$who.expected
        [ -e "$expected" ] || expected=$dir/hello.expected
        for _ in $(seq 200); do
            curl -s -o "$dir/$who.body" "${url[$who]}" && cmp -s "$expected" "$dir/$who.body" &&
                break
            sleep 0.1
        done
        if ! cmp -s "$expected" "$dir/$who.body"; then
            echo "the $who answer differs from what is expected; no timing" >&2
            cat "$dir/logs/"*.log >&2
            return 1
        fi
        checked=$((checked + 1))
    done
}
