#!/usr/bin/env bash
# run_rack3_tests.sh BUILD_DIR -- the gem's tests (run_tests.sh) once more, on Rack 3: in a minimal
# Debian 13 root with Debian's Ruby packages there (Rack 3.1, rackup 2, Sinatra 4, Rails 7.2), made
# and cached by tests/support/debian_root.sh, holding a copy of this checkout's tracked files and
# the static gateway of BUILD_DIR. Needs root (exit 77 otherwise).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
. "$source_dir/scripts/packages.sh"
test_gateway_build "$@"
[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mount): skipped"; exit 77; }
if ldd "$build/dostrel" >/dev/null 2>&1; then
    echo "$build/dostrel is linked dynamically: the Debian 13 root needs a static one" >&2
    exit 1
fi
need_packages debootstrap tar gzip util-linux
. "$source_dir/tests/support/debian_root.sh"
started=$SECONDS

tarball=$(debian_root_tarball trixie "$(dpkg --print-architecture)" $(ruby_test_packages trixie))
root=$(mktemp -d /var/tmp/dostrel-rack3.XXXXXX)
cleanup() {
    # Whatever a killed run left running in the root goes before the root does.
    local dir
    for dir in /proc/[0-9]*; do
        [ "$(readlink "$dir/root" 2>/dev/null)" = "$root" ] && kill -KILL "${dir#/proc/}" 2>/dev/null
    done
    sleep 0.2
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
tar -C "$root" -xzf "$tarball"
copy=$root/root/dostrel
mkdir -p "$copy/build"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z |
        tar -C "$source_dir" --null --ignore-failed-read -T - -cf - | tar -C "$copy" -xf -
else
    tar -C "$source_dir" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$copy" -xf -
fi
cp "$build/dostrel" "$copy/build/"
echo "Debian 13 root with the checkout ready after $((SECONDS - started)) s"

status=0
(cd / && debian_root_run "$root" "" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 bash /root/dostrel/ruby/run_tests.sh /root/dostrel/build) || status=$?
echo "the gem's tests on Rack 3 took $((SECONDS - started)) s in all"
exit $status
