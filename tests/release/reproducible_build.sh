#!/usr/bin/env bash
# A release can be verified only if anyone who builds the tagged source gets the same bytes.
# Packages the build under test, then makes a clean build of the same source now, in a
# folder of another name (only what the release and the package need: the DLL, the launcher
# stand-in the package carries, Quillmarsh2.msi, and CPack's archive), and compares
# qmhook.dll, the release archive and Quillmarsh2.msi byte for byte.
# Usage: reproducible_build.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
source_dir=$1 build_dir=$2
archive_of() { ls "$1"/qmhook-*-win32.tar.gz; }

cmake --build "$build_dir" --target package >/dev/null
other=$(mktemp -d /tmp/qmhook-rebuild.XXXXXX)
trap 'rm -rf "$other"' EXIT
(cd "$source_dir" && cmake --preset mingw -B "$other/clean" >/dev/null)
pairs=("bin/qmhook.dll:bin/qmhook.dll")
targets=(qmhook)
if [ -f "$build_dir/bin/Quillmarsh2.msi" ]; then # built where wixl and its helpers are
    pairs+=("bin/Quillmarsh2.msi:bin/Quillmarsh2.msi")
    targets+=(quillmarsh2_msi)
fi
cmake --build "$other/clean" --target "${targets[@]}" >/dev/null
(cd "$other/clean" && cpack >/dev/null)
pairs+=("$(basename "$(archive_of "$build_dir")"):$(basename "$(archive_of "$other/clean")")")

failed=0
for pair in "${pairs[@]}"; do
    first=$build_dir/${pair%%:*} second=$other/clean/${pair#*:}
    sha256sum "$first" "$second"
    if ! cmp "$first" "$second"; then
        cmp -l "$first" "$second" | head -5 || true
        failed=1
    fi
done
exit $failed
