# packages.sh -- sourced by the scripts: installs the Debian packages that are missing.
need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_gateway() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build build -j"$(nproc)"
}

# use_gateway_build: the build named by DOSTREL_BUILD, or the release build in build/, made now;
# exported with what scripts/webservers.sh needs. Run from the source folder.
use_gateway_build() {
    if [ -z "${DOSTREL_BUILD:-}" ]; then
        build_gateway >/dev/null
        DOSTREL_BUILD=$PWD/build
    fi
    export DOSTREL_BUILD DOSTREL_EXAMPLES=$PWD/examples/webservers PATH=$PATH:/usr/sbin
}
