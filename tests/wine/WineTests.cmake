# Linux build: runs the Windows build's test programs under Wine, in a throw-away prefix that
# the test run creates (fixture wine_prefix) and deletes again. Each group includes this file.
include_guard(GLOBAL)

set(HALVERN_MINGW_BINARY_DIR ${CMAKE_SOURCE_DIR}/build/mingw CACHE PATH
    "Build folder of the Windows side (preset mingw) whose programs the wine tests run")
# Cached so that every group sees them, not only the first one to include this file.
set(HALVERN_WINE_RUNNER ${CMAKE_CURRENT_LIST_DIR}/run-in-wine.sh CACHE INTERNAL "")
set(HALVERN_WINE_PREFIX_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.sh CACHE INTERNAL "")
set(HALVERN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE INTERNAL "")

add_test(NAME wine.prefix-setup COMMAND ${HALVERN_WINE_PREFIX_SCRIPT} setup ${HALVERN_WINEPREFIX})
# A new prefix keeps both processors busy for seconds: alone, so that no timed test beside it
# pays for it.
set_tests_properties(wine.prefix-setup PROPERTIES
  LABELS wine FIXTURES_SETUP wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT 480 RUN_SERIAL TRUE)
add_test(NAME wine.prefix-cleanup COMMAND ${HALVERN_WINE_PREFIX_SCRIPT} cleanup ${HALVERN_WINEPREFIX})
set_tests_properties(wine.prefix-cleanup PROPERTIES
  LABELS wine FIXTURES_CLEANUP wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT 120)

# Marks a test as one that runs in the prefix: label wine, after the prefix is made, one at a
# time. For tests that call ${HALVERN_WINE_RUNNER} --prefix ${HALVERN_WINEPREFIX} themselves,
# e.g. a script that registers a DLL and then queries the registry.
function(halvern_wine_test_properties test)
  set_tests_properties(${test} PROPERTIES
    LABELS wine FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_prefix)
endfunction()

# halvern_add_wine_test(NAME test-name COMMAND program [args...] [WORKING_DIRECTORY dir]
#                       [TIMEOUT seconds])
# A program given as a relative path ending in .exe or .dll is taken from
# HALVERN_MINGW_BINARY_DIR; anything else (regsvr32, reg, cmd) is handed to Wine as it is.
# WORKING_DIRECTORY may be relative to HALVERN_MINGW_BINARY_DIR too.
function(halvern_add_wine_test)
  cmake_parse_arguments(T "" "NAME;WORKING_DIRECTORY;TIMEOUT" "COMMAND" ${ARGN})
  if(NOT T_NAME OR NOT T_COMMAND)
    message(FATAL_ERROR "halvern_add_wine_test needs NAME and COMMAND")
  endif()
  list(POP_FRONT T_COMMAND program)
  if(program MATCHES "\\.(exe|dll)$" AND NOT IS_ABSOLUTE "${program}")
    set(program ${HALVERN_MINGW_BINARY_DIR}/${program})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(runner ${HALVERN_WINE_RUNNER} --prefix ${HALVERN_WINEPREFIX} --timeout ${T_TIMEOUT})
  if(T_WORKING_DIRECTORY)
    if(NOT IS_ABSOLUTE "${T_WORKING_DIRECTORY}")
      set(T_WORKING_DIRECTORY ${HALVERN_MINGW_BINARY_DIR}/${T_WORKING_DIRECTORY})
    endif()
    list(APPEND runner --cwd ${T_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${runner} -- ${program} ${T_COMMAND})
  halvern_wine_test_properties(${T_NAME})
  # ctest's own limit sits above the runner's, so that the runner reports the time-out itself.
  math(EXPR ctest_timeout "${T_TIMEOUT} + 30")
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${ctest_timeout})
endfunction()
