#!/bin/sh
# Copy quality under line noise: the same Class 1 calls (a one-page fine fax with a noise
# burst in the page) against our receiver (quillon-receive) and against the simulator's
# reference receiver (spandsp's own fax machine), side by side per noise level:
#   completed  share of calls in which the page was received and confirmed
#   intact     share of the page's rows received intact, over all calls
# Each figure rests on CALLS calls per level and receiver. Our calls run in real time
# (about 35 s each, two at a time); the reference runs with --fast.
#
# usage: bench/fax/copy_quality_noise.sh BUILD_DIR [CALLS] [LEVELS_DBM0] [BURST_MS]
#   e.g. bench/fax/copy_quality_noise.sh build 4 "-30 -20 -10 0" 1500
set -eu
build=${1:?build directory}
calls=${2:-4}
levels=${3:-"-30 -20 -10 0"}
burst=${4:-1500}
sim=$build/tools/linesim/quillon-linesim
rx=$build/tools/receive/quillon-receive
fax=$(dirname "$0")/../../tests/data/faxes/text_fine_1p.tif
rows=$(tiffinfo "$fax" | sed -n 's/.*Image Length: *\([0-9]*\).*/\1/p' | head -n1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ours() { # level n -> "completed rows"
    d=$work/ours.$1.$2
    mkdir -p "$d"
    "$sim" --noise "1:1000:$burst:$1" --link "$d/tty" "$fax" >"$d/sim.out" 2>"$d/sim.log" &
    while [ ! -e "$d/tty" ]; do sleep 0.1; done
    "$rx" "$d/tty" --dir "$d/rx" --once --class 1 --bps 9600 >"$d/rx.out" 2>&1 || true
    wait
    line=$(grep '^RECEIVED' "$d/rx.out" || true)
    if [ -n "$line" ]; then
        echo "1 $(echo "$line" | sed 's/.*last_page_rows=\([0-9]*\).*/\1/')"
    else
        echo "0 0"
    fi
}

reference() { # level n -> "completed rows"
    out=$("$sim" --reference-receiver --fast --verbose --noise "1:1000:$burst:$1" "$fax" 2>&1)
    pages=$(echo "$out" | sed -n 's/.*reference receiver: \([0-9]*\) pages.*/\1/p')
    bad=$(echo "$out" | sed -n 's/.*status [0-9]* ([^)]*), \([0-9]*\) bad rows.*/\1/p')
    if echo "$out" | grep -q 'pages_sent=1 ' && [ "${pages:-0}" -ge 1 ]; then
        echo "1 $((rows - ${bad:-0}))"
    else
        echo "0 0"
    fi
}

printf '%-8s %-6s | %-22s | %-22s\n' "dBm0" "calls" "ours: completed intact" "reference: completed intact"
for level in $levels; do
    oc=0 or=0 rc=0 rr=0 n=0
    while [ $n -lt "$calls" ]; do
        # Two of our calls at a time (real time), the references meanwhile.
        ours "$level" $n >"$work/r1" &
        ours "$level" $((n + 1)) >"$work/r2" &
        for k in 1 2; do
            r=$(reference "$level")
            rc=$((rc + ${r% *})); rr=$((rr + ${r#* }))
        done
        wait
        for f in "$work/r1" "$work/r2"; do
            r=$(cat "$f")
            oc=$((oc + ${r% *})); or=$((or + ${r#* }))
        done
        n=$((n + 2))
    done
    printf '%-8s %-6s | %5d%%    %8.1f%%   | %5d%%    %8.1f%%\n' "$level" "$n" \
        $((100 * oc / n)) "$(echo "100 * $or / ($n * $rows)" | bc -l)" \
        $((100 * rc / n)) "$(echo "100 * $rr / ($n * $rows)" | bc -l)"
done
