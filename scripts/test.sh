#!/usr/bin/env bash
# test.sh -- builds the gateway with warnings as errors and runs every test: the release build's
# unit, process, web-server, load and package tests (the process tests once more under valgrind,
# and once against a 32-bit build under QEMU), the same suite built with AddressSanitizer and
# UBSan, the C library's threaded tests under ThreadSanitizer, the 64-bit and 32-bit Windows
# builds with their unit tests and process tests under Wine (the 32-bit one's in an i386 root
# under qemu-i386, skipped with its reason where that cannot be), and each fuzz target for a
# while (DOSTREL_FUZZ_SECONDS, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages "${gateway_build_packages[@]}" libgtest-dev libgmock-dev nlohmann-json3-dev \
    pkg-config valgrind groff-base bsdextrautils ccache \
    dpkg-dev clang libclang-rt-dev lighttpd apache2 nginx fcgiwrap curl \
    hyperfine wrk libfcgi-bin libfcgi-dev jq time \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 g++-multilib qemu-user-static haproxy \
    python3 python3-venv python3-pip-whl python3-setuptools-whl python3-setuptools python3-wheel \
    python3-pytest python3-flask python3-django gunicorn nodejs ca-certificates \
    debootstrap socat debhelper dh-python pybuild-plugin-pyproject lintian \
    golang-go gcc libc6-dev golang-github-go-chi-chi-dev golang-github-gorilla-mux-dev \
    golang-github-gin-gonic-gin-dev \
    ruby ruby-rack ruby-sinatra ruby-rack-protection ruby-railties ruby-actionpack \
    ruby-activerecord ruby-sqlite3 puma

# Every build's objects are kept between runs by ccache, so that a run after a small change
# compiles only what the change touched. Its paths are taken relative to the checkout, so that a
# fresh clone elsewhere finds them too (the debug information then names the first clone's folder).
[ -w /var/cache ] && export CCACHE_DIR=${CCACHE_DIR:-/var/cache/dostrel-ccache}
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-4G}
cached=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== release build, every test"
build_gateway -DDOSTREL_WERROR=ON "${cached[@]}"
ctest --test-dir build --output-on-failure -j2
echo "== 32-bit Linux build: the process tests run it under QEMU's user-mode emulator"
# This build stays on glibc (g++-multilib): Debian ships musl for i386 only as the i386
# architecture's own package (musl-dev:i386), which would make the machine multiarch.
cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake -DDOSTREL_WERROR=ON \
    -DDOSTREL_TESTS=OFF "${cached[@]}"
cmake --build build-m32 -j"$(nproc)" --target dostrel dostrel-check
DOSTREL_TEST_GATEWAY=$PWD/build-m32/dostrel DOSTREL_TEST_CHECK=$PWD/build-m32/dostrel-check \
    DOSTREL_TEST_WRAPPER=qemu-i386-static build/dostrel_process_tests --gtest_brief=1

echo "== AddressSanitizer and UBSan build: the gateway's and the C library's tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDOSTREL_SANITIZE=ON -DDOSTREL_WERROR=ON \
    "${cached[@]}"
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure -j2 \
    -E 'valgrind|package|demo|web_load|bench|python|node|pool|go_|ruby_|fresh_root|docs_|client_view'

echo "== ThreadSanitizer build: the C library's tests (threads, own loops, signals)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DDOSTREL_SANITIZE=thread -DDOSTREL_WERROR=ON \
    "${cached[@]}"
cmake --build build-tsan -j"$(nproc)" --target dostrel_appserver_tests
build-tsan/dostrel_appserver_tests --gtest_brief=1

echo "== Windows: 64-bit build with its tests under Wine; 32-bit build"
export WINEDEBUG=-all
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDOSTREL_WERROR=ON \
    "${cached[@]}"
cmake --build build-win64 -j"$(nproc)"
ctest --test-dir build-win64 --output-on-failure
bash tests/windows/wine_test.sh build-win64 build
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DDOSTREL_WERROR=ON \
    "${cached[@]}"
cmake --build build-win32 -j"$(nproc)"

echo "== Windows, 32-bit: its tests under wine32 in an i386 root where qemu-i386 emulates each process"
if bash tests/windows/wine32.sh --prepare; then
    ctest --test-dir build-win32 --output-on-failure
    DOSTREL_WINE=$PWD/tests/windows/wine32.sh bash tests/windows/wine_test.sh build-win32 build
fi

echo "== fuzzing"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDOSTREL_FUZZ=ON -DDOSTREL_TESTS=OFF "${cached[@]}"
cmake --build build-fuzz -j"$(nproc)" --target fuzz_config fuzz_content_length fuzz_request_roundtrip \
    fuzz_link_decoder
bash tests/fuzz/run_fuzzers.sh build-fuzz "${DOSTREL_FUZZ_SECONDS:-60}"
