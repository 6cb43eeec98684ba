#!/usr/bin/env bash
# The README's and the guides' commands, checked against the project as it is:
#  - every command line they show (```sh blocks, "$ " lines of transcripts, `scripts/...`
#    spans) starts with a program that exists: an executable of the project or one on PATH;
#  - every --option they name, anywhere, is spelt somewhere in the project's scripts,
#    programs and build files, or in cmake's or ctest's help: rename an option and this fails;
#  - every preset they name is in CMakePresets.json, and no figure is left as {{...}}.
# Usage: check_docs.sh SOURCE-DIR
set -uo pipefail
cd "$1"
docs=(README.md docs/*.md)
failed=0
fail() { echo "FAILED: $*"; failed=1; }

known=$(cat scripts/* standins/*.cpp bench/*.cpp tests/campaign/*.cpp tests/*.sh tests/wine/* \
    CMakeLists.txt */CMakeLists.txt cmake/*.cmake runtime/*.cmake installer/*.nsi 2>/dev/null
    cmake --help; cmake --build --help 2>&1; cmake --install --help 2>&1; ctest --help)
commands=$(for doc in "${docs[@]}"; do
    awk -v doc="$doc" '
        /^```/ { block = !block; shell = block && $0 ~ /^```sh/; next }
        block && shell && !/^[ \t]*#/ { line = line $0; if (line ~ /\\$/) { sub(/\\$/, "", line); next } print doc ": " line; line = "" }
        block && /^\$ / { print doc ": " substr($0, 3) }
        !block { while (match($0, /`scripts\/[^`]*`/)) { print doc ": " substr($0, RSTART + 1, RLENGTH - 2); $0 = substr($0, RSTART + RLENGTH) } }
    ' "$doc"
done)
while IFS= read -r entry; do
    doc=${entry%%: *} line=${entry#*: }
    line=${line%%#*}
    for part in $(sed 's/&&/\n/g; s/|/\n/g; s/;/\n/g' <<<"$line" | awk '{print $1}'); do
        case $part in
        "" | cd | echo | "<"* | "'"*) ;;
        */*) [ -x "$part" ] || fail "$doc: $part is no executable of the project" ;;
        *) command -v "$part" >/dev/null || fail "$doc: $part is no command" ;;
        esac
    done
    for preset in $(grep -oE -- '--preset [a-z0-9_-]+' <<<"$line" | cut -d' ' -f2); do
        grep -q "\"name\": \"$preset\"" CMakePresets.json || fail "$doc: no preset $preset"
    done
done <<<"$commands"
for option in $(cat "${docs[@]}" | grep -oE -- '(^|[ `(])--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' | sort -u); do
    grep -qF -- "$option" <<<"$known" || fail "the docs name $option, which nothing in the project spells"
done
grep -n '{{' "${docs[@]}" && fail "figures left unfilled"
exit $failed
