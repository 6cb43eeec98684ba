# The C++ runtime as a DLL that hosts load and unload needs it: the sources of runtime/
# and how the module links.
#
# The DLL links the win32 thread model's runtime (libstdc++, libgcc), which the compiler
# installs beside the posix one: the posix model's winpthread gives the thread that loads
# the DLL an event and a thread handle that it never closes, two handles lost for every
# load and unload, and imports functions that Windows before XP lacks. The DLL's own code
# uses no threads, so the headers make no difference (its objects reference no pthread
# symbol); the tests keep the posix compiler for GoogleTest and std::thread.
# It also starts without the toolchain's crtbegin.o (see frame_registry.c): the CRT's
# startup object goes before the module's objects, the runtime libraries in one group and
# crtend.o, which ends the unwind tables, after everything else.
set(runtime_dir ${CMAKE_CURRENT_LIST_DIR})
string(REPLACE "-posix" "-win32" win32_compiler ${CMAKE_CXX_COMPILER})
function(win32_runtime_file name variable)
    execute_process(COMMAND ${win32_compiler} -print-file-name=${name}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE ${path})
        message(FATAL_ERROR "${win32_compiler} has no ${name}: run scripts/setup")
    endif()
    set(${variable} ${path} PARENT_SCOPE)
endfunction()

# The module's own sources list these first: frame_registry.c marks the start of the
# unwind tables, so no object's tables may come before it.
set(runtime_sources ${runtime_dir}/frame_registry.c ${runtime_dir}/stack_guard.cpp
    ${runtime_dir}/throw_paths.cpp ${runtime_dir}/thread_locals.c)
set_source_files_properties(${runtime_dir}/frame_registry.c PROPERTIES
    COMPILE_OPTIONS "-fno-asynchronous-unwind-tables;-fno-exceptions")

include(${runtime_dir}/unwinder-lock.cmake)

# What frame_registry.c and thread_layer.c assume about the toolchain, checked when the build
# is configured: a toolchain that breaks an assumption fails here instead of corrupting
# memory or losing a lock at every unload.
#  - The space the unwinder keeps per registered object: crtbegin.o, built from the same
#    sources as the unwinder, reserves it as _obj at the end of its .bss.
#  - The lock the unwinder makes (unwinder-lock.cmake): a semaphore or a critical section,
#    each released by frame_registry.c. Sets unwinder_lock in the caller's scope.
#  - Where it is a critical section, the runtime's own mutexes are too, and thread_layer.c
#    stands in for the thread layer: a __gthread_mutex_t must be a CRITICAL_SECTION.
function(check_runtime_assumptions startup_object unwinder_archive)
    execute_process(COMMAND ${CMAKE_OBJDUMP} -h -t ${startup_object} OUTPUT_VARIABLE dump)
    set(object_size 0)
    if(dump MATCHES "\\.bss +([0-9a-f]+)")
        set(bss_size 0x${CMAKE_MATCH_1})
        if(dump MATCHES " 0x([0-9a-f]+) _obj\n")
            math(EXPR object_size "${bss_size} - 0x${CMAKE_MATCH_1}")
        endif()
    endif()
    if(NOT object_size GREATER 0)
        message(FATAL_ERROR "${startup_object} no longer reserves the unwinder's object as _obj: "
            "find how much the unwinder keeps per object before building runtime/frame_registry.c")
    endif()
    set_property(SOURCE ${runtime_dir}/frame_registry.c APPEND PROPERTY
        COMPILE_DEFINITIONS QMHOOK_UNWINDER_OBJECT_SIZE=${object_size})

    unwinder_lock_kind(${unwinder_archive} ${CMAKE_NM} kind)
    if(kind STREQUAL "critical_section")
        set(check ${CMAKE_BINARY_DIR}/gthread-mutex-layout.cpp)
        file(WRITE ${check} "#include <windows.h>\n#include <bits/gthr.h>\n#include <cstddef>\n"
            "static_assert(sizeof(__gthread_mutex_t) == sizeof(CRITICAL_SECTION), \"size\");\n"
            "static_assert(offsetof(__gthread_mutex_t, RecursionCount) == "
            "offsetof(CRITICAL_SECTION, RecursionCount), \"layout\");\n")
        execute_process(COMMAND ${win32_compiler} -fsyntax-only ${check}
            RESULT_VARIABLE failed ERROR_VARIABLE errors)
        if(failed)
            message(FATAL_ERROR "The unwinder makes a critical section, but this toolchain's "
                "__gthread_mutex_t is not a CRITICAL_SECTION: runtime/thread_layer.c cannot "
                "stand in for its thread layer. ${errors}")
        endif()
    endif()
    set(unwinder_lock ${kind} PARENT_SCOPE)
endfunction()

function(tailor_runtime target)
    win32_runtime_file(dllcrt2.o dll_startup)
    win32_runtime_file(crtend.o unwind_tables_end)
    win32_runtime_file(libstdc++.a win32_libstdcxx)
    get_filename_component(win32_runtime_dir ${win32_libstdcxx} DIRECTORY)
    win32_runtime_file(crtbegin.o unwinder_startup)
    win32_runtime_file(libgcc_eh.a unwinder_archive)
    check_runtime_assumptions(${unwinder_startup} ${unwinder_archive})
    target_link_options(${target} PRIVATE -nostartfiles -L${win32_runtime_dir} ${dll_startup})
    if(unwinder_lock STREQUAL "semaphore")
        target_link_options(${target} PRIVATE
            "-Wl,--defsym,\"__imp__CreateSemaphoreW@16\"=_qmhook_create_semaphore")
    elseif(unwinder_lock STREQUAL "critical_section")
        target_link_options(${target} PRIVATE
            "-Wl,--defsym,\"__imp__InitializeCriticalSection@4\"=_qmhook_initialize_critical_section")
        target_sources(${target} PRIVATE ${runtime_dir}/thread_layer.c)
    endif()
    message(STATUS "The unwinder's lock: ${unwinder_lock}")
    target_link_libraries(${target} PRIVATE -Wl,--start-group stdc++ ssp_nonshared ssp mingw32
        gcc gcc_eh moldname mingwex msvcrt kernel32 advapi32 user32 -Wl,--end-group
        ${unwind_tables_end})
endfunction()
