# One cached choice of sanitizer for the whole build: none, address (ASan+UBSan) or thread.
set(TARNLINK_SANITIZER "none" CACHE STRING "Sanitizer: none, address or thread")
set_property(CACHE TARNLINK_SANITIZER PROPERTY STRINGS none address thread)

if(TARNLINK_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TARNLINK_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TARNLINK_SANITIZER STREQUAL "none")
  message(FATAL_ERROR "TARNLINK_SANITIZER must be none, address or thread")
endif()
