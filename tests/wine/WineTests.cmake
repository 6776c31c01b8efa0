# Linux build: runs the Windows build's test programs under Wine, in a throw-away prefix that
# the test run creates (fixture wine_prefix) and deletes again. Each group includes this file.
include_guard(GLOBAL)

set(HALVERN_MINGW_BINARY_DIR ${CMAKE_SOURCE_DIR}/build/mingw CACHE PATH
    "Build folder of the Windows side (preset mingw) whose programs the wine tests run")
set(HALVERN_WINE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(HALVERN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

add_test(NAME wine.prefix-setup
         COMMAND ${HALVERN_WINE_DIR}/wine-prefix.sh setup ${HALVERN_WINEPREFIX})
set_tests_properties(wine.prefix-setup PROPERTIES
  LABELS wine FIXTURES_SETUP wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT 400)
add_test(NAME wine.prefix-cleanup
         COMMAND ${HALVERN_WINE_DIR}/wine-prefix.sh cleanup ${HALVERN_WINEPREFIX})
set_tests_properties(wine.prefix-cleanup PROPERTIES
  LABELS wine FIXTURES_CLEANUP wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT 120)

# halvern_add_wine_test(NAME test-name COMMAND program [args...] [WORKING_DIRECTORY dir]
#                       [TIMEOUT seconds])
# A program given as a relative path ending in .exe or .dll is taken from
# HALVERN_MINGW_BINARY_DIR; anything else (regsvr32, reg, cmd) is handed to Wine as it is.
function(halvern_add_wine_test)
  cmake_parse_arguments(T "" "NAME;WORKING_DIRECTORY;TIMEOUT" "COMMAND" ${ARGN})
  list(POP_FRONT T_COMMAND program)
  if(program MATCHES "\\.(exe|dll)$" AND NOT IS_ABSOLUTE "${program}")
    set(program ${HALVERN_MINGW_BINARY_DIR}/${program})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(runner ${HALVERN_WINE_DIR}/run-in-wine.sh --prefix ${HALVERN_WINEPREFIX}
             --timeout ${T_TIMEOUT})
  if(T_WORKING_DIRECTORY)
    list(APPEND runner --cwd ${T_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${runner} -- ${program} ${T_COMMAND})
  # ctest's own limit sits above the runner's, so the runner reports the time-out itself.
  math(EXPR ctest_timeout "${T_TIMEOUT} + 30")
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS wine FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT ${ctest_timeout})
endfunction()
