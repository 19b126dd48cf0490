# Shared by the project's scripts: install what a fresh Debian 12 machine lacks, then build.
# Sourced, not run.

VORN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VORN_PACKAGES=(libevent-dev libfontconfig-dev libfreetype-dev libharfbuzz-dev nlohmann-json3-dev
               libgtest-dev cmake g++ pkg-config python3-fonttools fontconfig dpkg-dev
               opentype-sanitizer python3-h11 systemd nodejs)

# Installs the Debian packages named in the arguments that are not installed yet.
vorn_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
}

# Configures and builds into the folder named by $1 (further arguments go to cmake).
vorn_build() {
    local dir="$1"
    shift
    cmake -S "$VORN_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
