#!/usr/bin/env bash
# package_test.sh SOURCE_DIR -- the Debian packages as an administrator and a developer use them.
# Builds them with dpkg-buildpackage from a scratch copy of the checkout, checks them with
# lintian, installs the gateway and the sample server, has Debian's own Apache CGI set-up answer
# through /etc/dostrel/dostrel.cnf, upgrades to a rebuilt higher version keeping an edited
# conffile, builds the C and C++ examples against the -dev package, serves a WSGI application
# with the Python package, serves from `npm pack`'s tarball and from an offline wheel, and
# purges all.
# It waits for the dpkg lock rather than failing on it, and leaves the machine as it found it:
# the packages purged, Apache stopped (or restarted as it was, when it was running before), and
# the module and configuration it enabled disabled again.
# Installs what it needs that is missing. Skipped (status 77) unless run as root, and when dostrel
# packages are installed already.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
# Debian's programs, not a user's own Python or Node in front of them.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C.UTF-8
packages=(dostrel dostrel-appserver libdostrel-appserver-dev python3-dostrel-wsgi)

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "needs root and dpkg: skipped"
    exit 77
fi
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv 'not-installed'; then
        echo "package $package is on this machine already; left alone: skipped"
        exit 77
    fi
done
. "$source_dir/scripts/packages.sh"
# The build dependencies of debian/control, and what the steps below run.
need_packages dpkg-dev debhelper cmake g++ make dh-python pybuild-plugin-pyproject python3 \
    python3-setuptools lintian apache2 curl pkg-config python3-venv python3-wheel nodejs
command -v npm >/dev/null || need_packages npm
(cd "$source_dir" && dpkg-checkbuilddeps) || exit 1

work=$(mktemp -d)
chmod 755 "$work"
check_prefix=""
. "$source_dir/tests/support/check.sh"
pids=()
set +u
. /etc/apache2/envvars
set -u
apache_was_running=no
pid=$(cat "$APACHE_PID_FILE" 2>/dev/null) && kill -0 "$pid" 2>/dev/null && apache_was_running=yes
apache_touched=no
# What Apache and the package's files look like before: compared once everything is undone.
machine_state() {
    find /etc/apache2 /var/lib/apache2 /usr/lib/cgi-bin /etc/dostrel \
        /etc/default/dostrel-appserver /usr/share/doc/dostrel /usr/include/dostrel \
        /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        -printf '%p %y %l\n' 2>/dev/null | sort
}
machine_state >"$work/state.before"

# dpkg, waiting up to ten minutes for the lock that another dpkg or apt holds, as apt-get's
# DPkg::Lock::Timeout does; bookworm's dpkg fails at once otherwise.
dpkg() {
    local status
    for _ in $(seq 600); do
        command dpkg "$@" 2>"$work/dpkg.err"
        status=$?
        grep -q 'locked by another process' "$work/dpkg.err" || break
        sleep 1
    done
    cat "$work/dpkg.err" >&2
    return $status
}

restore_apache() {
    [ "$apache_touched" = yes ] || return 0
    apache_touched=no
    [ "$cgid_was_enabled" = yes ] || a2dismod -q cgid >/dev/null
    [ "$cgi_conf_was_enabled" = yes ] || a2disconf -q serve-cgi-bin >/dev/null
    # a2enmod and a2dismod leave their record of the administrator's choice: not ours to keep.
    comm -13 <(grep -o '^/var/lib/apache2[^ ]*' "$work/state.before") \
        <(find /var/lib/apache2 | sort) | sort -r | xargs -r rm -d
    if [ "$apache_was_running" = yes ]; then
        apache2ctl restart
    else
        apache2ctl stop
        for _ in $(seq 200); do
            pid=$(cat "$APACHE_PID_FILE" 2>/dev/null) && kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
}
# Stops the servers this test started: SIGTERM, and SIGKILL for one still there after 10 s.
stop_servers() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pids=()
}
cleanup() {
    stop_servers
    restore_apache
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv 'not-installed' &&
            dpkg --purge "$package" >/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# start_server NAME COMMAND...: starts a server that prints "listening on 127.0.0.1:PORT" and
# sets server_port; pids keeps it for the clean-up.
start_server() {
    local name=$1
    shift
    : >"$work/$name.out"
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    server_port=""
    for _ in $(seq 200); do
        server_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/$name.out")
        [ -n "$server_port" ] && return 0
        sleep 0.05
    done
    echo "$name did not start:" && cat "$work/$name.err"
    return 1
}

# answers GATEWAY PORT PATH LINE: a POST of "hello" to PATH through GATEWAY, run as a web server
# would in a CGI directory of its own whose dostrel.cnf sends everything to PORT, is answered
# with LINE among the response's lines.
answers() {
    rm -rf "$work/cgi" && mkdir "$work/cgi"
    printf 'link * tcp 127.0.0.1 %s\n' "$2" >"$work/cgi/dostrel.cnf"
    (cd "$work/cgi" && printf 'hello' | env -i PATH_INFO="$3" CONTENT_LENGTH=5 \
        REQUEST_METHOD=POST "$1") >"$work/answer"
    grep -qx "$4" "$work/answer" || { echo "answer from $3:"; cat "$work/answer"; return 1; }
}

echo "# building the packages"
started=$(date +%s)
copy=$work/build/dostrel
mkdir -p "$copy"
# The files git knows (changes included), never the build folders of the checkout.
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        grep -zv '^build' | while IFS= read -r -d '' file; do
            [ -e "$file" ] && printf '%s\0' "$file"
        done | xargs -0 cp -P --parents -t "$copy/")
else
    tar -C "$source_dir" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$copy" -xf -
fi
cd "$copy" || exit 1
export DEB_BUILD_OPTIONS="parallel=2 nocheck"
{
dpkg-buildpackage -us -uc -b
} >"$work/build.log" 2>&1 || tail -40 "$work/build.log"
cd "$work/build" || exit 1
debs=()
for package in "${packages[@]}"; do
    check "package $package is built" compgen -G "${package}_1.0_*.deb"
    debs+=("${package}"_1.0_*.deb)
done
echo "# built in $(($(date +%s) - started)) s"

echo "# lintian on every binary package"
lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.out" 2>&1
status=$?
cat "$work/lintian.out"
check "lintian reports no error and no warning" test "$status" -eq 0

echo "# installing the gateway and the sample server"
cd "$copy" || exit 1
dpkg -i ../dostrel_1.0_*.deb ../dostrel-appserver_1.0_*.deb
check "the gateway is installed as a CGI program" test -x /usr/lib/cgi-bin/dostrel
check "its configuration is a conffile in /etc/dostrel" bash -c \
    "dpkg-query -W -f='\${Conffiles}' dostrel | grep -q '^ /etc/dostrel/dostrel.cnf '"
check "the gateway's directory links to it" \
    test "$(readlink -f /usr/lib/cgi-bin/dostrel.cnf)" = /etc/dostrel/dostrel.cnf
check "its only active line sends every path to 127.0.0.1:9000" \
    test "$(grep -v -e '^#' -e '^ *$' /etc/dostrel/dostrel.cnf)" = "link *      tcp 127.0.0.1 9000"
check "dostrel-check finds it clean" dostrel-check /etc/dostrel/dostrel.cnf
for page in man8/dostrel.8 man8/dostrel-check.8 man5/dostrel.cnf.5 man1/dostrel-appserver.1; do
    check "manual page $page is installed compressed" test -f "/usr/share/man/$page.gz"
done
check "the README's document links lead to installed files" bash -c "cd /usr/share/doc/dostrel &&
    grep -o '](docs/[^)]*)' README.md | tr -d '()]' | xargs -n1 test -f"
check "the sample server's unit is installed" test -f /lib/systemd/system/dostrel-appserver.service
check "and not enabled" test ! -e \
    /etc/systemd/system/multi-user.target.wants/dostrel-appserver.service
check "its options are in /etc/default" \
    grep -q '^DOSTREL_APPSERVER_OPTIONS=' /etc/default/dostrel-appserver
if command -v systemd-analyze >/dev/null; then
    check "systemd finds the unit sound" \
        systemd-analyze verify /lib/systemd/system/dostrel-appserver.service
fi
# documented: every option that the installed server's usage names, in its manual page and in
# the service's options file.
options_documented() {
    local option missing=0 page usage
    page=$(zcat /usr/share/man/man1/dostrel-appserver.1.gz | sed 's/\\-/-/g')
    usage=$(dostrel-appserver --help 2>&1 | grep -v '^dostrel-appserver:')
    for option in $(grep -o -- '--[a-z-]*' <<<"$usage" | sort -u); do
        grep -q -- "$option" <<<"$page" ||
            { echo "$option is not in the manual page"; missing=1; }
        [ "$option" = --record ] || [ "$option" = --print-pattern ] ||
            grep -q -- "$option" /etc/default/dostrel-appserver ||
            { echo "$option is not in /etc/default/dostrel-appserver"; missing=1; }
    done
    return $missing
}
check "every option of the sample server is documented" options_documented

echo "# Apache with Debian's CGI set-up answers through /etc/dostrel/dostrel.cnf"
start_server appserver /usr/bin/dostrel-appserver --port 0 --workers 2 --name packaged
# The administrator's edit: the server is where this test could start it.
conffile=/etc/dostrel/dostrel.cnf
sed -i "s/^link \*  *tcp 127.0.0.1 9000$/link * tcp 127.0.0.1 $server_port/" "$conffile"
cp "$conffile" "$work/edited.cnf"
check "the conffile is edited" grep -qx "link \* tcp 127.0.0.1 $server_port" "$conffile"
cgid_was_enabled=no
[ -e /etc/apache2/mods-enabled/cgid.load ] && cgid_was_enabled=yes
cgi_conf_was_enabled=no
[ -e /etc/apache2/conf-enabled/serve-cgi-bin.conf ] && cgi_conf_was_enabled=yes
if [ "$apache_was_running" = no ] && (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
    echo "port 80 is taken by another program: Apache cannot start there"
fi
apache_touched=yes
a2enmod cgid
a2enconf -q serve-cgi-bin >/dev/null
# mod_cgid starts its daemon on a full start or restart only, not on a graceful one.
if [ "$apache_was_running" = yes ]; then apache2ctl restart; else apache2ctl start; fi
# ask_apache: a POST to /cgi-bin/dostrel/hello is answered by the sample server; asked again for
# up to 10 s while Apache comes up.
ask_apache() {
    local started=$SECONDS
    while :; do
        curl -s -i --max-time 30 --data-binary 'abc' "http://127.0.0.1/cgi-bin/dostrel/hello?keys" |
            tr -d '\r' >"$work/apache.out"
        grep -qx 'X-Appserver: packaged' "$work/apache.out" &&
            grep -qx 'PATH_INFO=/hello' "$work/apache.out" && return 0
        [ $((SECONDS - started)) -lt 10 ] || break
        sleep 0.1
    done
    echo "Apache's answer:" && cat "$work/apache.out" && tail -5 "$APACHE_LOG_DIR/error.log"
    return 1
}
check "Apache answers /cgi-bin/dostrel/hello through the installed gateway" ask_apache
check "the answer carries the request's body length" grep -qx 'CONTENT_LENGTH=3' "$work/apache.out"

echo "# a rebuilt package of a higher version keeps the edited conffile"
# The same source with a changelog entry on top, rebuilt without cleaning: only the version
# differs, and the compiled programs are reused.
maintainer=$(sed -n 's/^ -- \(.*>\)  .*$/\1/p' debian/changelog | head -1)
{ printf 'dostrel (1.0+upgrade1) unstable; urgency=medium\n\n  * Rebuilt to try an upgrade.\n\n'
  printf ' -- %s  %s\n\n' "$maintainer" "$(date -R)"
  cat debian/changelog; } >"$work/changelog" && mv "$work/changelog" debian/changelog
dpkg-buildpackage -us -uc -b -nc >"$work/rebuild.log" 2>&1 || tail -40 "$work/rebuild.log"
dpkg -i ../dostrel_1.0+upgrade1_*.deb ../dostrel-appserver_1.0+upgrade1_*.deb
check "the higher version is installed" \
    test "$(dpkg-query -W -f='${Version}' dostrel)" = 1.0+upgrade1
check "the edit survived the upgrade" cmp "$work/edited.cnf" /etc/dostrel/dostrel.cnf
check "without a .dpkg-dist or .dpkg-old beside it" test -z "$(find /etc/dostrel -name '*.dpkg-*')"
check "Apache still answers through it" ask_apache
restore_apache

echo "# libdostrel-appserver-dev builds the C and C++ examples with pkg-config"
dpkg -i ../libdostrel-appserver-dev_1.0_*.deb
check "pkg-config finds it in the multiarch directory" test -f \
    "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/dostrel-appserver.pc"
check "so does the cross-build pkg-config of this architecture" \
    "$(dpkg-architecture -qDEB_HOST_GNU_TYPE)-pkg-config" --exists dostrel-appserver
flags=$(pkg-config --cflags --libs dostrel-appserver)
check "which adds no system directory to the compiler's: $flags" \
    bash -c "[[ ' $flags' != *' -I'* && ' $flags' != *' -L'* ]]"
check "every header is installed" bash -c "cd '$copy/appserver/include/dostrel' &&
    for h in *; do cmp \"\$h\" \"/usr/include/dostrel/\$h\" || exit 1; done"
# The first C and the first C++ example of the library's document, as its reader builds them.
for lang in c cpp; do
    awk -v tag='```'$lang '$0 == tag && !done {inside = 1; next}
        /^```$/ && inside {inside = 0; done = 1} inside' \
        "$copy/docs/appserver-c.md" >"$work/hello.$lang"
done
# shellcheck disable=SC2046
check "the C example builds with cc and pkg-config, warnings as errors" \
    cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/hello" "$work/hello.c" \
    $(pkg-config --cflags --libs dostrel-appserver)
# shellcheck disable=SC2046
check "so does the C++ example with c++" \
    c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -x c++ -o "$work/hello-cpp" "$work/hello.cpp" \
    $(pkg-config --cflags --libs dostrel-appserver)
start_server c-example "$work/hello" 0
check "the C example answers through the installed gateway" \
    answers /usr/lib/cgi-bin/dostrel "$server_port" /c 'Hello from /c'
start_server cpp-example "$work/hello-cpp" 0
check "the C++ example answers too" \
    answers /usr/lib/cgi-bin/dostrel "$server_port" /cpp 'Hello from /cpp'

echo "# python3-dostrel-wsgi serves a WSGI application"
dpkg -i ../python3-dostrel-wsgi_1.0_all.deb
mkdir "$work/wsgi"
cat >"$work/wsgi/hello.py" <<'EOF'
def app(environ, start_response):
    body = environ["wsgi.input"].read()
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"WSGI at %s got %s\n" % (environ["PATH_INFO"].encode(), body)]
EOF
start_server wsgi /usr/bin/dostrel-wsgi --bind 127.0.0.1:0 --chdir "$work/wsgi" hello:app
check "the packaged dostrel-wsgi answers through the installed gateway" \
    answers /usr/lib/cgi-bin/dostrel "$server_port" /py 'WSGI at /py got hello'

echo "# npm pack's tarball installs into a fresh folder and serves"
cd "$copy" || exit 1
# The package has no dependencies: nothing to fetch.
export npm_config_offline=true npm_config_audit=false npm_config_fund=false
export npm_config_update_notifier=false
(cd node && npm pack)
mkdir "$work/node-app" && cp node/dostrel-1.0.0.tgz "$work/node-app/" && cd "$work/node-app" || exit 1
npm install ./dostrel-1.0.0.tgz
cat >app.js <<'EOF'
const { createServer } = require('dostrel');
const server = createServer((req, res) => res.end(`Node at ${req.url}\n`));
server.listen(0, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
EOF
start_server node node app.js
check "it answers through the installed gateway" \
    answers /usr/lib/cgi-bin/dostrel "$server_port" /js 'Node at /js'

echo "# a wheel made offline installs into a fresh venv"
cd "$copy" || exit 1
/usr/bin/python3 -m venv --system-site-packages build-venv
build-venv/bin/pip wheel --no-index --no-build-isolation --wheel-dir dist ./python
/usr/bin/python3 -m venv venv
venv/bin/pip install --no-index dist/dostrel_wsgi-1.0-py3-none-any.whl
start_server venv-wsgi venv/bin/dostrel-wsgi --bind 127.0.0.1:0 --chdir "$work/wsgi" hello:app
check "the venv's dostrel-wsgi answers through the installed gateway" \
    answers /usr/lib/cgi-bin/dostrel "$server_port" /wheel 'WSGI at /wheel got hello'

echo "# dpkg --purge removes everything"
stop_servers
dpkg --purge "${packages[@]}"
for path in /etc/dostrel /usr/lib/cgi-bin/dostrel /usr/lib/cgi-bin/dostrel.cnf \
    /usr/bin/dostrel-wsgi /etc/default/dostrel-appserver \
    /lib/systemd/system/dostrel-appserver.service /usr/include/dostrel; do
    check "purged $path" test ! -e "$path"
done
machine_state >"$work/state.after"
check "Apache's configuration and the file system are as before" \
    diff "$work/state.before" "$work/state.after"
if [ "$apache_was_running" = no ]; then
    check "Apache is stopped again" bash -c "! curl -s -o /dev/null --max-time 2 http://127.0.0.1/"
fi

echo "# $(($(date +%s) - started)) s in all"
finish_checks
