# Packages a user installs: on the Windows side the NSIS installer of the driver (target
# `installer`, packaging/windows), on Linux a Debian package of the programs (`cpack -G DEB` in
# the build folder; scripts/check-deb.sh builds and checks it).
if(WIN32)
  if(TARGET HalvernASIO)
    add_subdirectory(${PROJECT_SOURCE_DIR}/packaging/windows ${PROJECT_BINARY_DIR}/packaging/windows)
  endif()
  return()
endif()

include(GNUInstallDirs)
# The desktop entry and the icon of the panel.
if(TARGET HalvernMixer)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/halvern-mixer.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/panel/resources/icon.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME halvern-mixer.png)
  install(FILES ${PROJECT_SOURCE_DIR}/panel/resources/icon.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME halvern-mixer.svg)
endif()

set(HALVERN_PACKAGE_CONTACT "Halvern developers <developers@halvern.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvern)
set(CPACK_PACKAGE_VENDOR Halvern)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${HALVERN_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Halvern audio interface driver, control panel and simulator")
set(CPACK_PACKAGE_DESCRIPTION
    "The Halvern host software for Linux: the ASIO driver library (libHalvernASIO.so), the\n"
    "HalvernMixer control panel, the console host halvern-asio-host and the simulated\n"
    "interface halvern-bus-sim, which stands in for the device where none is present.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# A RelWithDebInfo build ships stripped binaries.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link decide the dependencies (dpkg-shlibdeps); the panel also needs
# Qt's platform plugins, which it loads at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET HalvernMixer)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-noto-cjk)
endif()
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/linux/report-size.cmake)
include(CPack)
