#!/usr/bin/env bash
# compilers_test.sh SOURCE_DIR -- the whole tree (gateway, application-server library, sample
# server, unit and process tests, fuzz targets) builds with warnings as errors under Debian 13's
# compilers: GCC 14, and Clang with -DDOSTREL_FUZZ=ON, in a minimal trixie root with only the
# build dependencies installed (tests/support/debian_root.sh, cached; the objects in ccache). This
# machine's own compilers build and run everything in the test command's other stages; here only
# the build is checked.
# Needs root (exit 77).
set -uo pipefail
source_dir=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mount): skipped"; exit 77; }
. "$source_dir/scripts/packages.sh"
need_packages debootstrap tar gzip util-linux || exit 1
. "$source_dir/tests/support/debian_root.sh"
check_prefix="trixie compilers: "
. "$source_dir/tests/support/check.sh"
started=$SECONDS

tarball=$(debian_root_tarball trixie "$(dpkg --print-architecture)" g++ clang libclang-rt-dev \
    cmake make pkg-config libgtest-dev libgmock-dev nlohmann-json3-dev ccache) || exit 1
# The objects of earlier runs, kept by ccache outside the root (which goes with the test): a run
# recompiles what changed since. The checkout's path in the root is the same in every run.
objects=$debian_root_cache/ccache-trixie
mkdir -p "$objects" || exit 1
root=$(mktemp -d /var/tmp/dostrel-compilers.XXXXXX)
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xzf "$tarball" && debian_root_checkout "$source_dir" "$root/root/dostrel" || exit 1

# in_root COMMAND: a shell command run in the checkout in the root.
in_root() {
    (cd "$objects" && DEBIAN_ROOT_SHARE=$objects debian_root_run "$root" "" /usr/bin/env -i \
        HOME=/root LANG=C.UTF-8 PATH=/usr/bin:/bin CCACHE_DIR="$objects" CCACHE_MAXSIZE=2G \
        CCACHE_BASEDIR=/root/dostrel /bin/sh -c "cd /root/dostrel && $1")
}

# builds NAME CMAKE-OPTION...: a build of every target in build-NAME, its output in NAME.log.
builds() {
    local name=$1
    shift
    in_root "cmake -S . -B build-$name -DDOSTREL_WERROR=ON -DCMAKE_C_COMPILER_LAUNCHER=ccache \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache $* && cmake --build build-$name -j2" \
        >"$root/$name.log" 2>&1 || { grep -m 20 -B 2 -A 6 'error' "$root/$name.log"; return 1; }
}

check "$(in_root 'g++ --version' | head -1): everything builds, warnings as errors" builds gcc
check "$(in_root 'clang++ --version' | head -1): everything and the fuzz targets build, warnings\
 as errors" builds clang -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DDOSTREL_FUZZ=ON
echo "trixie compilers: $((SECONDS - started)) s in all"
finish_checks
