#!/usr/bin/env bash
# The NSIS installer that docs/host-integration.md gives compiles as it stands.
# Usage: nsis_recipe.sh SOURCE-DIR MAKENSIS QMHOOK-DLL
set -euo pipefail
source_dir=$1 makensis=$2 dll=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk '/^```nsis/ { inside = 1; next } inside && /^```/ { exit } inside' \
    "$source_dir/docs/host-integration.md" > "$work/recipe.nsi"
[ -s "$work/recipe.nsi" ] || { echo "FAILED: no nsis block in docs/host-integration.md"; exit 1; }
cd "$work"
"$makensis" -V2 -DQMHOOK_DLL="$dll" -DTOVELGATE_EXE="$dll" recipe.nsi
[ -s Quillmarsh2-setup.exe ] || { echo "FAILED: makensis made no Quillmarsh2-setup.exe"; exit 1; }
