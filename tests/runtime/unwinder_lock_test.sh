#!/usr/bin/env bash
# The configure step's check of the unwinder's lock (runtime/unwinder-lock.cmake), on
# archives whose unwind-dw2-fde.o makes each kind of lock: the two kinds the DLL releases
# are taken, none needs nothing, and any other lock is refused with what to do.
# Usage: unwinder_lock_test.sh CC NM AR
set -uo pipefail
cc=$1 nm=$2 ar=$3
check=$(cd "$(dirname "$0")/../.." && pwd)/runtime/unwinder-lock.cmake
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
row() { # name, what the unwinder's lock function calls, pattern the check must print
    mkdir -p "$work/$1"
    printf '#include <windows.h>\nvoid lock(CRITICAL_SECTION* s) { %s; }\n' "$2" > "$work/$1/unwind-dw2-fde.c"
    (cd "$work/$1" && "$cc" -c unwind-dw2-fde.c && "$ar" rc libgcc_eh.a unwind-dw2-fde.o) || failed=1
    # CMake folds its messages: one line, single blanks.
    out=$(cmake -DARCHIVE="$work/$1/libgcc_eh.a" -DNM="$nm" -P "$check" 2>&1 | tr -s " \n" "  ")
    grep -qE "$3" <<<"$out" || { printf 'FAILED: %s\n%s\n' "$1" "$out"; failed=1; }
}
row semaphore 'CreateSemaphoreW(0, 0, 1, 0)' 'unwinder lock: semaphore'
row critical_section 'InitializeCriticalSection(s); EnterCriticalSection(s)' 'unwinder lock: critical_section'
row none 'Sleep(0)' 'unwinder lock: none'
row mutex 'CreateMutexW(0, 0, 0)' 'makes its lock with CreateMutexW: .*Teach frame_registry.c'
row spin_count 'InitializeCriticalSectionAndSpinCount(s, 9)' 'with InitializeCriticalSectionAndSpinCount:'
row both 'CreateSemaphoreW(0, 0, 1, 0); InitializeCriticalSection(s)' 'both CreateSemaphoreW and InitializeCriticalSection'
row winpthread 'extern int pthread_mutex_lock(void*); pthread_mutex_lock(s)' 'with pthread_mutex_lock:'
row waits_only 'WaitForSingleObject(s, 9)' 'with WaitForSingleObject:'
row srw_lock 'AcquireSRWLockExclusive((PSRWLOCK)s)' 'with AcquireSRWLockExclusive:'
exit $failed
