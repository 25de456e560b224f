#!/usr/bin/env bash
# package_test.sh BUILD_DIR -- builds the Debian package, installs it with dpkg, runs one request
# through the installed gateway, and removes the package again, checking that nothing stays.
# Skipped (status 77) unless run as root on a machine with dpkg and without dostrel installed.
set -uo pipefail
build=$1
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "needs root and dpkg: skipped"
    exit 77
fi
if dpkg -s dostrel >/dev/null 2>&1; then
    echo "a dostrel package is installed already; left alone: skipped"
    exit 77
fi
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    dpkg -s dostrel >/dev/null 2>&1 && dpkg -r dostrel >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
check_prefix=""
. "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

(cd "$build" && cpack -B "$work/package" >"$work/cpack.log" 2>&1) || cat "$work/cpack.log"
deb=$(ls "$work"/package/dostrel_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -1)
check "package dostrel_<version>_<arch>.deb is built" test -n "$deb"
check "package installs with dpkg -i" dpkg -i "$deb"
files=(/usr/lib/cgi-bin/dostrel /usr/bin/dostrel-check /usr/bin/dostrel-appserver
    /usr/share/man/man8/dostrel.8 /usr/share/man/man8/dostrel-check.8
    /usr/share/man/man5/dostrel.cnf.5 /usr/share/doc/dostrel/examples/dostrel.cnf)
for file in "${files[@]}"; do
    check "installed $file" test -f "$file"
done
check "installed the application-server library's header" test -f /usr/include/dostrel/appserver.h
check "pkg-config finds the installed application-server library" bash -c \
    "pkg-config --exists dostrel-appserver &&
     test -f \"\$(pkg-config --variable=libdir dostrel-appserver)/libdostrel_appserver.a\""
check "installed dostrel-check knows its version" bash -c \
    "/usr/bin/dostrel-check --version | grep -q '^dostrel-check 1.0 '"
check "installed sample configuration is clean" \
    /usr/bin/dostrel-check /usr/share/doc/dostrel/examples/dostrel.cnf

/usr/bin/dostrel-appserver --port 0 --name installed >"$work/server.out" &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/server.out")
mkdir "$work/cgi"
printf 'link * tcp 127.0.0.1 %s\n' "$port" >"$work/cgi/dostrel.cnf"
(cd "$work/cgi" && printf 'abc' | env -i PATH_INFO=/x QUERY_STRING=keys CONTENT_LENGTH=3 \
    /usr/lib/cgi-bin/dostrel >"$work/response")
check "one request through the installed gateway" grep -qx "PATH_INFO=/x" "$work/response"
check "the installed server answered it" grep -qx "X-Appserver: installed" "$work/response"

check "package removes with dpkg -r" dpkg -r dostrel
for file in "${files[@]}"; do
    check "removed $file" test ! -e "$file"
done

finish_checks
