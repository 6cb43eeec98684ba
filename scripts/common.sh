# Shared by the scripts: whether this machine runs 32-bit x86 programs natively.
# A binfmt_misc entry for i386 ELF (qemu-user) also makes execve succeed, but Wine under
# user-mode emulation takes about a minute per process start; only native execution counts.
runs_i386_natively() {
    ! grep -qs '^magic 7f454c4601' /proc/sys/fs/binfmt_misc/*[!s] &&
        /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# The mirror the machine's own apt sources use for SUITE (e.g. bookworm, trixie-security),
# from deb822 files (Types: deb, URIs:, Suites:, not Enabled: no) and one-line
# "deb [options] URI suite ..." entries: a local mirror or proxy stays in use. Only http,
# https and file URIs, which debootstrap takes too. Prints nothing when no source names
# the suite.
apt_mirror_of() {
    local suite=$1 file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" '
            function found() { return uri ~ /^(https?|file):/ && named && binary && enabled }
            /^[ \t]*$/ { if (found()) exit; uri = ""; named = 0; binary = 0; enabled = 1; next }
            NR == 1 { enabled = 1 }
            tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") binary = 1 }
            tolower($1) == "uris:" { uri = $2 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) named = 1 }
            tolower($1) == "enabled:" { enabled = tolower($2) != "no" }
            END { if (found()) print uri }' "$file"
    done
    # Either file may be missing.
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | sed -E 's/\[[^]]*\]//' |
        awk -v suite="$suite" '$1 == "deb" && $3 == suite && $2 ~ /^(https?|file):/ { print $2 }' || true
}
