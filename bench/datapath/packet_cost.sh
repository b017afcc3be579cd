#!/usr/bin/env bash
# Instructions the driver spends per delivered packet (an event of 2+255 bytes, an ACL
# packet of 4+1021 bytes), counted by callgrind over the ring appends of every USB
# transfer and the read that takes the packet out. Two figures: everything those steps
# run, the emulated kernel's spin locks and events included, and the driver's own code
# with the byte copies it asks for.
# Usage: bench/datapath/packet_cost.sh [build dir, default build/host]
set -euo pipefail

build=${1:-build/host}
program=$build/bench/datapath/packet_cost
count=1000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for kind in event acl; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$kind.out" \
        --toggle-collect='*WriteRingBuffer*' --toggle-collect='*GetThreadData*' \
        "$program" "$kind" "$count" >/dev/null 2>"$out/$kind.log"
    total=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$out/$kind.out")
    [ -n "$total" ] || total=$(sed -n 's/^totals: \([0-9]*\).*/\1/p' "$out/$kind.out")
    own=$(callgrind_annotate --auto=no --threshold=100 "$out/$kind.out" 2>/dev/null |
        awk '/driver\/(datapath|lifecycle|diag)\/|memcpy|memmove/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }')
    echo "$kind: $((total / count)) instructions per packet in all, $((own / count)) in driver code and its copies"
done
