# packages.sh -- sourced by the scripts: installs the Debian packages that are missing, and builds
# the programs that the scripts run.

dostrel_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# need_packages PACKAGE...: installs the packages that are not installed yet. Another apt or dpkg
# at work (an unattended upgrade, a second script) is waited for, up to ten minutes, rather than
# failing on its lock.
need_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
        install -y -qq --no-install-recommends "${missing[@]}"
}

# build_gateway [CMAKE-OPTION...]: the release build in build/ with everything, tests included
# (the test command's).
build_gateway() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build build -j"$(nproc)"
}

# The gateway's build tools: the compiler, and musl (musl-tools), against which the Linux gateway
# is built (cmake/GatewayMusl.cmake).
gateway_build_packages=(g++ cmake make musl-tools)

# build_programs DIR TARGET...: a release build of the named programs alone in DIR, configured
# without the tests so that it needs no test libraries; installs the build tools first. Quiet
# unless it fails.
build_programs() {
    local dir=$1
    shift
    need_packages "${gateway_build_packages[@]}"
    echo "building $* in $dir"
    mkdir -p "$dir"
    if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDOSTREL_TESTS=OFF &&
        cmake --build "$dir" -j"$(nproc)" --target "$@"; } >"$dir/build.log" 2>&1; then
        cat "$dir/build.log" >&2
        return 1
    fi
}

# use_gateway_build: the build named by DOSTREL_BUILD, or else the gateway and the sample
# application server built now in build-programs/; exported with what scripts/webservers.sh
# needs. Run from the source folder.
use_gateway_build() {
    if [ -z "${DOSTREL_BUILD:-}" ]; then
        build_programs build-programs dostrel dostrel-appserver
        DOSTREL_BUILD=$PWD/build-programs
    fi
    export DOSTREL_BUILD DOSTREL_EXAMPLES=$PWD/examples/webservers PATH=$PATH:/usr/sbin
}

# test_gateway_build BUILD_DIR: the package test runners' gateway (their one argument, checked):
# BUILD_DIR made absolute in $build, with the gateway built there (tests off) when it is not
# there yet.
test_gateway_build() {
    if [ $# -ne 1 ]; then
        echo "usage: $0 BUILD_DIR" >&2
        exit 2
    fi
    mkdir -p "$1"
    build=$(cd "$1" && pwd)
    if [ ! -x "$build/dostrel" ]; then
        need_packages "${gateway_build_packages[@]}"
        cmake -S "$dostrel_source" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDOSTREL_TESTS=OFF \
            >/dev/null
        cmake --build "$build" -j2 --target dostrel >/dev/null
    fi
}

# The application servers are built from a copy in DIR/src, so that the source tree gets no
# build/, egg-info or .gem files, and installed offline.

# install_wsgi_server DIR: dostrel-wsgi into the virtual environment DIR/venv, made with
# Debian's interpreter and sharing its packages.
install_wsgi_server() {
    mkdir -p "$1/src"
    cp -r "$dostrel_source/python/"{pyproject.toml,README.md,dostrel_wsgi} "$1/src/"
    /usr/bin/python3 -m venv --system-site-packages "$1/venv"
    "$1/venv/bin/pip" install -q --no-index --no-build-isolation "$1/src"
}

# ruby_test_packages RELEASE: the Debian packages ruby/run_tests.sh needs on RELEASE (bookworm,
# trixie). From Rack 3 on (Debian 13), the rackup command has a package of its own.
ruby_test_packages() {
    echo ruby ruby-rack ruby-sinatra ruby-rack-protection ruby-railties ruby-actionpack \
        ruby-activerecord ruby-sqlite3 lighttpd curl
    [ "$1" = bookworm ] || echo ruby-rackup
}

# install_rack_server DIR: the dostrel gem into the gem folder DIR/gems.
install_rack_server() {
    mkdir -p "$1/src"
    cp -r "$dostrel_source/ruby/"{dostrel.gemspec,README.md,lib,bin} "$1/src/"
    (cd "$1/src" && gem build dostrel.gemspec >gem-build.log 2>&1) ||
        { cat "$1/src/gem-build.log" >&2; return 1; }
    (cd "$1/src" && GEM_HOME=$1/gems gem install --local --no-document dostrel-*.gem >/dev/null)
}
