# Warnings for the project's own targets, and the optional sanitizer build.
add_library(vx_warnings INTERFACE)
target_compile_options(vx_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wno-unused-parameter>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
# CI builds with warnings as errors; a user building on a newer compiler,
# which may warn of new things, does not.
if(VENDRIX_WERROR)
  target_compile_options(vx_warnings INTERFACE -Werror)
endif()
if(VENDRIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VENDRIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VENDRIX_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
