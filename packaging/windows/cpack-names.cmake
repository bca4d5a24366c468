# Read by CPack for each generator in turn.
if(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_PACKAGE_FILE_NAME tavrik-${CPACK_PACKAGE_VERSION}-windows-x86_64)
elseif(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME tavrik-${CPACK_PACKAGE_VERSION}-setup)
endif()
