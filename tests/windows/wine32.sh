#!/usr/bin/env bash
# wine32.sh PROGRAM.exe [ARGUMENT...] -- runs a 32-bit Windows program as wine would, under Debian
# 12's wine32 in an i386 root where qemu-i386 10 emulates every i386 process: this machine may run
# no 32-bit x86 code itself, and Debian 12's own qemu 7.2 cannot run Wine (it ignores
# MAP_FIXED_NOREPLACE). The current directory and the program's are seen at the same paths in the
# root; the environment, the standard streams and the exit status pass through unchanged.
# wine32.sh --prepare makes the root ready (tests/support/debian_root.sh: made once a week,
# unpacked once into the cache and kept with its Wine prefixes) or says why it cannot (exit 77):
# a kernel before 6.7, or a root that cannot be made. Needs root.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../support/debian_root.sh"
dir=$debian_root_cache/wine32
root=$dir/root
emulator=$debian_root_cache/emulator/qemu-i386

# prepare: the unpacked root, anew when the week's tarball is not the one it came from.
prepare() {
    local tarball
    [ "$(uname -r | awk -F. '{ print $1 * 1000 + $2 }')" -ge 6007 ] ||
        { echo "kernel $(uname -r) has no binfmt_misc of a user namespace's own"; return 1; }
    [ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mount)"; return 1; }
    mkdir -p "$dir" && exec 7>"$dir/lock" && flock 7 || return 1
    emulator=$(debian_emulator i386) &&
        tarball=$(DEBIAN_ROOT_EMULATOR=$emulator debian_root_tarball bookworm i386 wine wine32) ||
        { echo "the i386 root with wine32 could not be made"; return 1; }
    [ -d "$root" ] && [ "$(cat "$dir/from" 2>/dev/null)" = "$tarball" ] && return 0
    echo "unpacking $tarball into $root"
    rm -rf --one-file-system "$root" "$dir/from" && mkdir "$root" &&
        tar -C "$root" -xzf "$tarball" && echo "$tarball" >"$dir/from"
}

if [ "${1:-}" = --prepare ]; then
    prepare >&2 || { echo "32-bit Windows programs cannot run here: skipped" >&2; exit 77; }
    exit 0
fi
[ -f "$dir/from" ] || { echo "wine32.sh --prepare has not made the root" >&2; exit 125; }
# A program given by its path (not one of Wine's own, like wineboot) is seen where it is.
program=$1
shift
[ ! -f "$program" ] || program=$(realpath "$program")
# The kept Wine server stays in the mount namespace of the run that started it and sees only the
# directories shared then: every run shares the same ones, the temporary directory and the
# checkout. A run from elsewhere shares its directories too, with a Wine server of its own.
shares=("${TMPDIR:-/tmp}" "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)")
for wanted in "$PWD" "${program%/*}"; do
    [ "$wanted" != "$program" ] || continue
    case "$wanted/" in "${shares[0]%/}/"* | "${shares[1]}/"*) ;; *)
        debian_root_run "$root" "$emulator" wineserver -k </dev/null >/dev/null 2>&1
        shares+=("$wanted") ;;
    esac
done
export DEBIAN_ROOT_SHARE="${shares[*]}"
# One Wine server kept for 30 s after its last program, with Wine's services started away from the
# caller's streams: else each run waits seconds for them, and they hold the caller's pipes open.
debian_root_run "$root" "$emulator" wineserver -p30 </dev/null >/dev/null 2>&1
debian_root_run "$root" "$emulator" wine cmd /c exit </dev/null >/dev/null 2>&1
debian_root_run "$root" "$emulator" wine "$program" "$@"
