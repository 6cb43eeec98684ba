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
    ${runtime_dir}/throw_paths.cpp)
set_source_files_properties(${runtime_dir}/frame_registry.c PROPERTIES
    COMPILE_OPTIONS "-fno-asynchronous-unwind-tables;-fno-exceptions")

function(tailor_runtime target)
    win32_runtime_file(dllcrt2.o dll_startup)
    win32_runtime_file(crtend.o unwind_tables_end)
    win32_runtime_file(libstdc++.a win32_libstdcxx)
    get_filename_component(win32_runtime_dir ${win32_libstdcxx} DIRECTORY)
    target_link_options(${target} PRIVATE -nostartfiles -L${win32_runtime_dir} ${dll_startup}
        "-Wl,--defsym,\"__imp__CreateSemaphoreW@16\"=_qmhook_create_semaphore")
    target_link_libraries(${target} PRIVATE -Wl,--start-group stdc++ ssp_nonshared ssp mingw32
        gcc gcc_eh moldname mingwex msvcrt kernel32 advapi32 user32 -Wl,--end-group
        ${unwind_tables_end})
endfunction()
