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

# quillon_build DIR [cmake options...]; QUILLON_BUILD_TARGET (space-separated names) limits the
# build to those targets.
quillon_build() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$QUILLON_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    fi
    # shellcheck disable=SC2086 # the target list splits into words on purpose
    cmake --build "$dir" ${QUILLON_BUILD_TARGET:+--target $QUILLON_BUILD_TARGET} -- -j"${QUILLON_BUILD_JOBS:-$(nproc)}"
}
