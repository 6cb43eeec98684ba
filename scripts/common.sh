# Shared by the scripts: whether this machine runs 32-bit x86 programs natively.
# A binfmt_misc entry for i386 ELF (qemu-user) also makes execve succeed, but Wine under
# user-mode emulation takes about a minute per process start; only native execution counts.
runs_i386_natively() {
    ! grep -qs '^magic 7f454c4601' /proc/sys/fs/binfmt_misc/*[!s] &&
        /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# The mirror the machine's own apt sources use for SUITE (e.g. bookworm, trixie-security),
# from deb822 files (Types: deb, URIs:, Suites:, not Enabled: no; fields may be folded onto
# the next lines) and one-line "deb [options] URI suite ..." entries, CRLF line ends too: a
# local mirror or proxy stays in use. Of several URIs the first http, https or file one,
# which debootstrap takes too; a mirror+file: list gives its first http(s) line. Prints
# nothing when no source names the suite. ETC (default /etc/apt) is where apt's files are.
apt_mirror_of() {
    local suite=$1 etc=${2:-/etc/apt} file uris
    for file in "$etc"/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        while read -r -a uris; do
            first_usable_uri "${uris[@]}"
        done < <(tr -d '\r' < "$file" | awk -v suite="$suite" '
            function flush() {
                if (uris != "" && named && binary && enabled) print uris
                uris = ""; named = 0; binary = 0; enabled = 1; field = ""
            }
            function take(value) {
                if (field == "types" && value == "deb") binary = 1
                if (field == "uris") uris = uris " " value
                if (field == "suites" && value == suite) named = 1
                if (field == "enabled") enabled = tolower(value) != "no"
            }
            BEGIN { enabled = 1 }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            /^[ \t]/ { for (i = 1; i <= NF; i++) take($i); next }
            { field = tolower($1); sub(/:.*/, "", field); sub(/^[^:]*:/, ""); for (i = 1; i <= NF; i++) take($i) }
            END { flush() }')
    done
    # Either file may be missing: no failure, as the callers run under pipefail and -e.
    { cat "$etc/sources.list" "$etc"/sources.list.d/*.list 2>/dev/null || true; } |
        tr -d '\r' | sed -E 's/\[[^]]*\]//' |
        awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2 }' |
        while read -r uris; do first_usable_uri "$uris"; done
}

# The first of the URIs that debootstrap and a plain apt source take.
first_usable_uri() {
    local uri list
    for uri in "$@"; do
        case $uri in
        http://* | https://* | file:*) echo "$uri"; return ;;
        mirror+file:*)
            list=${uri#mirror+file:}
            while [[ $list == //* ]]; do list=${list#/}; done
            uri=$(tr -d '\r' < "$list" 2>/dev/null | awk '$1 ~ /^https?:\/\// { print $1; exit }')
            [ -n "$uri" ] && { echo "$uri"; return; } ;;
        esac
    done
    return 0
}
