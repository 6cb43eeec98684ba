# The release: a qmhook.dll that anyone can rebuild byte for byte from the tagged source, the
# archive that `cmake --build <dir> --target package` makes, and Quillmarsh2's installer.

# ld stamps the link time into the PE header and the export directory (and so into the
# checksum); those were the only bytes two builds of one commit differed in. The stamp is 0.
target_link_options(qmhook PRIVATE -Wl,--no-insert-timestamp)

# Beside what `cmake --install` lays out for client modules: the README, the guides and the
# installers' sources, which show how to ship the DLL.
install(FILES README.md DESTINATION .)
install(DIRECTORY docs/ DESTINATION docs)
install(FILES installer/quillmarsh2.nsi installer/quillmarsh2.wxs installer/banner.png
    DESTINATION installer)

# CPack's own archive writers take each file's owner, the directory order of the file system
# and, for ZIP, the access and change times; the external script sets all of them
# (release-archive.cmake). CPack still stages the install tree.
set(CPACK_GENERATOR External)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/release-archive.cmake)
set(CPACK_PACKAGE_FILE_NAME qmhook-${PROJECT_VERSION}-win32)
set(CPACK_QMHOOK_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)

# The installer carries the launcher stand-in, which the stand-ins' build makes.
if(TARGET tovelgate)
    add_subdirectory(installer)
endif()
