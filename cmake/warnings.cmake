# C++17 and the warnings every kelvane build uses; included by the top-level
# CMakeLists.txt and by fuzz/CMakeLists.txt when that is built on its own.
# -Werror is off by default, so a newer compiler's new warning does not break
# a user's build; the test command turns it on (-DKELVANE_WERROR=ON).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
option(KELVANE_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(KELVANE_WERROR)
  add_compile_options(-Werror)
endif()
