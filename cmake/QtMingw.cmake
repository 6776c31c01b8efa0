# Qt 6 for MinGW-w64, which Debian does not ship: scripts/build-qt-mingw.sh makes it in a cache
# folder outside the repository (HALVERN_QT_MINGW_DIR, as in the environment of that script).
# Sets HALVERN_QT_MINGW_FOUND; without it the Windows build has the driver and no panel.
if(DEFINED ENV{HALVERN_QT_MINGW_DIR} AND NOT "$ENV{HALVERN_QT_MINGW_DIR}" STREQUAL "")
  set(qt_mingw_default "$ENV{HALVERN_QT_MINGW_DIR}")
else()
  set(qt_mingw_default "$ENV{HOME}/.cache/halvern/qt6-mingw-6.4.2")
endif()
set(HALVERN_QT_MINGW_DIR "${qt_mingw_default}" CACHE PATH
    "Install prefix of Qt 6 for MinGW-w64 (scripts/build-qt-mingw.sh makes it)")

set(HALVERN_QT_MINGW_FOUND FALSE)
if(EXISTS "${HALVERN_QT_MINGW_DIR}/lib/cmake/Qt6/Qt6Config.cmake")
  list(PREPEND CMAKE_PREFIX_PATH "${HALVERN_QT_MINGW_DIR}")
  # moc, rcc and lrelease are the build machine's own.
  set(QT_HOST_PATH /usr CACHE PATH "Qt of the build machine, for the tools")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH
      "CMake packages of the build machine's Qt")
  find_package(Qt6 COMPONENTS Core Gui Widgets Test)
  if(Qt6_FOUND)
    set(HALVERN_QT_MINGW_FOUND TRUE)
  endif()
endif()
if(NOT HALVERN_QT_MINGW_FOUND)
  message(STATUS "HalvernMixer.exe is not built: no Qt for MinGW in ${HALVERN_QT_MINGW_DIR} "
                 "(bash scripts/build-qt-mingw.sh makes it)")
endif()

# halvern_deploy_qt(target DIR dir [TEST]): after `target` is built, puts beside it in `dir` what
# a Windows machine without Qt needs to run it: the Qt DLLs, the platform plugins (the screen
# and offscreen), the native style, the .ico reader and the MinGW runtime DLLs that Qt's DLLs
# link. TEST adds the Qt Test DLL.
function(halvern_deploy_qt target)
  cmake_parse_arguments(D "TEST" "DIR" "" ${ARGN})
  set(qt ${HALVERN_QT_MINGW_DIR})
  set(dlls ${qt}/bin/Qt6Core.dll ${qt}/bin/Qt6Gui.dll ${qt}/bin/Qt6Widgets.dll)
  if(D_TEST)
    list(APPEND dlls ${qt}/bin/Qt6Test.dll)
  endif()
  foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "the MinGW runtime ${runtime} that Qt's DLLs need was not found")
    endif()
    list(APPEND dlls ${path})
  endforeach()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${D_DIR}/platforms ${D_DIR}/styles
            ${D_DIR}/imageformats
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dlls} ${D_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qt}/plugins/platforms/qwindows.dll
            ${qt}/plugins/platforms/qoffscreen.dll ${D_DIR}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qt}/plugins/styles/qwindowsvistastyle.dll
            ${D_DIR}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qt}/plugins/imageformats/qico.dll
            ${D_DIR}/imageformats
    VERBATIM)
endfunction()
