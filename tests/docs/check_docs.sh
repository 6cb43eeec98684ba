#!/usr/bin/env bash
# The README's and the guides' commands, checked against the project as it is:
#  - every command line they show (```sh blocks, "$ " lines of transcripts, `scripts/...`
#    spans) starts, after any VAR=value assignments, with a program that exists: an
#    executable of the project or one on PATH;
#  - every --option on such a line is one that program's parser accepts, by its exact name:
#    the names a project program compares its arguments with (not its usage text), or
#    cmake's and ctest's own;
#  - every usage text of a project program names only options its parser accepts;
#  - every other --option they name is, by its exact name, one of those or a word of the
#    project's build files;
#  - every preset they name is in CMakePresets.json, and no figure is left as {{...}}.
# Usage: check_docs.sh SOURCE-DIR
set -uo pipefail
cd "$1"
docs=(README.md docs/*.md)
failed=0
fail() { echo "FAILED: $*"; failed=1; }
options_in() { grep -oE -- '(^|[^a-z0-9-])--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' | sort -u; }

# Each project program that takes options: the files of its parser.
declare -A parsers=(
    [scripts/simulate-install]="scripts/simulate-install standins/qmhost.cpp"
    [scripts/bench]=bench/bench.cpp
    [scripts/campaign]=tests/campaign/campaign.cpp
)
# What a parser compares arguments with: == "--x" or strcmp(arg, "--x") in C++, a case
# pattern --x) or --x | ... in shell.
parsed() {
    grep -hoE -- '(== *|strcmp\([^,]*, *)"--[a-z0-9-]+"|^ *(--[a-z0-9-]+ *\| *)*--[a-z0-9-]+ *\)' "$@" |
        options_in
}
# A usage text: the options inside the program's string literals and here-documents,
# outside the parser's own comparisons.
usage() {
    grep -hvE -- '(== *|strcmp\()"--|^ *(--[a-z0-9-]+ *\| *)*--[a-z0-9-]+ *\)' "$@" |
        grep -E -- '"[^"]*--[a-z]|^ +--[a-z]|\[--[a-z]' | options_in
}
tools=$(cmake --help; cmake --build 2>&1; cmake --install 2>&1; ctest --help)
tool_options=$(options_in <<<"$tools")
all_parsed=$(for program in "${!parsers[@]}"; do parsed ${parsers[$program]}; done | sort -u)
build_words=$(cat CMakeLists.txt */CMakeLists.txt cmake/*.cmake runtime/*.cmake | options_in)
for program in "${!parsers[@]}"; do
    accepted=$(parsed ${parsers[$program]})
    for option in $(usage ${parsers[$program]}); do
        grep -qxF -- "$option" <<<"$accepted" || fail "$program's usage names $option, which its parser does not take"
    done
done

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
    while IFS= read -r part; do
        read -r -a words <<<"$part"
        while [[ ${words[0]:-} =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do words=("${words[@]:1}"); done
        program=${words[0]:-}
        case $program in
        "" | cd | echo | "<"* | "'"*) continue ;;
        */*) [ -x "$program" ] || fail "$doc: $program is no executable of the project" ;;
        *) command -v "$program" >/dev/null || fail "$doc: $program is no command" ;;
        esac
        if [ -n "${parsers[$program]:-}" ]; then
            accepted=$(parsed ${parsers[$program]})
        elif [[ $program =~ ^(cmake|ctest|scripts/test|scripts/test-debian13)$ ]]; then
            accepted=$tool_options
        else
            continue
        fi
        for option in $(options_in <<<"${words[*]:1}"); do
            grep -qxF -- "$option" <<<"$accepted" || fail "$doc: $program does not take $option"
        done
    done < <(sed 's/&&/\n/g; s/|/\n/g; s/;/\n/g' <<<"$line")
    for preset in $(grep -oE -- '--preset [a-z0-9_-]+' <<<"$line" | cut -d' ' -f2); do
        grep -q "\"name\": \"$preset\"" CMakePresets.json || fail "$doc: no preset $preset"
    done
done <<<"$commands"
known=$(printf '%s\n' "$all_parsed" "$tool_options" "$build_words")
for option in $(cat "${docs[@]}" | options_in); do
    grep -qxF -- "$option" <<<"$known" || fail "the docs name $option, which nothing in the project takes"
done
grep -n '{{' "${docs[@]}" && fail "figures left unfilled"
exit $failed
