# Address and undefined-behaviour sanitizers for every target defined after
# this file is included: -DKELVANE_SANITIZE=ON. Works with GCC and Clang.
#
# Every report ends the process with a non-zero status (no recovery), so a
# test that meets one fails. The tests set ASAN_OPTIONS and UBSAN_OPTIONS
# themselves (tests/sanitized.sh), so the reports carry a stack trace.
option(KELVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(KELVANE_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "KELVANE_SANITIZE needs GCC or Clang, not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  set(KELVANE_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${KELVANE_SANITIZE_FLAGS})
  add_link_options(${KELVANE_SANITIZE_FLAGS})
  message(STATUS "kelvane: building with ${KELVANE_SANITIZE_FLAGS}")
endif()
