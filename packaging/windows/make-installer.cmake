# cmake -DMAKENSIS=... -DSCRIPT=... -DOUTFILE=... -DLOG=... -DVERSION=... -DVERSION_QUAD=...
#       -DDRIVER_DLL=... -DICON=... [-DPANEL_DIR=...] -P make-installer.cmake
# Runs makensis with its log in LOG (shown when it fails) and prints the installer's size.
set(args -V2 -INPUTCHARSET UTF8)
foreach(name OUTFILE VERSION VERSION_QUAD DRIVER_DLL ICON PANEL_DIR)
  if(DEFINED ${name} AND NOT "${${name}}" STREQUAL "")
    list(APPEND args "-D${name}=${${name}}")
  endif()
endforeach()
execute_process(COMMAND ${MAKENSIS} ${args} ${SCRIPT}
  RESULT_VARIABLE result OUTPUT_FILE ${LOG} ERROR_FILE ${LOG}.err TIMEOUT 300)
if(NOT result EQUAL 0)
  file(READ ${LOG} out)
  file(READ ${LOG}.err err)
  message(FATAL_ERROR "makensis failed (${result}):\n${out}\n${err}")
endif()
file(SIZE ${OUTFILE} size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name ${OUTFILE} NAME)
message("Installer ${name}: ${size} bytes (${kib} KiB)")
