# Run by cpack after it made the package (CPACK_POST_BUILD_SCRIPTS): prints each file's size.
foreach(package ${CPACK_PACKAGE_FILES})
  file(SIZE ${package} size)
  math(EXPR kib "(${size} + 1023) / 1024")
  get_filename_component(name ${package} NAME)
  message(STATUS "Package ${name}: ${size} bytes (${kib} KiB)")
endforeach()
