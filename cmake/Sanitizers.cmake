set(HALVERN_SANITIZE "" CACHE STRING "Sanitizers: address, thread, fuzz or empty")
if(HALVERN_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(HALVERN_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(HALVERN_SANITIZE STREQUAL "fuzz")
  # Every library is instrumented for coverage; only the fuzz targets link libFuzzer's main
  # (halvern_fuzz_target in tests/fuzz).
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "HALVERN_SANITIZE=fuzz needs clang (libFuzzer); use the linux-fuzz preset")
  endif()
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
