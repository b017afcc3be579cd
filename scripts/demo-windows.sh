#!/usr/bin/env bash
# The two-machine session with machine A a Windows machine: the x86 product
# Wrenlok.sys installed from its INF and PnP-started by Wine's kernel (wine32),
# opened by the Win32 build of the host stack, its radio a controller of the
# same btvirt as machine B, which runs on our emulation.
# Usage: scripts/demo-windows.sh <host build directory> [pristine x86 prefix] [work directory]
# A pristine prefix is made when the one named (by default in the work directory) has none.
set -euo pipefail

usage="usage: demo-windows.sh <host build directory> [pristine x86 prefix] [work directory]"
build=$(cd "${1:?$usage}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
tests=$root/tests/wine-kernel
sim=$build/sim/wrenlok-sim
relay=$build/tests/wine-kernel/wrenlok-wine-relay
work=${3:-$build/demo-windows}
pristine=${2:-$work/pristine-x86}

for need in "$sim" "$relay"; do
    [ -e "$need" ] || { echo "demo-windows.sh: $need not built (make host)" >&2; exit 1; }
done
command -v btvirt >/dev/null || { echo "demo-windows.sh: btvirt missing (Debian package bluez-test-tools)" >&2; exit 1; }

mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -f "$work"/*.btsnoop "$work"/*.out "$work/a.lines"

relay_pid=
stop_relay() {
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
        relay_pid=
    fi
}
trap stop_relay EXIT

# The relay starts the private btvirt and says where it serves.
coproc RELAY { exec "$relay"; }
relay_pid=$RELAY_PID
read -r -u "${RELAY[0]}" _ socket
read -r -u "${RELAY[0]}" _ port
echo "demo: btvirt serves controllers at $socket; machine A reaches it through loopback port $port"
echo "demo: machine A is Windows under Wine (x86 Wrenlok.sys on wine32), machine B our emulation."

# B's inquiry must find A discoverable: B starts when A's trace says it is.
mkfifo "$work/a.lines"
"$tests/windows-machine.sh" "$pristine" "$work" --role A --relay "$port" --btsnoop "$work/a.btsnoop" \
    </dev/null >"$work/a.lines" 2>&1 &
a_pid=$!
b_pid=
while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line" | tee -a "$work/a.out"
    if [ -z "$b_pid" ] && [[ $line == *"waiting for a connection"* ]]; then
        ("$sim" --role B --socket "$socket" --btsnoop "$work/b.btsnoop" | tee "$work/b.out") &
        b_pid=$!
    fi
done <"$work/a.lines"

status=0
wait "$a_pid" || status=1
if [ -n "$b_pid" ]; then wait "$b_pid" || status=1; else status=1; fi
grep -q "A summary: sent" "$work/a.out" || status=1
if grep -a -q -E 'Unhandled (exception|page fault|stack overflow)|wine: Unhandled' "$work/wine.log"; then
    echo "demo: FAILED: an unhandled exception in Wine's log $work/wine.log"
    status=1
fi
for f in "$work/a.btsnoop" "$work/b.btsnoop"; do
    if command -v btmon >/dev/null && ! btmon -r "$f" >/dev/null 2>"$work/btmon.err"; then
        echo "demo: FAILED: btmon could not read $f"
        status=1
    fi
done
stop_relay
rm -f "$work/a.lines"
if [ "$status" -eq 0 ]; then
    rm -rf "$work/prefix"
    echo "demo: both machines done: every payload came back as sent, no crash in Wine's log"
else
    echo "demo: FAILED (Wine's log: $work/wine.log, the prefix: $work/prefix)"
fi
echo "demo: btsnoop captures (decode with btmon -r FILE):"
echo "demo:   A: $work/a.btsnoop"
echo "demo:   B: $work/b.btsnoop"
exit "$status"
