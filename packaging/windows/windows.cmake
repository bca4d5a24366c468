# The Windows release: the programs with the Qt and MinGW runtime DLLs they
# load, the licences, and a zip and an NSIS installer made by CPack.

# Qt's DLLs, the two plugins a window needs (the Windows platform and a
# native style), and the compiler's runtime; runtime.cmake found them.
install(FILES ${TAVRIK_QT_DLLS} ${TAVRIK_MINGW_RUNTIME} DESTINATION .)
install(FILES ${TAVRIK_QT_PLATFORM} DESTINATION platforms)
install(FILES ${TAVRIK_QT_STYLE} DESTINATION styles)

# The project's licence, and what Qt's LGPL and the runtime's licences ask for.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
install(FILES /usr/share/common-licenses/LGPL-3 DESTINATION . RENAME LICENSE.LGPL-3.0.txt)
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION . RENAME LICENSE.GPL-3.0.txt)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_VENDOR "The Tavrik developers")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Tavrik)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# The zip and the installer are named apart.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-names.cmake)
# The installer: Program Files, a Start-menu entry with the program's icon,
# an uninstaller registered with Windows; /S installs silently.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME Tavrik)
set(CPACK_NSIS_DISPLAY_NAME Tavrik)
set(CPACK_PACKAGE_EXECUTABLES tavrik Tavrik)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALLED_ICON_NAME tavrik.exe)
set(CPACK_NSIS_MUI_ICON ${CMAKE_BINARY_DIR}/app/tavrik.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_BINARY_DIR}/app/tavrik.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for a 64-bit program: it needs no 32-bit Windows layer.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
include(CPack)
