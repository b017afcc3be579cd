#!/bin/bash
# Makes the pristine Wine prefix that every scenario of one architecture copies.
#   make-prefix.sh x64|x86 PREFIX
set -eu
arch=$1
prefix=$2

rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The x86 product needs a 32-bit Wine machine: its drivers run in a 32-bit winedevice.
if [ "$arch" = x86 ]; then
    export WINEARCH=win32
else
    export WINEARCH=win64
fi
wineboot -i >"$prefix.log" 2>&1 || { cat "$prefix.log"; exit 1; }
wineserver -w
test -f "$prefix/system.reg"
echo "pristine $arch prefix ready"
