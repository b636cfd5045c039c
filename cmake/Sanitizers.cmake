# One cached choice of sanitizer for the whole build: none, address (ASan+UBSan),
# thread, or fuzzer (ASan+UBSan and libFuzzer's coverage on every target, clang
# only: the fuzz targets link the library targets as they are).
set(TARNLINK_SANITIZER "none" CACHE STRING "Sanitizer: none, address, thread or fuzzer")
set_property(CACHE TARNLINK_SANITIZER PROPERTY STRINGS none address thread fuzzer)

if(TARNLINK_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TARNLINK_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(TARNLINK_SANITIZER STREQUAL "fuzzer")
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT TARNLINK_SANITIZER STREQUAL "none")
  message(FATAL_ERROR "TARNLINK_SANITIZER must be none, address, thread or fuzzer")
endif()
