#!/usr/bin/env bash
# The two-machine session: wrenlok-sim starts a private controller emulator and
# two machines on it, each with the driver between its host stack and radio.
# Usage: scripts/demo.sh <host build directory>
set -euo pipefail

build=${1:?usage: demo.sh <host build directory>}
sim="$build/sim/wrenlok-sim"
[ -x "$sim" ] || { echo "demo.sh: $sim not built" >&2; exit 1; }
command -v btvirt >/dev/null || { echo "demo.sh: btvirt missing (Debian package bluez-test-tools)" >&2; exit 1; }

captures="$build/demo"
"$sim" --demo --btsnoop-dir "$captures" "${@:2}"

# The captures must decode cleanly with the standard analyser.
for f in "$captures/a.btsnoop" "$captures/b.btsnoop"; do
    if command -v btmon >/dev/null; then
        btmon -r "$f" >/dev/null 2>"$captures/btmon.err" || { echo "demo.sh: btmon could not read $f" >&2; exit 1; }
    fi
done
