# Shared set-up for scripts/test, scripts/demo and friends: installs the Debian packages
# listed in scripts/packages/*.txt that are missing, then configures and builds.
set -euo pipefail
QUILLON_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

quillon_packages() {
    cat "$QUILLON_ROOT"/scripts/packages/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u
}

quillon_install_packages() {
    local missing=()
    local pkg
    for pkg in $(quillon_packages); do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# quillon_build DIR [cmake options...]; QUILLON_BUILD_TARGET limits the build to the targets
# it names (separated by spaces); QUILLON_CMAKE_OPTIONS adds cmake options (CI sets
# -DQUILLON_WERROR=ON) and, when set, configures an existing build folder again.
quillon_build() {
    local dir=$1
    shift
    local extra targets
    read -r -a extra <<<"${QUILLON_CMAKE_OPTIONS:-}"
    read -r -a targets <<<"${QUILLON_BUILD_TARGET:-}"
    if [ ! -f "$dir/build.ninja" ] || [ ${#extra[@]} -gt 0 ]; then
        cmake -S "$QUILLON_ROOT" -B "$dir" -G Ninja "$@" "${extra[@]}" >/dev/null
    fi
    cmake --build "$dir" ${targets[0]:+--target "${targets[@]}"} -- -j"${QUILLON_BUILD_JOBS:-$(nproc)}"
}
