#!/usr/bin/env bash
# The peak resident memory of quillond while it receives a 20-page fax from the line
# simulator and mails it to a local aiosmtpd sink, against the peak of the simulated caller
# (quillon-linesim, spandsp) in the same run. Usage: bench/server/peak_rss.sh [BUILD_DIR]
# The call runs in real time (about 5 minutes).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d /tmp/quillon-rss-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# 20 standard-resolution text pages.
pages=()
for _ in $(seq 20); do pages+=("$root/tests/data/faxes/text_std_1p.tif"); done
tiffcp "${pages[@]}" "$work/fax20.tif"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$work/mail" \
    >/dev/null 2>&1 &
pids+=($!)
export QUILLON_CONFIG_DIR="$work/config"
cfg="$build/tools/config/quillon-config"
"$cfg" line add "Fax Modem" "$work/modem"
"$cfg" set rgModem "Fax Modem"
"$cfg" set rgSMTP "127.0.0.1:$port"
"$cfg" set rgEmailAddress office@localhost
"$cfg" set rgPhoneNumber "Direct connection"
"$cfg" set rgToEmail 1
"$build/tools/linesim/quillon-linesim" --link "$work/modem" --first-ring-ms 200 \
    --max-call-s 1800 "$work/fax20.tif" >"$work/linesim.out" 2>"$work/linesim.log" &
sim=$!
pids+=("$sim")
for _ in $(seq 100); do [ -e "$work/modem" ] && break; sleep 0.1; done
"$build/src/app/quillond" --workdir "$work/server" 2>"$work/quillond.log" &
q=$!
pids+=("$q")
hwm() { awk '/^VmHWM/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
sim_peak=0
t0=$(date +%s)
until grep -q " mailed " "$work/quillond.log"; do
    kill -0 "$q" 2>/dev/null || { echo "quillond ended:"; tail "$work/quillond.log"; exit 1; }
    if [ $(($(date +%s) - t0)) -gt 1800 ]; then echo "no mail after 30 min"; exit 1; fi
    s=$(hwm "$sim"); [ "${s:-0}" -gt "$sim_peak" ] && sim_peak=$s
    sleep 1
done
q_peak=$(hwm "$q")
pages_sent=$(sed -n 's/.*pages_sent=\([0-9]*\).*/\1/p' "$work/linesim.out")
size=$(du -k "$work"/server/faxes/*.APF | awk '{s += $1} END {print s}')
echo "20-page fax (caller says pages_sent=${pages_sent:-?}; APF ${size} KiB) received and mailed"
echo "peak RSS: quillond ${q_peak} KiB, quillon-linesim (caller) ${sim_peak} KiB," \
    "ratio $(awk -v a="$q_peak" -v b="$sim_peak" 'BEGIN {printf "%.2f", b ? a / b : 0}')"
