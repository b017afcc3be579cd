#!/bin/sh
# Prepares or removes the pristine Wine prefix that the tools' Wine tests copy.
#   wine_prefix.sh prepare DIR win32|win64
#   wine_prefix.sh remove DIR
set -e
action=$1
dir=$2
case $action in
prepare)
    rm -rf "$dir"
    export WINEPREFIX="$dir" WINEARCH="$3" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineboot -i
    # Every copy starts its own server: this one must have ended and saved the registry.
    wineserver -w
    ;;
remove)
    rm -rf "$dir"
    ;;
*)
    echo "usage: $0 prepare DIR win32|win64 | remove DIR" >&2
    exit 2
    ;;
esac
