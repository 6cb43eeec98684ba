# The release: a qmhook.dll that anyone can rebuild byte for byte from the tagged source, the
# archive that `cmake --build <dir> --target package` makes, and Quillmarsh2's installer.

# The installer carries the launcher stand-in, which the stand-ins' build makes.
if(TARGET tovelgate)
    add_subdirectory(installer)
endif()
