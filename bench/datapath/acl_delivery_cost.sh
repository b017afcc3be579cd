#!/usr/bin/env bash
# Instructions per 1025-byte ACL packet delivered by a zero-delay scripted radio
# through the driver to reads, for each bus timing: every thread's, from the
# first batch queued to the last packet read (the Counted benchmark zeroes and
# dumps callgrind's counts around its batches), divided by the packets read.
# Usage: bench/datapath/acl_delivery_cost.sh [build dir, default build/host]
set -euo pipefail

build=${1:-build/host}
program=$build/bench/datapath/acl_delivery_bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out/cost.%p" \
    "$program" --benchmark_filter='^Counted' --benchmark_format=csv >"$out/bench.csv" 2>"$out/valgrind.log"
for timing in 0 1 2; do
    dump=$(grep -l "^desc: Trigger: Client Request: acl delivery, timing $timing\$" "$out"/cost.* | head -n 1)
    total=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$dump")
    [ -n "$total" ] || total=$(sed -n 's/^totals: \([0-9]*\).*/\1/p' "$dump")
    row=$(grep "^\"Counted/timing:$timing/" "$out/bench.csv")
    packets=$(echo "$row" | awk -F, '{ print $NF }')
    label=$(echo "$row" | awk -F, '{ print $(NF-3) }')
    packets=${packets%%.*}
    label=${label//\"/}
    echo "acl, $label: $((total / packets)) instructions per 1025-byte packet, every thread, over $packets packets"
done
