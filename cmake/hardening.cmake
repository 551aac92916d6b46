# Debian's usual hardening, as dpkg-buildflags gives it with hardening=+all:
# stack protector, fortified C library calls, relocations made read-only and
# bound at start, a position-independent executable. Only kelvane and its
# library get it (kelvane_harden); the fuzz targets keep their own flags.
include(CheckPIESupported)
check_pie_supported()

function(kelvane_harden)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    return()
  endif()
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    # Fortify needs optimisation (glibc warns without it), and under the
    # sanitizers it would hide calls from their own checks. -U first: some
    # compilers define it already, and a redefinition warns.
    if(NOT KELVANE_SANITIZE)
      set(optimising "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
      target_compile_options(${target} PRIVATE "$<${optimising}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    endif()
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  endforeach()
endfunction()
