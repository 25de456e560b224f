# debian_root.sh -- sourced by the tests that need a minimal Debian root of their own:
#   debian_root_tarball RELEASE ARCH [PACKAGE...]
# prints the path of a gzipped tarball of a debootstrap --variant=minbase root of RELEASE (bookworm,
# trixie) for ARCH, with PACKAGE... installed by apt (no recommends), made once a week from the
# mirror this machine's apt uses and kept in $DOSTREL_ROOT_CACHE (default /var/cache/dostrel-roots).
# Where this machine cannot run ARCH's programs itself, DEBIAN_ROOT_EMULATOR names a user-mode
# emulator (a path ending in qemu-ARCH, as debian_emulator gives) that runs every one of them, through a binfmt_misc of the root's own
# user namespace (kernel 6.7 or later): the machine's binfmt entries stay untouched.
#   debian_root_run ROOT EMULATOR COMMAND...
# runs COMMAND chrooted in an unpacked ROOT with /proc mounted (EMULATOR empty when native); the
# directories in DEBIAN_ROOT_SHARE (separated by spaces) are seen at the same paths in the root,
# and COMMAND then starts in the current directory, which must be one of them or under one.
# Both need root and debootstrap; on failure they return non-zero, the log's tail on standard error.

debian_root_cache=${DOSTREL_ROOT_CACHE:-/var/cache/dostrel-roots}

# debian_mirror: the Debian mirror this machine's apt uses, or Debian's own.
debian_mirror() {
    local mirror
    mirror=$(apt-cache policy 2>/dev/null |
        awk '$3 ~ /^(bookworm|trixie)\/main$/ && $2 ~ /^https?:/ { print $2; exit }')
    echo "${mirror:-http://deb.debian.org/debian}"
}

# in_identity_namespace COMMAND...: COMMAND in a user namespace that maps every id to itself (root
# stays root, files keep their owners) and in a mount namespace of its own, where a binfmt_misc
# mounted is private to it. The map is written from outside, as only a parent may.
in_identity_namespace() {
    local fifo pid
    fifo=$(mktemp -u /tmp/dostrel-ns.XXXXXX) && mkfifo "$fifo" || return 1
    # In the background, yet on the caller's standard input (which & alone would take away).
    unshare --user --mount --propagation private \
        bash -c 'read -r _ <"$0"; exec "$@"' "$fifo" "$@" <&0 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null &&
        [ "$(readlink "/proc/$pid/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do
        sleep 0.01
    done
    if ! { echo "0 0 4294967295" >"/proc/$pid/uid_map" &&
        echo "0 0 4294967295" >"/proc/$pid/gid_map"; } 2>/dev/null; then
        echo "no user namespace could be made" >&2
        kill -KILL "$pid" 2>/dev/null # else it would wait on the fifo for ever
        wait "$pid"
        rm -f "$fifo"
        return 125
    fi
    echo go >"$fifo"
    rm -f "$fifo"
    wait "$pid"
}

# The ELF header that binfmt_misc matches for each architecture an emulator may stand in for.
debian_binfmt_entry() { # debian_binfmt_entry ARCH EMULATOR
    case $1 in
    i386) printf ':dostrel-i386:M::%s:%s:%s:F' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
        '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "$2" ;;
    *) echo "no binfmt entry known for $1" >&2; return 1 ;;
    esac
}

debian_root_run() { # debian_root_run ROOT EMULATOR COMMAND...
    local root=$1 emulator=$2 entry=""
    shift 2
    if [ -n "$emulator" ]; then
        [ "$(uname -r | awk -F. '{ print $1 * 1000 + $2 }')" -ge 6007 ] || {
            echo "kernel $(uname -r) has no binfmt_misc of a user namespace's own (6.7 or later)" >&2
            return 1
        }
        entry=$(debian_binfmt_entry "${emulator##*/qemu-}" "$emulator") || return 1
    fi
    local script='
        if [ -n "$1" ]; then
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
                echo "$1" >/proc/sys/fs/binfmt_misc/register && mount --rbind /proc "$0/proc" ||
                exit 125
        else mount -t proc proc "$0/proc" || exit 125; fi
        for dir in $DEBIAN_ROOT_SHARE; do
            mkdir -p "$0$dir" && mount --bind "$dir" "$0$dir" || exit 125
        done
        wd=/
        [ -z "$DEBIAN_ROOT_SHARE" ] || wd=$PWD
        shift
        exec unshare --root="$0" --wd="$wd" "$@"'
    if [ -n "$emulator" ]; then
        in_identity_namespace sh -c "$script" "$root" "$entry" "$@"
    else
        unshare --mount --propagation private sh -c "$script" "$root" "" "$@"
    fi
}

debian_root_tarball() { # debian_root_tarball RELEASE ARCH [PACKAGE...]
    local release=$1 arch=$2 name tarball made log
    shift 2
    name=$release-minbase-$arch
    [ $# -eq 0 ] || name+=-$(printf '%s\n' "$@" | sort | md5sum | cut -c1-8)
    tarball=$debian_root_cache/$name-$(date +%G-w%V).tar.gz
    log=$debian_root_cache/$name.log
    mkdir -p "$debian_root_cache" || return 1
    (
        flock 8
        [ -s "$tarball" ] && exit 0
        echo "making $tarball from $(debian_mirror)" >&2
        made=$(mktemp -d "$debian_root_cache/root.XXXXXX") || exit 1
        trap 'rm -rf --one-file-system "$made"' EXIT
        # One root made at a time: debootstrap's download cache is shared by them all.
        flock 7
        debian_root_make "$made" "$release" "$arch" "$@" >"$log" 2>&1 7>&- 8>&- ||
            { tail -20 "$log" >&2; exit 1; }
        flock -u 7
        rm -f "$made/var/cache/apt/archives/"*.deb
        tar -C "$made" -czf "$tarball.part" . && mv "$tarball.part" "$tarball" || exit 1
        find "$debian_root_cache" -maxdepth 1 -name "$name-*.tar.gz" ! -path "$tarball" -delete
    ) 7>"$debian_root_cache/debs.lock" 8>"$debian_root_cache/$name.lock" || return 1
    echo "$tarball"
}

# debian_root_make DIRECTORY RELEASE ARCH [PACKAGE...]: the root itself, in DIRECTORY.
debian_root_make() {
    local root=$1 release=$2 arch=$3 emulator=${DEBIAN_ROOT_EMULATOR:-}
    # The packages downloaded, kept for the next week's roots.
    local debs=$debian_root_cache/debs
    mkdir -p "$debs" && find "$debs" -type f -mtime +30 -delete
    shift 3
    if [ -z "$emulator" ]; then
        debootstrap --cache-dir="$debs" --variant=minbase --arch="$arch" "$release" "$root" \
            "$(debian_mirror)" || return 1
    else
        # The second stage runs in a user namespace, which may not make device nodes: debootstrap
        # takes it for a container, and the first stage, here, has made them.
        debootstrap --cache-dir="$debs" --foreign --variant=minbase --arch="$arch" "$release" \
            "$root" "$(debian_mirror)" &&
            debian_root_run "$root" "$emulator" /usr/bin/env container=lxc \
                /debootstrap/debootstrap --second-stage || return 1
    fi
    [ $# -eq 0 ] && return 0
    # Name service for apt, and no service started by a package (the root has no init system).
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    debian_root_run "$root" "$emulator" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive sh -c \
        'apt-get update -q && apt-get install -y -q --no-install-recommends "$@" && apt-get clean' \
        sh "$@"
    local status=$?
    rm -f "$root/usr/sbin/policy-rc.d"
    return $status
}

# debian_emulator ARCH: prints the path of a user-mode emulator for ARCH that runs Wine (qemu 10
# from bookworm-backports' qemu-user: Debian 12's own 7.2 ignores MAP_FIXED_NOREPLACE), extracted
# into the cache from a download-only package list, not installed.
debian_emulator() {
    local dir=$debian_root_cache/emulator list
    [ -x "$dir/qemu-$1" ] && { echo "$dir/qemu-$1"; return 0; }
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" || return 1
    list="deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror)"
    echo "$list bookworm-backports main" >"$dir/sources.list"
    local apt=(apt-get -q -o Dir::Etc::SourceList="$dir/sources.list"
        -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$dir/lists"
        -o Dir::Cache="$dir" -o Debug::NoLocking=1)
    (
        cd "$dir" && rm -f qemu-user_*.deb && "${apt[@]}" update >"$dir/log" 2>&1 &&
            "${apt[@]}" download qemu-user/bookworm-backports >>"$dir/log" 2>&1 &&
            rm -rf x && dpkg-deb -x qemu-user_*.deb x && cp "x/usr/bin/qemu-$1" "qemu-$1.part" &&
            mv "qemu-$1.part" "qemu-$1" && rm -rf x qemu-user_*.deb
    ) || { tail -5 "$dir/log" >&2; return 1; }
    echo "$dir/qemu-$1"
}

# debian_root_checkout SOURCE_DIR DIRECTORY: the checkout as a clone has it (tracked files only, no
# build folders, no node_modules) copied into DIRECTORY, which it makes.
debian_root_checkout() {
    mkdir -p "$2" || return 1
    (cd "$1" && if git rev-parse 2>/dev/null; then
        git ls-files -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null
    else tar --exclude='./build*' --exclude=node_modules -cf - .; fi) | tar -C "$2" -xf -
    [ -f "$2/scripts/demo.sh" ] || { echo "the checkout was not copied to $2" >&2; return 1; }
}
