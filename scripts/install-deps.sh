#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail

# wine32 runs the x86 product images; it comes from Debian's i386 multiarch.
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
          clang libclang-rt-14-dev
          mingw-w64 binutils-mingw-w64 wine wine64 wine32:i386 bluez bluez-test-tools)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
# A mirror in the middle of a sync fails an index now and then. Try again; if it still fails,
# take every package from the release's own suite: with one architecture's security index
# missing, the other's newer versions would break the i386 multiarch pairs Wine needs.
release=()
for attempt in 1 2 3; do
    if $sudo apt-get update -qq; then
        release=()
        break
    fi
    echo "apt-get update failed (attempt $attempt of 3)"
    release=(-t "$(. /etc/os-release && echo "$VERSION_CODENAME")")
    [ "$attempt" -lt 3 ] && sleep 20
done
# Wine needs what it recommends (the wine launcher, its libraries) to run programs.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${release[@]}" "${missing[@]}"
