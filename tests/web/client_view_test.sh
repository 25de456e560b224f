#!/usr/bin/env bash
# client_view_test.sh BUILD_DIR SOURCE_DIR -- what an HTTP client sees of an answer that the
# application server cut short with a reset, through lighttpd (collecting the answer first, and
# streaming it), Apache and nginx with fcgiwrap. It measures every cell of the table in
# docs/protocol.md ("What the client sees of a cut answer"), prints the measured table, and fails
# when the document says otherwise.
set -uo pipefail
export DOSTREL_BUILD=$1 PATH=$PATH:/usr/sbin
source_dir=$2
. "$source_dir/scripts/webservers.sh"

for binary in lighttpd apache2 nginx fcgiwrap python3 curl; do
    command -v "$binary" >/dev/null || { echo "$binary is not installed: skipped"; exit 77; }
done

root=$(mktemp -d)
trap 'stop_started; rm -rf "$root"' EXIT
check_prefix="client view: "
. "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"
mkdir -p "$root/signals" "$root/buffered"
chmod 755 "$root"

# The shipped configurations, and lighttpd's as it is by default: collecting the answer first.
shipped=$source_dir/examples/webservers
sed 's/^\( *server.stream-response-body =\) 2$/\1 0/' "$shipped/lighttpd.conf" \
    >"$root/buffered/lighttpd.conf"
check "the buffered lighttpd configuration differs from the shipped one in that line only" \
    test "$(diff "$shipped/lighttpd.conf" "$root/buffered/lighttpd.conf" | grep -c '^[<>]')" = 2

# cell ROW AT LENGTH: one cut answer through the web server at $base, as
# "STATUS / BODY / CURL_EXIT". The client tells the application (by the file it waits for) once
# it has seen what was sent before the cut, so the cut comes after what the client could see.
cell() {
    local id="$1-$2-$3" file=$root/cell-$1-$2-$3 client status bytes code
    curl -sSN -D "$file.head" -o "$file" -w '%{http_code} %{size_download}' --max-time 120 \
        "$base/cut?at=$2&length=$3&id=$id" >"$file.w" 2>"$file.err" &
    client=$!
    # Seen: the head has ended (an empty line), and for "part" some of the body has come.
    for _ in $(seq 1500); do
        [ "$2" != nothing ] && kill -0 "$client" 2>/dev/null || break
        if [ -f "$file.head" ] && tr -d '\r' <"$file.head" | grep -q '^$' &&
            { [ "$2" = head ] || [ -s "$file" ]; }; then
            touch "$root/signals/$id.seen" && break
        fi
        sleep 0.02
    done
    wait "$client"
    code=$?
    read -r status bytes <"$file.w"
    grep -qs 'Brennox Error' "$file" && bytes="error page"
    echo "$status / $bytes / $code"
}

labels=("lighttpd buffered" "lighttpd streamed" "Apache" "nginx with fcgiwrap")
kinds=(lighttpd-buffered lighttpd apache2 nginx)
measured=()
started=$SECONDS
for row in 0 1 2 3; do
    kind=${kinds[$row]}
    web=$root/$kind
    start_listening "$root/app-port" python3 "$source_dir/tests/web/intent_app.py" \
        "$root/signals" || exit 1
    install_gateway "$web/cgi-bin" "link * tcp 127.0.0.1 $(cat "$root/app-port")
"
    export DOSTREL_EXAMPLES=$shipped
    [ "$kind" = lighttpd-buffered ] && DOSTREL_EXAMPLES=$root/buffered
    start_webserver_anywhere "${kind%-buffered}" "$web" || exit 1
    base="http://127.0.0.1:$webserver_port/cgi-bin/dostrel"
    line="| ${labels[$row]} |"
    for cut in "nothing declared" "head declared" "head none" "part declared" "part none"; do
        # shellcheck disable=SC2086
        line="$line $(cell "$kind" $cut) |"
    done
    measured+=("$line")
    errors=$(cat "$web"/logs/*.log | grep -c 'error 11')
    check "${labels[$row]}: every cut answer left its error 11 line in the logs ($errors of 5)" \
        test "$errors" = 5
    stop_started
done
echo "measured in $((SECONDS - started)) s (the application waits up to 5 s for a client that sees" \
    "nothing yet; lighttpd holds a connection cut short open until its keep-alive idle time):"
printf '%s\n' "${measured[@]}"

documented=$(grep -E '^\| (lighttpd buffered|lighttpd streamed|Apache|nginx with fcgiwrap) \|' \
    "$source_dir/docs/protocol.md")
check "docs/protocol.md carries the measured table" test "$documented" = "$(printf '%s\n' "${measured[@]}")"
[ "$failed" -eq 0 ] || printf 'docs/protocol.md says:\n%s\n' "$documented"
finish_checks
