#!/usr/bin/env bash
# One Windows machine under Wine for the host-side runs: a copy of a pristine
# x86 prefix (made first when there is none), the test bus and the product
# package installed, then wrenlok-sim.exe with the arguments given (an argument
# that is a Linux path reaches it as Wine's Z: path), its standard streams this
# script's. Wine's server is stopped when the program ends; its exit code is
# this script's.
#   windows-machine.sh PRISTINE WORK [wrenlok-sim.exe arguments...]
# Leaves WORK/prefix and WORK/wine.log (Wine's log, with winedevice's, where
# the driver's DbgPrint lines land).
set -euo pipefail

pristine=${1:?usage: windows-machine.sh PRISTINE WORK [arguments...]}
work=${2:?usage: windows-machine.sh PRISTINE WORK [arguments...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
images=$root/build/wine-kernel/x86
dist=$root/dist/x86

for need in "$images/wrenlok-sim.exe" "$images/WrenlokWineClient.exe" "$images/WrenlokTestBus.inf" \
            "$dist/Wrenlok.sys" "$dist/Wrenlok.inf"; do
    [ -e "$need" ] || { echo "windows-machine.sh: $need not built (make windows)" >&2; exit 1; }
done

mkdir -p "$work"
rm -rf "$work/prefix" "$work/wine.log" "$work/install.out"
[ -f "$pristine/system.reg" ] || "$here/make-prefix.sh" x86 "$pristine" >/dev/null
"$here/copy-prefix.sh" "$pristine" "$work/prefix"

export WINEPREFIX=$work/prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }

# Wine's server is found by its prefix: it must be stopped while the prefix is still there.
stop() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
trap stop EXIT

# The persistent server must not hold on to the caller's streams.
wineserver -p </dev/null >/dev/null 2>&1
# The first program's WINEDEBUG and standard error are winedevice's.
WINEDEBUG=warn+debugstr,err+all wine "$images/WrenlokWineClient.exe" install-bus \
    "$(windows "$images/WrenlokTestBus.inf")" </dev/null >"$work/install.out" 2>"$work/wine.log"
wine "$images/WrenlokWineClient.exe" install-driver "$(windows "$dist/Wrenlok.inf")" </dev/null \
    >>"$work/install.out" 2>&1

arguments=()
for argument in "$@"; do
    if [[ $argument == /* ]]; then arguments+=("$(windows "$argument")"); else arguments+=("$argument"); fi
done
status=0
wine "$images/wrenlok-sim.exe" "${arguments[@]}" || status=$?
exit "$status"
