#!/usr/bin/env bash
# Instructions the driver spends per delivered packet (an event of 2+255 bytes, an ACL
# packet of 4+1021 bytes), counted by callgrind over the ring appends of every USB
# transfer and the read that takes the packet out, kernel calls they make included.
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
    echo "$kind: $((total / count)) instructions per packet ($total over $count packets)"
done
