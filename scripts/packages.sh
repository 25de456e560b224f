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
