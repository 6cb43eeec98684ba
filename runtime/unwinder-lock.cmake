# Which lock the statically linked unwinder makes for its list of registered tables, read from
# what its unwind-dw2-fde.o imports. frame_registry.c releases that lock when the module
# unloads; it knows two kinds:
#   semaphore         CreateSemaphoreW (GCC 12 and earlier)
#   critical_section  InitializeCriticalSection (GCC 13 and later)
#   none              the unwinder makes no lock: nothing to release
# Any other way of making a lock (or both kinds at once) is refused: the module could not
# give it back, and every load and unload of the DLL would lose it. So is an unwinder that
# locks or waits with anything while it imports neither maker: it makes its lock some way
# this check does not know.
#
# As a script: cmake -DARCHIVE=<libgcc_eh.a> -DNM=<nm> -P unwinder-lock.cmake prints the kind.
function(unwinder_lock_kind archive nm result)
    execute_process(COMMAND ${nm} -A ${archive} OUTPUT_VARIABLE symbols ERROR_QUIET
        RESULT_VARIABLE failed)
    string(REGEX MATCHALL "[^\n]*unwind-dw2-fde\\.o:[^\n]* U [^\n]*" imports "${symbols}")
    if(failed OR NOT symbols MATCHES "unwind-dw2-fde\\.o:")
        message(FATAL_ERROR "${archive} holds no unwind-dw2-fde.o: this toolchain's unwinder "
            "is not the DWARF one runtime/frame_registry.c registers the module's tables with. "
            "Build with MinGW-w64 GCC for i686 (Debian: g++-mingw-w64-i686-win32).")
    endif()
    set(kinds "")
    if(imports MATCHES "__imp__CreateSemaphoreW@16")
        list(APPEND kinds semaphore)
    endif()
    if(imports MATCHES "__imp__InitializeCriticalSection@4")
        list(APPEND kinds critical_section)
    endif()
    # winpthread's mutexes (a posix thread model's unwinder) are made on first use and kept.
    string(REGEX MATCH "(CreateSemaphoreA|CreateSemaphoreEx|CreateMutex|CreateEvent|InitializeCriticalSectionAndSpinCount|InitializeCriticalSectionEx|InitializeSRWLock|InitOnce|TlsAlloc|FlsAlloc|pthread_mutex_init|pthread_mutex_lock|pthread_once)[A-Za-z]*[@;]"
        other "${imports};")
    list(LENGTH kinds count)
    if(NOT other AND count EQUAL 0)
        string(REGEX MATCH "[A-Za-z_]*(Wait|Lock|Critical|Semaphore|Mutex|mutex|Event|ConditionVariable|InitOnce|pthread_)[A-Za-z_]*[@;]"
            other "${imports};")
        string(REGEX REPLACE "^_+(imp__)?" "" other "${other}")
    endif()
    if(other OR count GREATER 1)
        string(REGEX REPLACE "[@;]$" "" other "${other}")
        if(count GREATER 1)
            set(other "both CreateSemaphoreW and InitializeCriticalSection")
        endif()
        message(FATAL_ERROR "The unwinder in ${archive} makes its lock with ${other}: "
            "runtime/frame_registry.c releases only a lock made by CreateSemaphoreW or by "
            "InitializeCriticalSection, so every load and unload of the DLL would lose this one. "
            "Teach frame_registry.c to release it (as it does the other two), or build with "
            "MinGW-w64 GCC 12 or 14.")
    endif()
    if(count EQUAL 0)
        set(kinds none)
    endif()
    set(${result} ${kinds} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED ARCHIVE)
    unwinder_lock_kind(${ARCHIVE} ${NM} kind)
    message(STATUS "unwinder lock: ${kind}")
endif()
