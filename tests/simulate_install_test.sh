#!/usr/bin/env bash
# Runs the README's main command and checks its transcript (Wine ends lines with CR LF
# there): the default installation ends with the launcher started as documented, and the
# vetoed one stops at stage 3; the same with the real installer (--installer).
set -uo pipefail
cd "$(dirname "$0")/.."
failed=0
expect() { # transcript, pattern, what
    if ! grep -qE "$2" <<<"$1"; then
        echo "FAILED: $3 (no line matching: $2)"
        failed=1
    fi
}
out=$(scripts/simulate-install 2>&1 | tr -d "\r")
echo "$out"
for stage in 1 2 3 4 5 6; do
    answer=1; [ $stage = 2 ] && answer=0
    expect "$out" "^stage $stage: answer $answer\$" "stage $stage"
done
expect "$out" '^stage 1: banner 340x159 saved to ' "banner saved"
expect "$out" '^launcher command line: C:\\[A-Z0-9~]+\\[A-Z0-9~]+\\TOVE~[A-Z0-9]+\.EXE /path Quillmarsh2$' "launch"
expect "$out" '^launcher directory: C:\\Program Files\\Quillmarsh2$' "launcher directory"
expect "$out" '^installation complete$' "completed"
out=$(scripts/simulate-install --account user --app-running 2>&1 | tr -d "\r")
echo "$out"
expect "$out" '^stage 3: message box "Error": Quillmarsh2 must be installed using an account with administrative access\.$' "admin message"
expect "$out" '^installation stopped by stage 3$' "veto"
if grep -q '^stage 4' <<<"$out"; then echo "FAILED: stages after a veto"; failed=1; fi
# Where nobody can answer: no box, the text in the debug output, the same veto.
out=$(scripts/simulate-install --unattended --app-running 2>&1 | tr -d "\r")
echo "$out"
expect "$out" '^stage 3: debug output: qmhook: Quillmarsh2 is currently running\. Please close Quillmarsh2 before installing\.$' "unattended message"
expect "$out" '^installation stopped by stage 3$' "unattended veto"
if grep -q 'message box' <<<"$out"; then echo "FAILED: a message box where nobody can answer"; failed=1; fi
# A 32-bit installer's $PROGRAMFILES on 64-bit Windows is "Program Files (x86)".
programs='C:\\Program Files'
[ "${QMHOOK_WINE_ARCH:-win32}" = win64 ] && programs='C:\\Program Files \(x86\)'
out=$(scripts/simulate-install --installer 2>&1 | tr -d "\r")
echo "$out"
expect "$out" '^installer exit code: 0$' "installer's exit code"
expect "$out" "^installed $programs\\\\Quillmarsh2\\\\Tovelgate\.exe\$" "installer's launcher"
expect "$out" '^launcher command line: C:\\[A-Z0-9~]+\\[A-Z0-9~]+\\TOVE~[A-Z0-9]+\.EXE /path Quillmarsh2$' "installer's launch"
expect "$out" "^launcher directory: $programs\\\\Quillmarsh2\$" "installer's launcher directory"
expect "$out" '^installation complete$' "installer completed"
out=$(scripts/simulate-install --installer --app-running 2>&1 | tr -d "\r")
echo "$out"
expect "$out" '^message box "Error": Quillmarsh2 is currently running\. Please close Quillmarsh2 before installing\.$' "installer's message"
expect "$out" '^installer exit code: 3$' "installer's veto"
expect "$out" '^launcher: not started$' "no launch after the installer's veto"
exit $failed
