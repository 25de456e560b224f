#!/usr/bin/env bash
# package_test.sh SOURCE_DIR -- the Debian packages as an administrator and a developer use them:
# built from a scratch copy of the checkout, lintian-clean, installed, answering through Debian's
# own Apache CGI set-up and /etc/dostrel/dostrel.cnf, upgraded keeping an edited conffile, the
# -dev package building the C example, the Python package, `npm pack`'s tarball and an
# offline wheel serving, and all purged. Waits for the dpkg lock; leaves the machine as it found
# it (Apache stopped or restarted as it was, its module and configuration as they were).
# Skipped (77) unless run as root, and when dostrel packages are installed already.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
packages=(dostrel dostrel-appserver libdostrel-appserver1 libdostrel-appserver-dev python3-dostrel-wsgi)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -qv 'not-installed'; }

[ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null || { echo "needs root, dpkg: skipped"; exit 77; }
for package in "${packages[@]}"; do
    installed "$package" && { echo "$package is installed already; left alone: skipped"; exit 77; }
done
. "$source_dir/scripts/packages.sh"
need_packages dpkg-dev debhelper cmake g++ make musl-tools dh-python pybuild-plugin-pyproject python3 \
    python3-setuptools lintian apache2 curl pkg-config python3-venv python3-wheel nodejs
command -v npm >/dev/null || need_packages npm
(cd "$source_dir" && dpkg-checkbuilddeps) || exit 1

work=$(mktemp -d)
chmod 755 "$work"
. "$source_dir/tests/support/check.sh"
pids=()
set +u && . /etc/apache2/envvars && set -u
apache_running() { pid=$(cat "$APACHE_PID_FILE" 2>/dev/null) && kill -0 "$pid" 2>/dev/null; }
apache_was_running=$(apache_running && echo yes || echo no)
apache_touched=no
machine_state() {
    find /etc/apache2 /var/lib/apache2 /usr/lib/cgi-bin /etc/dostrel \
        /etc/default/dostrel-appserver /usr/share/doc/dostrel /usr/include/dostrel \
        /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        -printf '%p %y %l\n' 2>/dev/null | sort
}
machine_state >"$work/state.before"

# Bookworm's dpkg fails at once on the lock another dpkg or apt holds: wait up to ten minutes.
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
    if [ "$apache_was_running" = yes ]; then apache2ctl restart; else
        apache2ctl stop
        for _ in $(seq 200); do apache_running || break; sleep 0.05; done
    fi
}
# SIGTERM to the servers this test started, SIGKILL to one still there after 10 s.
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
cleanup() {
    stop_servers
    restore_apache
    for package in "${packages[@]}"; do installed "$package" && dpkg --purge "$package"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# serves NAME PATH LINE COMMAND...: starts COMMAND, a server printing "listening on
# 127.0.0.1:PORT" (sets port); a POST of "hello" to PATH (unless empty) through the installed
# gateway, run as a web server would in a CGI directory whose dostrel.cnf sends everything to
# PORT, has LINE in its answer.
serves() {
    local name=$1 path=$2 line=$3
    shift 3
    port=""
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    for _ in $(seq 200); do
        port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/$name.out")
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

echo "# building the packages"
started=$(date +%s)
copy=$work/build/dostrel
mkdir -p "$copy"
# The files git knows (changes included), never the build folders of the checkout.
(cd "$source_dir" && if git rev-parse 2>/dev/null; then
    git ls-files -z --cached --others --exclude-standard | grep -zv '^build' |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null
else tar --exclude='./build*' --exclude='./obj-*' -cf - .; fi) | tar -C "$copy" -xf -
cd "$copy" || exit 1
export DEB_BUILD_OPTIONS="parallel=2 nocheck"
dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1 || tail -40 "$work/build.log"
debs=()
for package in "${packages[@]}"; do
    check "package $package is built" compgen -G "../${package}_1.0_*.deb"
    debs+=(../"${package}"_1.0_*.deb)
done
echo "# built in $(($(date +%s) - started)) s"
check "lintian reports no error and no warning on any of them" \
    lintian --fail-on error,warning "${debs[@]}"

echo "# installing the gateway and the sample server"
dpkg -i ../dostrel_1.0_*.deb ../dostrel-appserver_1.0_*.deb
conffile=/etc/dostrel/dostrel.cnf
check "the gateway is a CGI program linked to its conffile, whose only active line sends every \
path to 127.0.0.1:9000, and which dostrel-check finds clean" bash -c "
    test -x /usr/lib/cgi-bin/dostrel &&
    test \"\$(readlink -f /usr/lib/cgi-bin/dostrel.cnf)\" = $conffile &&
    dpkg-query -W -f='\${Conffiles}' dostrel | grep -q '^ $conffile ' && dostrel-check $conffile &&
    test \"\$(grep -v -e '^#' -e '^ *\$' $conffile)\" = 'link *      tcp 127.0.0.1 9000'"
check "the manual pages are installed compressed" bash -c "cd /usr/share/man &&
    ls man8/dostrel.8.gz man8/dostrel-check.8.gz \
     man5/dostrel.cnf.5.gz man1/dostrel-appserver.1.gz >/dev/null"
check "the README's document links lead to installed files" bash -c "cd /usr/share/doc/dostrel &&
    grep -o '](docs/[^)]*)' README.md | tr -d '()]' | xargs -n1 test -f"
unit=/lib/systemd/system/dostrel-appserver.service
check "the sample server's unit is installed, not enabled, its options in /etc/default" bash -c "
    test -f $unit && test ! -e /etc/systemd/system/multi-user.target.wants/${unit##*/} &&
    grep -q '^DOSTREL_APPSERVER_OPTIONS=' /etc/default/dostrel-appserver"
if command -v systemd-analyze >/dev/null; then
    check "systemd finds the unit sound" systemd-analyze verify "$unit"
fi
# Every option the installed server's usage names is in its manual page and its options file.
zcat /usr/share/man/man1/dostrel-appserver.1.gz | sed 's/\\-/-/g' >"$work/page"
undocumented=$(dostrel-appserver --help 2>&1 | grep -v '^dostrel-appserver:' |
    grep -o -- '--[a-z-]*' | sort -u | while read -r option; do
        grep -q -- "$option" "$work/page" || echo "$option (manual page)"
        [[ $option = --record || $option = --print-pattern ]] ||
            grep -q -- "$option" /etc/default/dostrel-appserver || echo "$option (/etc/default)"
    done)
check "every option of the sample server is documented${undocumented:+; not: $undocumented}" \
    test -z "$undocumented"

echo "# Apache with Debian's CGI set-up answers through $conffile"
serves appserver "" "" /usr/bin/dostrel-appserver --port 0 --workers 2 --name packaged
# The administrator's edit: the server is where this test could start it.
sed -i "s/^link \*  *tcp 127.0.0.1 9000$/link * tcp 127.0.0.1 $port/" "$conffile"
cp "$conffile" "$work/edited.cnf"
check "the conffile is edited" grep -qx "link \* tcp 127.0.0.1 $port" "$conffile"
cgid_was_enabled=$([ -e /etc/apache2/mods-enabled/cgid.load ] && echo yes)
cgi_conf_was_enabled=$([ -e /etc/apache2/conf-enabled/serve-cgi-bin.conf ] && echo yes)
if [ "$apache_was_running" = no ] && (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
    echo "port 80 is taken by another program: Apache cannot start there"
fi
apache_touched=yes
a2enmod cgid
a2enconf -q serve-cgi-bin >/dev/null
# mod_cgid starts its daemon on a full start or restart only, not on a graceful one.
if [ "$apache_was_running" = yes ]; then apache2ctl restart; else apache2ctl start; fi
# A POST to /cgi-bin/dostrel/hello is answered by the sample server, with the body's length;
# asked again for up to 10 s while Apache comes up.
ask_apache() {
    local started=$SECONDS
    while :; do
        curl -s -i --max-time 30 --data-binary 'abc' "http://127.0.0.1/cgi-bin/dostrel/hello?keys" |
            tr -d '\r' >"$work/apache.out"
        grep -qx 'X-Appserver: packaged' "$work/apache.out" &&
            grep -qx 'PATH_INFO=/hello' "$work/apache.out" &&
            grep -qx 'CONTENT_LENGTH=3' "$work/apache.out" && return 0
        [ $((SECONDS - started)) -lt 10 ] || break
        sleep 0.1
    done
    echo "Apache's answer:" && cat "$work/apache.out" && tail -5 "$APACHE_LOG_DIR/error.log"
    return 1
}
check "Apache answers /cgi-bin/dostrel/hello through the installed gateway" ask_apache

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
check "the edit survived the upgrade, with no .dpkg-dist or .dpkg-old beside it" bash -c \
    "cmp '$work/edited.cnf' $conffile && test -z \"\$(find /etc/dostrel -name '*.dpkg-*')\""
check "Apache still answers through it" ask_apache
restore_apache

echo "# libdostrel-appserver-dev builds the C example with pkg-config"
dpkg -i ../libdostrel-appserver1_1.0_*.deb ../libdostrel-appserver-dev_1.0_*.deb
pc=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/dostrel-appserver.pc
cross=$(dpkg-architecture -qDEB_HOST_GNU_TYPE)-pkg-config
check "pkg-config finds it in the multiarch directory, and so does this architecture's cross one" \
    bash -c "test -f $pc && $cross --exists dostrel-appserver"
flags=$(pkg-config --cflags --libs dostrel-appserver)
check "which adds no system directory to the compiler's: $flags" \
    bash -c "[[ ' $flags' != *' -I'* && ' $flags' != *' -L'* ]]"
check "every header is installed" bash -c "cd '$copy/appserver/include/dostrel' &&
    for h in *; do cmp \"\$h\" \"/usr/include/dostrel/\$h\" || exit 1; done"
# The first C example of the library's document, built as its reader does (the install test
# builds them all, C++ too, against an installed copy of the source).
awk '$0 == "```c" && !done {inside = 1; next} /^```$/ && inside {inside = 0; done = 1} inside' \
    "$copy/docs/appserver-c.md" >"$work/hello.c"
# shellcheck disable=SC2086
check "the C example builds with cc and pkg-config, warnings as errors" \
    cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/hello" "$work/hello.c" $flags
check "the C example answers through the installed gateway" \
    serves c-example /c 'Hello from /c' "$work/hello" 0

echo "# python3-dostrel-wsgi, npm pack's tarball and an offline wheel in a fresh venv serve"
dpkg -i ../python3-dostrel-wsgi_1.0_all.deb
mkdir "$work/wsgi"
cat >"$work/wsgi/hello.py" <<'EOF'
def app(environ, start_response):
    body = environ["wsgi.input"].read()
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"WSGI at %s got %s\n" % (environ["PATH_INFO"].encode(), body)]
EOF
check "the packaged dostrel-wsgi answers through the installed gateway" serves wsgi /py \
    'WSGI at /py got hello' /usr/bin/dostrel-wsgi --bind 127.0.0.1:0 --chdir "$work/wsgi" hello:app
# The package has no dependencies: nothing to fetch.
export npm_config_offline=true npm_config_audit=false npm_config_fund=false
export npm_config_update_notifier=false
npm pack ./node
mkdir "$work/node-app" && mv dostrel-1.0.0.tgz "$work/node-app/"
(cd "$work/node-app" && npm install ./dostrel-1.0.0.tgz)
cat >"$work/node-app/app.js" <<'EOF'
const { createServer } = require('dostrel');
const server = createServer((req, res) => res.end(`Node at ${req.url}\n`));
server.listen(0, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
EOF
check "the npm tarball installed in a fresh folder answers" \
    serves node /js 'Node at /js' node "$work/node-app/app.js"
/usr/bin/python3 -m venv --system-site-packages build-venv
build-venv/bin/pip wheel --no-index --no-build-isolation --wheel-dir dist ./python
/usr/bin/python3 -m venv venv
venv/bin/pip install --no-index dist/dostrel_wsgi-1.0-py3-none-any.whl
check "the venv's dostrel-wsgi answers" serves venv-wsgi /wheel 'WSGI at /wheel got hello' \
    venv/bin/dostrel-wsgi --bind 127.0.0.1:0 --chdir "$work/wsgi" hello:app

echo "# dpkg --purge removes everything"
stop_servers
dpkg --purge "${packages[@]}"
check "purged: the configuration, gateway, server's files, Python program and headers" bash -c \
    "for path in /etc/dostrel /usr/lib/cgi-bin/dostrel /usr/lib/cgi-bin/dostrel.cnf $unit \
        /usr/bin/dostrel-wsgi /etc/default/dostrel-appserver /usr/include/dostrel; do
        test ! -e \$path || { echo \"\$path is left\"; exit 1; }; done"
machine_state >"$work/state.after"
check "Apache's configuration and the file system are as before" \
    diff "$work/state.before" "$work/state.after"
if [ "$apache_was_running" = no ]; then
    check "Apache is stopped again" bash -c "! curl -s -o /dev/null --max-time 2 http://127.0.0.1/"
fi
echo "# $(($(date +%s) - started)) s in all"
finish_checks
