#!/usr/bin/env bash
# apt_mirror_of (scripts/common.sh), which scripts/setup falls back on, in the apt layouts
# machines have: each row writes one sources file and the mirror it must yield for bookworm.
set -uo pipefail
. "$(dirname "$0")/../../scripts/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'cdrom:/media\nhttp://listed.example/debian\tpriority:1\n' > "$work/mirrors.list"
failed=0
row() { # what, file beneath etc/apt, its content (printf format), the mirror expected
    rm -rf "$work/apt" && mkdir -p "$work/apt/sources.list.d"
    printf "$3" > "$work/apt/$2"
    # It must answer 0: setup and test-debian13 call it under set -e and pipefail.
    got=$(apt_mirror_of bookworm "$work/apt") || { echo "FAILED: $1: exit status $?"; failed=1; }
    got=$(head -n 1 <<<"$got")
    [ "$got" = "$4" ] || { echo "FAILED: $1: '$got', expected '$4'"; failed=1; }
}
d=sources.list.d/debian.sources
row deb822 $d 'Types: deb\nURIs: http://a.example/debian\nSuites: bookworm\n' http://a.example/debian
row "cloud image's mirror list" $d "Types: deb\nURIs: mirror+file://$work/mirrors.list\nSuites: bookworm\n" \
    http://listed.example/debian
row "several URIs" $d 'Types: deb\nURIs: cdrom:[Debian GNU/Linux 12]/ https://b.example/debian\nSuites: bookworm\n' \
    https://b.example/debian
row "folded field" $d 'Types: deb\n# a comment\nURIs:\n file:/srv/mirror\n http://c.example/debian\nSuites: bookworm\n' \
    file:/srv/mirror
row "CRLF line ends" $d 'Types: deb\r\nURIs: http://d.example/debian\r\nSuites: bookworm\r\n' http://d.example/debian
row "one-line, CRLF" sources.list 'deb [arch=amd64] http://e.example/debian bookworm main\r\n' http://e.example/debian
row "sources only, another suite, disabled" $d 'Types: deb-src\nURIs: http://f.example/d\nSuites: bookworm\n\nTypes: deb\nURIs: http://g.example/d\nSuites: trixie\n\nTypes: deb\nURIs: http://h.example/d\nSuites: bookworm\nEnabled: no\n' ''
exit $failed
