#!/bin/bash
# Copies a pristine Wine prefix for one run.
#   copy-prefix.sh PRISTINE TARGET
# The DLL folders are only read: hard links make the copy instant. Everything
# else (the registry above all) is copied, so the pristine prefix stays as it was.
set -eu
pristine=$1
target=$2
cp -al "$pristine" "$target"
(cd "$pristine" && find . -type f -not -path './drive_c/windows/system32/*' -not -path './drive_c/windows/syswow64/*' \
    -not -path './drive_c/windows/winsxs/*' -print0) |
    while IFS= read -r -d '' file; do cp -a --remove-destination "$pristine/$file" "$target/$file"; done
