# CPack's External generator runs this on the staged install tree: it writes SHA256SUMS
# (sha256sum -c reads it) and packs the tree as <package>.tar.gz, every entry owned by 0:0,
# in name order, with the commit's time. The archive depends only on the staged files and
# the commit, not on the user, the file system or the clock.
set(top ${CPACK_TEMPORARY_DIRECTORY})
get_filename_component(name ${top} NAME)

execute_process(COMMAND git -C ${CPACK_QMHOOK_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR NOT epoch MATCHES "^[0-9]+$")
    if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
        message(FATAL_ERROR "The archive takes its time from the commit: ${CPACK_QMHOOK_SOURCE_DIR} is "
            "not a git checkout, so set SOURCE_DATE_EPOCH (seconds since 1970).")
    endif()
    set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()

file(REMOVE ${top}/SHA256SUMS)
file(GLOB_RECURSE files RELATIVE ${top} ${top}/*)
set(sums "")
foreach(file IN LISTS files)
    file(SHA256 ${top}/${file} hash)
    string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${top}/SHA256SUMS "${sums}")

set(archive ${CPACK_TOPLEVEL_DIRECTORY}/${name}.tar.gz)
execute_process(
    COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
        --mode=u+rwX,go=rX --format=gnu -C ${CPACK_TOPLEVEL_DIRECTORY} -cf - ${name}
    COMMAND gzip -n -9
    OUTPUT_FILE ${archive}
    RESULTS_VARIABLE results)
if(NOT results STREQUAL "0;0")
    message(FATAL_ERROR "tar | gzip failed (${results})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${archive})
