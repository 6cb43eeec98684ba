# Builds Quillmarsh2.msi with wixl, the same bytes from the same inputs: wixl stamps the
# clock into the package's summary and the files' times into its cabinet, and draws a new
# package code each time. So the inputs are staged with one fixed time (SOURCE_DATE_EPOCH
# where it is set), wixl and msibuild run with the clock stopped at it (faketime), and the
# package code is made from the inputs' digest, so that a package with other contents gets
# another one. The package then depends on its inputs alone, as its build rule does.
#   cmake -DWIXL=.. -DMSIBUILD=.. -DFAKETIME=.. -DWXS=.. -DDLL=.. -DLAUNCHER=..
#         -DOUTPUT=<Quillmarsh2.msi> -P msi.cmake
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 1767225600) # 2026-01-01
endif()
execute_process(COMMAND date -u -d @${epoch} "+%Y-%m-%d %H:%M:%S"
    OUTPUT_VARIABLE clock OUTPUT_STRIP_TRAILING_WHITESPACE)

set(stage ${OUTPUT}.stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
configure_file(${DLL} ${stage}/qmhook.dll COPYONLY)
configure_file(${LAUNCHER} ${stage}/Tovelgate.exe COPYONLY)
configure_file(${WXS} ${stage}/quillmarsh2.wxs COPYONLY)
execute_process(COMMAND touch -d @${epoch} qmhook.dll Tovelgate.exe quillmarsh2.wxs
    WORKING_DIRECTORY ${stage})

set(digest "")
foreach(file qmhook.dll Tovelgate.exe quillmarsh2.wxs)
    file(SHA256 ${stage}/${file} hash)
    string(APPEND digest ${hash})
endforeach()
string(SHA256 digest "${digest}")
string(TOUPPER ${digest} digest)
string(REGEX REPLACE "^(........)(....)(....)(....)(............).*" "{\\1-\\2-\\3-\\4-\\5}"
    package_code ${digest})

set(stopped ${CMAKE_COMMAND} -E env TZ=UTC ${FAKETIME} -f ${clock})
execute_process(
    COMMAND ${stopped} ${WIXL} -a x86 -D QmhookDll=qmhook.dll -D TovelgateExe=Tovelgate.exe
        -o Quillmarsh2.msi quillmarsh2.wxs
    WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed)
if(NOT failed)
    execute_process(
        COMMAND ${stopped} ${MSIBUILD} Quillmarsh2.msi -s Quillmarsh2 "Vantorel Software"
            "Intel;1033" ${package_code}
        WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed)
endif()
if(failed)
    message(FATAL_ERROR "wixl or msibuild failed (${failed}) on ${WXS}")
endif()
file(RENAME ${stage}/Quillmarsh2.msi ${OUTPUT})
file(REMOVE_RECURSE ${stage})
