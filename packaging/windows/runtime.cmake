# What the Windows programs load at run time: the MinGW runtime, Qt's DLLs and
# plugins. Every program is built into one folder with copies of them, so
# that the programs and tests run from the build tree under Wine as they run
# from the installed folder.

set(TAVRIK_MINGW_RUNTIME)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libssp-0.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know ${dll}")
    endif()
    list(APPEND TAVRIK_MINGW_RUNTIME ${path})
endforeach()

# tavrik_qt_file(variable target): the DLL of an imported Qt target.
function(tavrik_qt_file variable target)
    get_target_property(path ${target} IMPORTED_LOCATION_RELEASE)
    if(NOT path)
        get_target_property(path ${target} IMPORTED_LOCATION)
    endif()
    set(${variable} ${path} PARENT_SCOPE)
endfunction()

set(TAVRIK_QT_DLLS)
foreach(module Core Gui Widgets Network SerialPort)
    tavrik_qt_file(dll Qt${TAVRIK_QT}::${module})
    list(APPEND TAVRIK_QT_DLLS ${dll})
endforeach()
tavrik_qt_file(TAVRIK_QT_PLATFORM Qt${TAVRIK_QT}::QWindowsIntegrationPlugin)
tavrik_qt_file(TAVRIK_QT_STYLE Qt${TAVRIK_QT}::QWindowsVistaStylePlugin)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
file(COPY ${TAVRIK_MINGW_RUNTIME} ${TAVRIK_QT_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
# Debian ships the runtime with its debugging sections (libstdc++ alone is
# 23 MB with them, 4 MB without); the copies lose them, and are what is packed.
set(runtime)
foreach(dll ${TAVRIK_MINGW_RUNTIME})
    get_filename_component(name ${dll} NAME)
    execute_process(COMMAND ${CMAKE_STRIP} --strip-debug ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}
                    COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND runtime ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name})
endforeach()
set(TAVRIK_MINGW_RUNTIME ${runtime})
file(COPY ${TAVRIK_QT_PLATFORM} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/platforms)
file(COPY ${TAVRIK_QT_STYLE} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/styles)
