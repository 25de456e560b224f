#!/usr/bin/env bash
# fresh_root_test.sh SOURCE_DIR [RELEASE] -- the commands a newcomer runs first, on a minimal Debian
# RELEASE (bookworm, the default, or trixie) with nothing installed beforehand: a debootstrap
# --variant=minbase root (tests/support/debian_root.sh; the packages and npm downloads the scripts
# fetch kept per release in /var/cache/dostrel-fresh-root), the
# checkout's tracked files in /root/dostrel, and there, one after the other, scripts/demo.sh and
# the examples' serve.sh (python stopped by SIGINT to its process group as Ctrl-C does, the others
# by SIGTERM; node also with DOSTREL_DEMO_ONCE=1 and WORKERS=2, go once; on trixie node only
# once, as its ways to stop do not depend on the release). Each must install what
# it needs itself, answer a request from outside the root (which shares this machine's network),
# and leave nothing running once stopped. Needs root (exit 77).
set -uo pipefail
source_dir=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mount): skipped"; exit 77; }
. "$source_dir/scripts/packages.sh"
need_packages debootstrap curl tar gzip util-linux || exit 1
if [ -z "${DOSTREL_FRESH_ROOT_NAMESPACE:-}" ]; then
    # Mounts of its own, gone with the test even when it is killed.
    DOSTREL_FRESH_ROOT_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
release=${2:-bookworm}
check_prefix="fresh $release root: "
. "$source_dir/tests/support/check.sh"
set -m # each script in a process group of its own, SIGINT not ignored: as in a terminal
started=$SECONDS

. "$source_dir/tests/support/debian_root.sh"
# The packages and npm downloads the scripts fetch, kept per release.
cache=${DOSTREL_FRESH_ROOT_CACHE:-/var/cache/dostrel-fresh-root}/$release
mkdir -p "$cache/apt-archives/partial" "$cache/npm"
mounts=()
script_pid=""

# in_root_pids [ROOT]: the processes whose root directory is ROOT (the fresh root).
in_root_pids() {
    local dir
    for dir in /proc/[0-9]*; do
        [ "$(readlink "$dir/root" 2>/dev/null)" = "${1:-$root}" ] && echo "${dir#/proc/}"
    done
}

# One run at a time; what a run that was killed left behind goes first.
exec 9>"$cache/run.lock"
flock 9
for stale in /var/tmp/dostrel-fresh-root-$release.*; do
    [ -d "$stale" ] || continue
    for pid in $(in_root_pids "$stale"); do kill -KILL "$pid" 2>/dev/null; done
    grep -q " $stale/" /proc/self/mountinfo || rm -rf --one-file-system "$stale"
done
root=$(mktemp -d "/var/tmp/dostrel-fresh-root-$release.XXXXXX")
cleanup() {
    local pid i
    for pid in $(in_root_pids); do kill -KILL "$pid" 2>/dev/null; done
    [ -n "$script_pid" ] && wait "$script_pid" 2>/dev/null
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -R "${mounts[i]}" 2>/dev/null || umount -R -l "${mounts[i]}"
    done
    # Never delete through a mount that is still there (the machine's /dev).
    if grep -q " $root/" /proc/self/mountinfo; then echo "still mounted under $root: left" >&2
    else rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The minimal root, made once a week.
tarball=$(debian_root_tarball "$release" "$(dpkg --print-architecture)") || exit 1
find "$cache/apt-archives" "$cache/npm" -type f -mtime +30 -delete
tar -C "$root" -xzf "$tarball" || exit 1
echo "root from $tarball ready after $((SECONDS - started)) s"

# What a machine has that a bare root lacks: name service, the certificate authorities its
# administrator added (for a proxy between it and the npm registry), /proc, /dev. No init
# system, so no installed service may start (it would run on this machine's network).
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
[ ! -d /usr/local/share/ca-certificates ] ||
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
# A root thrown away after the test needs no sync after every file dpkg unpacks.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
mkdir -p "$root/root/.npm"
mount_in() { # mount_in TARGET MOUNT-ARGUMENTS...
    local target=$root$1
    shift
    mount "$@" "$target" || exit 1
    mounts+=("$target")
}
mount_in /proc -t proc proc
mount_in /dev --rbind /dev
mount --make-rslave "$root/dev"
mount_in /var/cache/apt/archives --bind "$cache/apt-archives"
mount_in /root/.npm --bind "$cache/npm"

debian_root_checkout "$source_dir" "$root/root/dostrel" || exit 1

# start_script NAME COMMAND: starts COMMAND (its words, environment assignments first) in the
# checkout in the root, in a process group of its own, its output in $log.
start_script() {
    log=$root/$1.log
    : >"$log"
    script_began=$SECONDS
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /root/dostrel && exec /usr/bin/env $2" </dev/null >"$log" 2>&1 9>&- &
    script_pid=$!
}

# ends NAME SIGNAL SECONDS: sends SIGNAL (if any: TERM to the script, INT to its process group, as
# Ctrl-C does), and checks that the script ends with status 0 within SECONDS (a generous bound
# that catches a hang) and leaves nothing running in the root.
ends() {
    local began=$SECONDS status left="" pid
    case $2 in TERM) kill -TERM "$script_pid" ;; INT) kill -INT -- "-$script_pid" ;; esac
    while kill -0 "$script_pid" 2>/dev/null && [ $((SECONDS - began)) -lt "$3" ]; do sleep 0.2; done
    kill -0 "$script_pid" 2>/dev/null && kill -KILL -- "-$script_pid"
    wait "$script_pid"
    status=$?
    check "$1: ${2:+SIG$2 stops it, }ends with status $status after $((SECONDS - script_began)) s" \
        test $status -eq 0
    [ $status -eq 0 ] || tail -20 "$log"
    for pid in $(in_root_pids); do
        left+="$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null); "
        kill -KILL "$pid" 2>/dev/null
    done
    check "$1: nothing it started is left running${left:+ (left: $left)}" test -z "$left"
    script_pid=""
}

# serves NAME COMMAND SECONDS SIGNAL PATH DATA TEXT: COMMAND says it serves (a line with "Ctrl-C
# stops") within SECONDS; a request from outside the root to PATH under the last URL it printed
# (a POST of DATA, unless empty; redirects followed, cookies kept) has TEXT in its answer; SIGNAL
# stops it.
serves() {
    local deadline=$((SECONDS + $3)) url=""
    start_script "$1" "$2"
    while [ $SECONDS -le $deadline ] && kill -0 "$script_pid" 2>/dev/null; do
        if grep -q 'Ctrl-C stops' "$log"; then
            url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/cgi-bin/dostrel/[^ ]*' "$log" | tail -1)
            break
        fi
        sleep 1
    done
    check "$1: installs what it needs, builds and serves (after $((SECONDS - script_began)) s)" \
        test -n "$url"
    [ -n "$url" ] || tail -40 "$log"
    [ -z "$url" ] || check "$1: answers a request from outside the root with \"$7\"" bash -c \
        "curl -sS -L --max-time 30 -c '$root/cookies' -b '$root/cookies' ${6:+--data '$6'} \
        '$url$5' | grep -qF '$7'"
    ends "$1" "$4" 30
}

# once NAME COMMAND SECONDS TEXT: COMMAND ends by itself within SECONDS, having printed TEXT.
once() {
    start_script "$1" "$2"
    ends "$1" "" "$3"
    check "$1: printed \"$4\"" grep -qF "$4" "$log"
}

serves demo "bash scripts/demo.sh" 1200 TERM "" "" '<tr><td>QUERY_STRING</td><td>lang=en</td></tr>'
check "demo: the sample page it printed shows the request" \
    grep -qF '<tr><td>PATH_INFO</td><td>/hello</td></tr>' "$log"
serves python "bash examples/python/serve.sh" 900 INT sign 'entry=signed in a fresh root' \
    'signed in a fresh root'
# The node example's ways to stop are the same on every release: bookworm tries them all.
[ "$release" != bookworm ] ||
    serves node "bash examples/node/serve.sh" 900 TERM greet 'name=fresh root' 'Hello, fresh root!'
# On trixie the first run of the node example: it installs node and npm.
once node-once "DOSTREL_DEMO_ONCE=1 bash examples/node/serve.sh" 900 "Hello, dostrel!"
[ "$release" != bookworm ] || serves node-cluster "WORKERS=2 bash examples/node/serve.sh" 300 \
    TERM greet 'name=cluster' 'Hello, cluster!'
echo "in the root: Debian's nodejs $(chroot "$root" node --version), npm $(chroot "$root" npm --version)"
serves ruby "bash examples/ruby/serve.sh" 900 TERM sign 'entry=signed in a fresh root' \
    'signed in a fresh root'
once go "DOSTREL_DEMO_ONCE=1 bash examples/go/serve.sh" 900 "hello from curl"

echo "fresh $release root: $((SECONDS - started)) s in all"
finish_checks
