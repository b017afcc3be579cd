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
$sudo apt-get update -qq
# Wine needs what it recommends (the wine launcher, its libraries) to run programs.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
