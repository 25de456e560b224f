#!/usr/bin/env bash
# python.sh [--smoke] -- one hello-world WSGI application served four ways, measured with wrk
# (-t2 -c4) in interleaved rounds, the median of the rounds reported:
#   cgi       lighttpd runs it as a CGI script (wsgiref.handlers.CGIHandler), a Python per request
#   dostrel   lighttpd runs the gateway, which forwards to dostrel-wsgi (2 workers)
#   sample    lighttpd runs the gateway, which forwards to the C++ sample server (dostrel-appserver)
#   gunicorn  nginx as a reverse proxy in front of gunicorn (2 workers), no CGI at all
# Every contender's response body is checked before it is timed. Everything listens on
# 127.0.0.1 and is stopped at the end. --smoke: one short round, to check that it all works.
# DOSTREL_BUILD=DIR uses an existing build of the gateway.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages g++ cmake make wrk lighttpd nginx gunicorn curl python3 python3-venv \
    python3-pip-whl python3-setuptools-whl python3-setuptools python3-wheel
smoke=0
[ "${1:-}" = --smoke ] && smoke=1
use_gateway_build
. scripts/webservers.sh
if [ $smoke = 1 ]; then rounds=1 seconds=1; else rounds=5 seconds=5; fi

work=$(mktemp -d)
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/cgi-bin/sample" "$work/logs"
install_wsgi_server "$work"

cat >"$work/app/hello.py" <<'PY'
def app(environ, start_response):
    body = b"Hello, world!\n"
    start_response("200 OK", [("Content-Type", "text/plain"),
                              ("Content-Length", str(len(body)))])
    return [body]
PY
cat >"$work/cgi-bin/hello.cgi" <<PY
#!/usr/bin/python3
import sys
sys.path.insert(0, "$work/app")
from wsgiref.handlers import CGIHandler
from hello import app
CGIHandler().run(app)
PY
chmod 755 "$work/cgi-bin/hello.cgi"

# dostrel-wsgi, gunicorn and the sample server, each on a port of its own.
start_listening "$work/wsgi-port" "$work/venv/bin/dostrel-wsgi" --bind 127.0.0.1:0 --workers 2 \
    --chdir "$work/app" --access-log "$work/logs/wsgi-access.log" hello:app \
    2>>"$work/logs/servers.log"
wsgi_port=$(cat "$work/wsgi-port")
start_appserver bench "$work/sample-port" 2>>"$work/logs/servers.log"
gunicorn_port=$(free_port)
(cd "$work/app" && exec gunicorn --workers 2 --bind "127.0.0.1:$gunicorn_port" \
    --access-logfile "$work/logs/gunicorn-access.log" hello:app 2>>"$work/logs/servers.log") &
started_pids+=($!)
install_gateway "$work/cgi-bin" "link * tcp 127.0.0.1 $wsgi_port
"
install_gateway "$work/cgi-bin/sample" "link * tcp 127.0.0.1 $(cat "$work/sample-port")
"
start_webserver_anywhere lighttpd "$work" || exit 1
lighttpd_port=$webserver_port
nginx_port=$(free_port)
cat >"$work/nginx.conf" <<NGINX
worker_processes 1;
pid $work/logs/nginx.pid;
error_log $work/logs/nginx-error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $work/logs;
    proxy_temp_path $work/logs;
    upstream app { server 127.0.0.1:$gunicorn_port; }
    server {
        listen 127.0.0.1:$nginx_port;
        location / { proxy_pass http://app; proxy_set_header Host \$host; }
    }
}
NGINX
nginx -c "$work/nginx.conf" -g 'daemon off;' 2>>"$work/logs/servers.log" &
started_pids+=($!)

declare -A url=(
    [cgi]="http://127.0.0.1:$lighttpd_port/cgi-bin/hello.cgi"
    [dostrel]="http://127.0.0.1:$lighttpd_port/cgi-bin/dostrel/hello"
    [sample]="http://127.0.0.1:$lighttpd_port/cgi-bin/sample/dostrel/hello?bytes=14"
    [gunicorn]="http://127.0.0.1:$nginx_port/hello"
)
contenders=(cgi dostrel sample gunicorn)
printf 'Hello, world!\n' >"$work/hello.expected"
"$DOSTREL_BUILD/dostrel-appserver" --print-pattern 14 >"$work/sample.expected"
checked=0
check_answers "$work" "${contenders[@]}"

results=$work/results
: >"$results"
for round in $(seq $rounds); do
    order=("${contenders[@]}")
    [ $((round % 2)) = 0 ] && order=(gunicorn sample dostrel cgi)
    for who in "${order[@]}"; do
        wrk -t2 -c4 -d${seconds}s "${url[$who]}" >"$work/wrk.out"
        if grep -q -e 'Non-2xx' -e 'Socket errors' "$work/wrk.out"; then
            echo "$who: failed requests during the run" >&2
            cat "$work/wrk.out" >&2
            exit 1
        fi
        echo "$who $(awk '/^Requests\/sec/ {print $2}' "$work/wrk.out")" >>"$results"
    done
done
median() {
    awk -v c="$1" '$1 == c {print $2}' "$results" | sort -g |
        awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
cgi=$(median cgi) dostrel=$(median dostrel) sample=$(median sample) gunicorn=$(median gunicorn)
echo
echo "dostrel-wsgi benchmark: $(nproc) cores, $(uname -sr), $rounds round(s) of ${seconds}s," \
    "wrk -t2 -c4, outputs checked: $checked"
echo
echo "| contender | requests per second | dostrel-wsgi's rate is |"
echo "|---|---|---|"
printf '| (a) CGI script, wsgiref CGIHandler, lighttpd | %.0f | %s times this |\n' \
    "$cgi" "$(ratio "$dostrel" "$cgi")"
printf '| (b) gateway + dostrel-wsgi, lighttpd | %.0f | |\n' "$dostrel"
printf '| (c) gateway + C++ sample server, lighttpd | %.0f | %s of this |\n' \
    "$sample" "$(ratio "$dostrel" "$sample")"
printf '| (d) gunicorn behind nginx (no CGI) | %.0f | %s of this |\n' \
    "$gunicorn" "$(ratio "$dostrel" "$gunicorn")"
[ -n "${DOSTREL_BENCH_RESULTS:-}" ] && cp "$results" "$DOSTREL_BENCH_RESULTS"
exit 0
