#!/usr/bin/env bash
# package_test.sh SOURCE_DIR [RELEASE] -- the Debian packages as an administrator and a developer
# use them: built (with the unit tests) from a scratch copy of the checkout, lintian-clean, their
# service restarted by an upgrade only, installed, their autopkgtests passing (debian/tests:
# Apache's CGI set-up, the C example against the -dev package), upgraded keeping an edited
# conffile, the Python package, `npm pack`'s tarball and an offline wheel serving, and all purged.
# Waits for the dpkg lock; leaves the machine as it found it (Apache stopped or restarted as it
# was, its module and configuration as they were).
# With RELEASE (trixie, say), the same test runs in a minimal root of that Debian release instead,
# cached a week with the tools below, and in a network namespace of its own, where its Apache has
# port 80 to itself.
# Skipped (77) unless run as root, and on this machine when dostrel packages are installed already.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
release=${2:-}
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
packages=(dostrel dostrel-appserver libdostrel-appserver1 libdostrel-appserver-dev python3-dostrel-wsgi)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -qv 'not-installed'; }
tools=(dpkg-dev debhelper cmake g++ make musl-tools dh-python pybuild-plugin-pyproject python3
    python3-setuptools libgtest-dev nlohmann-json3-dev python3-pytest lintian autopkgtest
    apache2 curl pkg-config python3-venv python3-wheel nodejs)

[ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null || { echo "needs root, dpkg: skipped"; exit 77; }
. "$source_dir/scripts/packages.sh"
if [ -n "$release" ]; then
    need_packages debootstrap iproute2 || exit 1
    . "$source_dir/tests/support/debian_root.sh"
    tarball=$(debian_root_tarball "$release" "$(dpkg --print-architecture)" "${tools[@]}" npm) ||
        exit 1
    root=$(mktemp -d /var/tmp/dostrel-package-root.XXXXXX)
    trap 'rm -rf --one-file-system "$root"' EXIT
    tar -C "$root" -xzf "$tarball" && debian_root_checkout "$source_dir" "$root/root/dostrel" ||
        exit 1
    # The root's / as a machine's (the tarball keeps its maker's 0700): the web server's and
    # man-db's users go through it too.
    chmod 755 "$root"
    echo "# in a $release root from $tarball"
    # What the cached root lacks (build-essential, which dpkg-checkbuilddeps asks for) comes
    # first, while the root still has the network.
    # shellcheck disable=SC2016
    debian_root_run "$root" "" /usr/bin/env -i PATH="$PATH" bash -c \
        '. /root/dostrel/scripts/packages.sh && need_packages "$@"' need build-essential || exit 1
    # shellcheck disable=SC2016
    unshare --net bash -c 'ip link set lo up && . "$0" && debian_root_run "$@"' \
        "$source_dir/tests/support/debian_root.sh" "$root" "" /usr/bin/env -i HOME=/root \
        PATH="$PATH" LC_ALL=C.UTF-8 bash /root/dostrel/tests/package/package_test.sh /root/dostrel
    exit $?
fi
for package in "${packages[@]}"; do
    installed "$package" && { echo "$package is installed already; left alone: skipped"; exit 77; }
done
need_packages "${tools[@]}"
command -v npm >/dev/null || need_packages npm
(cd "$source_dir" && dpkg-checkbuilddeps) || exit 1

work=$(mktemp -d)
chmod 755 "$work"
. "$source_dir/tests/support/check.sh"
. "$source_dir/tests/support/gateway_serving.sh"
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
cleanup() {
    stop_servers
    restore_apache
    for package in "${packages[@]}"; do installed "$package" && dpkg --purge "$package"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

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
export DEB_BUILD_OPTIONS="parallel=2"
dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1 || tail -40 "$work/build.log"
debs=()
for package in "${packages[@]}"; do
    check "package $package is built" compgen -G "../${package}_1.0_*.deb"
    debs+=(../"${package}"_1.0_*.deb)
done
echo "# built in $(($(date +%s) - started)) s"
check "lintian reports no error and no warning on any of them" \
    lintian --fail-on error,warning "${debs[@]}"

echo "# the sample server's maintainer scripts, run with stand-ins for systemd's tools"
dpkg-deb -e ../dostrel-appserver_1.0_*.deb "$work/control"
mkdir -p "$work/systemd/bin" "$work/systemd/run"
# Each records its call; deb-systemd-helper answers its questions as for a unit never enabled.
for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/systemd/calls" \
        >"$work/systemd/bin/$tool"
    chmod 755 "$work/systemd/bin/$tool"
done
echo 'case " $* " in *" was-enabled "* | *" debian-installed "*) exit 1 ;; esac' \
    >>"$work/systemd/bin/deb-systemd-helper"
# systemd_calls SCRIPT ARGUMENT...: runs the maintainer script as on a machine booted with
# systemd, and prints the calls it makes that enable, start, restart or stop the service.
systemd_calls() {
    local script=$1
    shift
    sed "s|/run/systemd/system|$work/systemd/run|g" "$work/control/$script" >"$work/systemd/script"
    : >"$work/systemd/calls"
    PATH=$work/systemd/bin:$PATH DPKG_MAINTSCRIPT_PACKAGE=dostrel-appserver \
        sh "$work/systemd/script" "$@" >/dev/null
    grep -E ' (enable|start|restart|stop) ' "$work/systemd/calls"
}
invoke="deb-systemd-invoke %s dostrel-appserver.service"
# shellcheck disable=SC2059
check "an upgrade restarts the service (deb-systemd-invoke restarts no disabled unit)" \
    test "$(systemd_calls postinst configure 0.9)" = "$(printf "$invoke" restart)"
# shellcheck disable=SC2059
check "a fresh install enables nothing (and deb-systemd-invoke starts no disabled unit)" \
    test "$(systemd_calls postinst configure '')" = "$(printf "$invoke" start)"
check "the old package leaves the service running until the new one restarts it" \
    test -z "$(systemd_calls prerm upgrade 1.0+upgrade1)"

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

echo "# the autopkgtests (debian/tests) on the installed packages"
dpkg -i ../libdostrel-appserver1_1.0_*.deb ../libdostrel-appserver-dev_1.0_*.deb
cgid_was_enabled=$([ -e /etc/apache2/mods-enabled/cgid.load ] && echo yes)
cgi_conf_was_enabled=$([ -e /etc/apache2/conf-enabled/serve-cgi-bin.conf ] && echo yes)
if [ "$apache_was_running" = no ] && (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
    echo "port 80 is taken by another program: Apache cannot start there"
fi
apache_touched=yes
# autopkgtest installs the tests' dependencies with apt, which waits for the lock as dpkg does here.
printf 'DPkg::Lock::Timeout "600";\n' >"$work/apt.conf"
APT_CONFIG=$work/apt.conf autopkgtest --no-built-binaries . -- null >"$work/autopkgtest.log" 2>&1
status=$?
grep -E '^(ok|not ok) - ' "$work/autopkgtest.log"
check "the autopkgtests pass" test $status -eq 0
[ $status -eq 0 ] || grep -v -E '^(ok|not ok) - ' "$work/autopkgtest.log" | tail -40
restore_apache

echo "# a rebuilt package of a higher version keeps the edited conffile"
sed -i 's/^link \*  *tcp 127.0.0.1 9000$/link * tcp 127.0.0.1 9100/' "$conffile"
cp "$conffile" "$work/edited.cnf"
check "the conffile is edited" grep -qx 'link \* tcp 127.0.0.1 9100' "$conffile"
# The same source with a changelog entry on top, rebuilt without cleaning or testing again: only
# the version differs, and the compiled programs are reused.
maintainer=$(sed -n 's/^ -- \(.*>\)  .*$/\1/p' debian/changelog | head -1)
{ printf 'dostrel (1.0+upgrade1) unstable; urgency=medium\n\n  * Rebuilt to try an upgrade.\n\n'
  printf ' -- %s  %s\n\n' "$maintainer" "$(date -R)"
  cat debian/changelog; } >"$work/changelog" && mv "$work/changelog" debian/changelog
DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS nocheck" dpkg-buildpackage -us -uc -b -nc \
    >"$work/rebuild.log" 2>&1 || tail -40 "$work/rebuild.log"
dpkg -i ../dostrel_1.0+upgrade1_*.deb ../dostrel-appserver_1.0+upgrade1_*.deb
check "the higher version is installed" \
    test "$(dpkg-query -W -f='${Version}' dostrel)" = 1.0+upgrade1
check "the edit survived the upgrade, with no .dpkg-dist or .dpkg-old beside it, and the \
gateway's directory still links to it" bash -c "cmp '$work/edited.cnf' $conffile &&
    test -z \"\$(find /etc/dostrel -name '*.dpkg-*')\" &&
    test \"\$(readlink -f /usr/lib/cgi-bin/dostrel.cnf)\" = $conffile"

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
