#!/usr/bin/env bash
# Runs the README's main command and checks its transcript (Wine ends lines with CR LF
# there): the default installation ends with the launcher started as documented, a vetoed
# one stops at stage 3 and says why, a user of another session is asked first; the same
# with the real installers (--installer, --msi). The first run is the whole command as a
# user runs it on a fresh clone, set-up and build included; the others find them done.
# In the emulated machine (QMHOOK_EMULATED) the 32-bit prefix's entry alone runs it
# (exit 77, skipped, for the 64-bit one): each run boots a prefix of its own there.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ -n "${QMHOOK_EMULATED:-}" ] && [ "${QMHOOK_WINE_ARCH:-win32}" = win64 ]; then
    echo "skipped in the emulated machine: the 32-bit prefix's entry runs the main command"
    exit 77
fi
failed=0
expect() { # transcript, pattern, what
    if ! grep -qE "$2" <<<"$1"; then
        echo "FAILED: $3 (no line matching: $2)"
        failed=1
    fi
}
refuse() { # transcript, pattern, what
    if grep -qE "$2" <<<"$1"; then echo "FAILED: $3 (a line matching: $2)"; failed=1; fi
}
simulate() { out=$(scripts/simulate-install "$@" 2>&1 | tr -d "\r"); echo "$out"; }
running='Quillmarsh2 is currently running\. Please close Quillmarsh2 before installing\.'
admin='Quillmarsh2 must be installed using an account with administrative access\.'
short_launch='C:\\[A-Z0-9~]+\\[A-Z0-9~]+\\TOVE~[A-Z0-9]+\.EXE /path Quillmarsh2$'

simulate
for stage in 1 2 3 4 5 6; do
    answer=1; [ $stage = 2 ] && answer=0
    expect "$out" "^stage $stage: answer $answer\$" "stage $stage"
done
expect "$out" '^stage 1: banner 340x159 saved to ' "banner saved"
expect "$out" "^launcher command line: $short_launch" "launch"
expect "$out" '^launcher directory: C:\\Program Files\\Quillmarsh2$' "launcher directory"
expect "$out" '^installation complete$' "completed"
refuse "$out" 'event log' "an event entry without a veto"
simulate --account user --app-running
expect "$out" "^stage 3: message box \"Error\": $admin\$" "admin message"
expect "$out" "^stage 3: event log: warning 1 \(Quillmarsh2 Setup\): $admin\$" "admin entry"
expect "$out" '^installation stopped by stage 3$' "veto"
refuse "$out" '^stage 4' "stages after a veto"
# Where nobody can answer: no box, the text in the debug output, the same veto.
simulate --unattended --app-running
expect "$out" "^stage 3: debug output: qmhook: $running\$" "unattended message"
expect "$out" "^stage 3: event log: warning 2 \(Quillmarsh2 Setup\): $running\$" "running entry"
expect "$out" '^installation stopped by stage 3$' "unattended veto"
refuse "$out" 'message box' "a message box where nobody can answer"
# A user of another session is asked first, closes Quillmarsh2, and the installation goes on.
simulate --app-running-in-session 2 --holder-answers retry
expect "$out" "^stage 3: asked session 2: \"Error\" \"$running\" style 5, 60 s, wait 1: closes" "the ask"
expect "$out" '^stage 3: event log: information 4 \(Quillmarsh2 Setup\): ' "went-on entry"
expect "$out" '^stage 3: event log:   Session 2 \(QMDOMAIN\\user2\): Retry\.$' "the holder's answer"
expect "$out" '^installation complete$' "completed after the ask"
# A 32-bit installer's $PROGRAMFILES on 64-bit Windows is "Program Files (x86)".
programs='C:\\Program Files'
[ "${QMHOOK_WINE_ARCH:-win32}" = win64 ] && programs='C:\\Program Files \(x86\)'
simulate --installer
expect "$out" '^installer exit code: 0$' "installer's exit code"
expect "$out" "^installed $programs\\\\Quillmarsh2\\\\Tovelgate\.exe\$" "installer's launcher"
expect "$out" "^launcher command line: $short_launch" "installer's launch"
expect "$out" "^launcher directory: $programs\\\\Quillmarsh2\$" "installer's launcher directory"
simulate --installer --app-running
expect "$out" "^message box \"Error\": $running\$" "installer's message"
expect "$out" '^installer exit code: 3$' "installer's veto"
expect "$out" "^event log: warning 2 \(Quillmarsh2 Setup\): $running\$" "installer's entry"
expect "$out" '^launcher: not started$' "no launch after the installer's veto"
simulate --msi --account user
expect "$out" '^msiexec exit code: 1603$' "package's veto"
expect "$out" "^log: $admin\$" "the message in the package's log"
expect "$out" '^launcher: not started$' "no launch after the package's veto"
exit $failed
