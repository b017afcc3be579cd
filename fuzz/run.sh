#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds from its seed corpus (fuzz/corpus/<target>),
# JOBS targets at a time, and prints one line per target with its executions, coverage
# and findings, then "fuzz: N targets, N findings". Exits 1 when anything was found.
# New corpus entries go to BUILD/corpus/<target>, findings to BUILD/findings/<target>
# (emptied when its target starts again) with the target's log beside them.
# Usage: fuzz/run.sh BUILD_DIR SECONDS [JOBS, default 2]
set -uo pipefail

build=$1
seconds=$2
jobs=${3:-2}
source_dir=$(cd "$(dirname "$0")" && pwd)
targets=(format describe_irp debug_level usb_config user_requests radio tools)

# The driver's pool, handles and threads are checked by the emulated kernel at every
# unload; libFuzzer's own leak scan of every run would only slow the device targets.
options_for() {
    case $1 in
    usb_config | user_requests | radio | debug_level) echo "-detect_leaks=0 -timeout=30" ;;
    tools) echo "-close_fd_mask=3 -timeout=10" ;;
    *) echo "-timeout=10" ;;
    esac
}

run_target() {
    local target=$1
    local corpus=$build/corpus/$target findings=$build/findings/$target log=$build/findings/$target.log
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings"
    local dictionary=()
    [ -f "$source_dir/dict/$target.dict" ] && dictionary=(-dict="$source_dir/dict/$target.dict")
    # shellcheck disable=SC2046
    "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
        -artifact_prefix="$findings/" $(options_for "$target") "${dictionary[@]}" \
        "$corpus" "$source_dir/corpus/$target" >"$log" 2>&1
    local executions coverage found
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    found=$(find "$findings" -maxdepth 1 -type f | wc -l)
    local line="fuzz: $target: ${executions:-0} executions, coverage ${coverage:-0}, $found finding(s)"
    [ "$found" -gt 0 ] && line="$line in $findings, log $log"
    echo "$line"
}

mkdir -p "$build/findings"
summary=$build/findings/summary
: >"$summary"
running=0
for target in "${targets[@]}"; do
    run_target "$target" >>"$summary" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

for target in "${targets[@]}"; do grep "^fuzz: $target:" "$summary"; done
total=$(awk '{ for (i = 1; i < NF; i++) if ($(i + 1) ~ /^finding/) sum += $i } END { print sum + 0 }' "$summary")
echo "fuzz: ${#targets[@]} targets, $total findings"
[ "$total" -eq 0 ]
