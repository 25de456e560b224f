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
# A program that names an interpreter (the dynamic loader) needs the host's libraries.
if [[ $(readelf -lW "$build/dostrel") == *"program interpreter"* ]]; then
    echo "$build/dostrel is linked dynamically: the Debian 13 root needs a static one" >&2
    exit 1
fi
need_packages debootstrap tar gzip util-linux
. "$source_dir/tests/support/debian_root.sh"
started=$SECONDS

if [ -z "${DOSTREL_RACK3_TARBALL:-}" ]; then
    DOSTREL_RACK3_TARBALL=$(debian_root_tarball trixie "$(dpkg --print-architecture)" \
        $(ruby_test_packages trixie))
    # Processes and mounts of its own: whatever the run leaves running or mounted ends with it.
    DOSTREL_RACK3_TARBALL=$DOSTREL_RACK3_TARBALL DOSTREL_RACK3_STARTED=$started exec \
        unshare --pid --fork --kill-child --mount --propagation private bash "$0" "$@"
fi
started=${DOSTREL_RACK3_STARTED:-$SECONDS}
[ $$ -eq 1 ] || { echo "not in a process namespace of its own" >&2; exit 1; }
# The root in memory: unpacked and gone in seconds, where a loaded disk takes a minute.
root=$(mktemp -d /var/tmp/dostrel-rack3.XXXXXX)
mount -t tmpfs -o size=2g tmpfs "$root"
cleanup() {
    kill -KILL -1 2>/dev/null || true # every other process of this namespace, if any is left
    umount -l "$root" && rmdir "$root" || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM
tar -C "$root" -xzf "$DOSTREL_RACK3_TARBALL"
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
