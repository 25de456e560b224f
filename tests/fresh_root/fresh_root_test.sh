#!/usr/bin/env bash
# fresh_root_test.sh SOURCE_DIR -- the commands a newcomer runs first, on a minimal Debian 12 with
# nothing installed beforehand. A root made by debootstrap --variant=minbase (kept as a tarball
# per week in /var/cache/dostrel-fresh-root, with the packages and npm downloads the scripts
# fetch), the checkout's tracked files copied to /root/dostrel in it, and there, one after the
# other, in one root:
#   bash scripts/demo.sh             serves the sample page; stopped with SIGTERM to the script
#   bash examples/python/serve.sh    serves the guest book; stopped with SIGINT to its process
#                                    group, as Ctrl-C in a terminal does
#   bash examples/node/serve.sh      serves the Express example; stopped with SIGTERM (and once
#                                    more with DOSTREL_DEMO_ONCE=1, and with WORKERS=2)
#   bash examples/ruby/serve.sh      serves the Sinatra guest book; stopped with SIGTERM
#   DOSTREL_DEMO_ONCE=1 bash examples/go/serve.sh   signs the chi guest book once and ends
# Each must install what it needs itself, answer a request made from outside the root (the root
# shares this machine's network), and leave nothing running once stopped. Needs root (exit 77).
set -uo pipefail
source_dir=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "needs root (debootstrap, chroot, mount): skipped"
    exit 77
fi
. "$source_dir/scripts/packages.sh"
need_packages debootstrap curl tar gzip util-linux || exit 1
if [ -z "${DOSTREL_FRESH_ROOT_NAMESPACE:-}" ]; then
    # Mounts of its own, gone with the test even when it is killed.
    DOSTREL_FRESH_ROOT_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
check_prefix="fresh root: "
. "$source_dir/tests/support/check.sh"
set -m # each script in a process group of its own, SIGINT not ignored: as in a terminal
started=$SECONDS

cache=${DOSTREL_FRESH_ROOT_CACHE:-/var/cache/dostrel-fresh-root}
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
for stale in /var/tmp/dostrel-fresh-root.*; do
    [ -d "$stale" ] || continue
    for pid in $(in_root_pids "$stale"); do kill -KILL "$pid" 2>/dev/null; done
    grep -q " $stale/" /proc/self/mountinfo || rm -rf --one-file-system "$stale"
done
root=$(mktemp -d /var/tmp/dostrel-fresh-root.XXXXXX)
cleanup() {
    local pid i
    for pid in $(in_root_pids); do kill -KILL "$pid" 2>/dev/null; done
    [ -n "$script_pid" ] && wait "$script_pid" 2>/dev/null
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -R "${mounts[i]}" 2>/dev/null || umount -R -l "${mounts[i]}"
    done
    # Never delete through a mount that is still there (the machine's /dev).
    if grep -q " $root/" /proc/self/mountinfo; then
        echo "still mounted under $root: left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The minimal root, from the mirror this machine's apt uses; made once a week.
arch=$(dpkg --print-architecture)
mirror=$(apt-cache policy | awk '$3 == "bookworm/main" { print $2; exit }')
mirror=${mirror:-http://deb.debian.org/debian}
tarball=$cache/bookworm-minbase-$arch-$(date +%G-w%V).tar.gz
if [ ! -s "$tarball" ]; then
    echo "making $tarball with debootstrap from $mirror"
    made=$(mktemp -d "$cache/root.XXXXXX")
    if ! debootstrap --variant=minbase --arch="$arch" bookworm "$made" "$mirror" \
        >"$cache/debootstrap.log" 2>&1; then
        tail -20 "$cache/debootstrap.log"
        rm -rf --one-file-system "$made"
        exit 1
    fi
    tar -C "$made" -czf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$made"
    find "$cache" -maxdepth 1 -name 'bookworm-minbase-*.tar.gz' ! -path "$tarball" -delete
fi
find "$cache/apt-archives" "$cache/npm" -type f -mtime +30 -delete
tar -C "$root" -xzf "$tarball" || exit 1
echo "root from $tarball ready after $((SECONDS - started)) s"

# What a machine has that a bare root lacks: name service, the certificate authorities its
# administrator added (for a proxy between it and the npm registry), /proc, /dev. No init
# system, so no installed service may start (it would run on this machine's network).
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
if [ -d /usr/local/share/ca-certificates ]; then
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi
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

# The checkout as a clone has it: tracked files only, no build folders, no node_modules.
mkdir "$root/root/dostrel"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
        tar -C "$root/root/dostrel" -xf -
else
    tar -C "$source_dir" --exclude='./build*' --exclude=node_modules -cf - . |
        tar -C "$root/root/dostrel" -xf -
fi
[ -f "$root/root/dostrel/scripts/demo.sh" ] || { echo "the checkout was not copied"; exit 1; }

# start_script NAME COMMAND: starts COMMAND (its words, environment assignments first) in the
# checkout in the root, in a process group of its own, its output in $log; sets script_pid.
start_script() {
    log=$root/$1.log
    : >"$log"
    script_began=$SECONDS
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /root/dostrel && exec /usr/bin/env $2" </dev/null >"$log" 2>&1 9>&- &
    script_pid=$!
}

# run_script NAME COMMAND SECONDS: starts COMMAND and waits until it says it serves (a line with
# "Ctrl-C stops"), at most SECONDS; sets url to the last URL it printed.
run_script() {
    local name=$1 deadline=$((SECONDS + $3))
    url=""
    start_script "$name" "$2"
    while [ $SECONDS -le $deadline ] && kill -0 "$script_pid" 2>/dev/null; do
        if grep -q 'Ctrl-C stops' "$log"; then
            url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/cgi-bin/dostrel/[^ ]*' "$log" | tail -1)
            break
        fi
        sleep 1
    done
    check "$name: installs what it needs, builds and serves (after $((SECONDS - script_began)) s)" \
        test -n "$url"
    [ -n "$url" ] || tail -40 "$log"
}

# run_once NAME COMMAND SECONDS TEXT: runs COMMAND, which ends by itself, at most SECONDS, and
# checks that it succeeded, printed TEXT, and left nothing running.
run_once() {
    local name=$1 deadline=$((SECONDS + $3)) status
    start_script "$name" "$2"
    while [ $SECONDS -le $deadline ] && kill -0 "$script_pid" 2>/dev/null; do sleep 1; done
    kill -KILL -- "-$script_pid" 2>/dev/null
    wait "$script_pid"
    status=$?
    script_pid=""
    check "$name: ends by itself with status $status after $((SECONDS - script_began)) s" \
        test $status -eq 0
    if grep -qF "$4" "$log"; then
        check "$name: printed \"$4\"" true
    else
        check "$name: printed \"$4\"" false
        tail -20 "$log"
    fi
    check_nothing_left "$name"
}

# stop_script NAME HOW: stops the script, if it still runs, with HOW ("TERM" to the script alone,
# "INT" to its process group), and checks that it ended at once, with status 0, and left nothing
# running in the root.
stop_script() {
    local name=$1 how=$2 began=$SECONDS stopped=1 status
    if kill -0 "$script_pid" 2>/dev/null; then
        if [ "$how" = INT ]; then kill -INT -- "-$script_pid"; else kill -TERM "$script_pid"; fi
        # A stop takes well under a second; the bound only catches a script that does not stop.
        while kill -0 "$script_pid" 2>/dev/null; do
            if [ $((SECONDS - began)) -ge 30 ]; then
                stopped=0
                kill -KILL -- "-$script_pid"
                break
            fi
            sleep 0.1
        done
        wait "$script_pid"
        status=$?
        check "$name: SIG$how stops it (after $((SECONDS - began)) s, exit status $status)" \
            test $stopped = 1 -a $status = 0
    else
        wait "$script_pid"
        echo "$name: ended on its own with status $?"
    fi
    script_pid=""
    check_nothing_left "$name"
}

# check_nothing_left NAME: no process runs in the root any more (any left is killed).
check_nothing_left() {
    local left="" pid
    for pid in $(in_root_pids); do
        left+="$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null); "
        kill -KILL "$pid" 2>/dev/null
    done
    check "$1: nothing it started is left running${left:+ (left: $left)}" test -z "$left"
}

run_script demo "bash scripts/demo.sh" 1200
if [ -n "$url" ]; then
    check "demo: the sample page it printed shows the request" \
        grep -qF '<tr><td>PATH_INFO</td><td>/hello</td></tr>' "$log"
    check "demo: it serves the page to a request from outside the root" \
        bash -c "curl -sS --max-time 30 '$url' | grep -qF '<tr><td>QUERY_STRING</td><td>lang=en</td></tr>'"
fi
stop_script demo TERM

run_script python "bash examples/python/serve.sh" 900
if [ -n "$url" ]; then
    check "python: a guest-book entry signed from outside the root is on the page" \
        bash -c "curl -sS -L --max-time 30 -c '$root/cookies' -b '$root/cookies' \
            --data 'entry=signed in a fresh root' '${url}sign' | grep -qF 'signed in a fresh root'"
fi
stop_script python INT

run_script node "bash examples/node/serve.sh" 900
if [ -n "$url" ]; then
    check "node: the Express application answers through the gateway" \
        bash -c "curl -sS --max-time 30 --data 'name=fresh root' '${url}greet' | grep -qF 'Hello, fresh root!'"
fi
stop_script node TERM

run_once node-once "DOSTREL_DEMO_ONCE=1 bash examples/node/serve.sh" 300 "Hello, dostrel!"
run_script node-cluster "WORKERS=2 bash examples/node/serve.sh" 300
if [ -n "$url" ]; then
    check "node-cluster: two workers answer through the gateway" \
        bash -c "curl -sS --max-time 30 --data 'name=cluster' '${url}greet' | grep -qF 'Hello, cluster!'"
fi
stop_script node-cluster TERM
echo "in the root: $(chroot "$root" node --version) from Debian's nodejs, npm $(chroot "$root" npm --version)"

run_script ruby "bash examples/ruby/serve.sh" 900
if [ -n "$url" ]; then
    check "ruby: a guest-book entry signed from outside the root is on the page" \
        bash -c "curl -sS -L --max-time 30 -c '$root/cookies' -b '$root/cookies' \
            --data 'entry=signed in a fresh root' '${url}sign' | grep -qF 'signed in a fresh root'"
fi
stop_script ruby TERM

run_once go "DOSTREL_DEMO_ONCE=1 bash examples/go/serve.sh" 900 "hello from curl"

echo "fresh root: $((SECONDS - started)) s in all"
finish_checks
