#!/usr/bin/env bash
# The CPU time quillond spends waiting for a call, against efax waiting on the same kind of
# simulated modem in the same run. Usage: bench/server/idle_cpu.sh [BUILD_DIR] [SECONDS]
# (defaults: build, 600). Prints both figures and their ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-600}
work=$(mktemp -d /tmp/quillon-idle-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A modem that never rings: the first ring is days away.
modem() {
    "$build/tools/linesim/quillon-linesim" --link "$work/$1" --first-ring-ms 999999999 \
        --max-call-s 999999 "$root/tests/data/faxes/text_std_1p.tif" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -e "$work/$1" ] && return 0; sleep 0.1; done
    echo "no simulated modem at $work/$1" >&2
    exit 1
}
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

modem modem-q
modem modem-e
export QUILLON_CONFIG_DIR="$work/config"
cfg="$build/tools/config/quillon-config"
"$cfg" line add "Fax Modem" "$work/modem-q"
"$cfg" set rgModem "Fax Modem"
"$cfg" set rgSMTP 127.0.0.1:25
"$cfg" set rgEmailAddress office@localhost
"$build/src/app/quillond" --workdir "$work/server" 2>"$work/quillond.log" &
q=$!
pids+=("$q")
# efax waits for the modem to report a call (-w: no answer command of its own).
/usr/bin/efax -d "$work/modem-e" -o1 -w -iS0=0 -r "$work/efax-rx" >"$work/efax.log" 2>&1 &
e=$!
pids+=("$e")
# Both have prepared their modems after a few seconds; the measurement starts then.
sleep 5
q0=$(ticks "$q"); e0=$(ticks "$e")
sleep "$seconds"
q1=$(ticks "$q"); e1=$(ticks "$e")
hz=$(getconf CLK_TCK)
awk -v q=$((q1 - q0)) -v e=$((e1 - e0)) -v s="$seconds" -v hz="$hz" 'BEGIN {
    printf "idle over %d s: quillond %.2f s CPU (%.4f %% of one core), efax %.2f s CPU (%.4f %%)\n",
        s, q / hz, 100 * q / hz / s, e / hz, 100 * e / hz / s
    if (e > 0) printf "ratio quillond/efax: %.2f\n", q / e
    else printf "ratio quillond/efax: efax used less than one clock tick\n"
}'
kill -0 "$e" 2>/dev/null || { echo "efax ended early:"; tail -5 "$work/efax.log"; }
