# Installation and the Debian package. Included by the top-level
# CMakeLists.txt once the kelvane target exists.
#
#   cmake --install BUILD [--prefix /usr/local]   installs bin/kelvane, its
#     [--strip]                                   manual page, README.md with
#                                                 what it links, the copyright
#                                                 file, the changelog and the
#                                                 example dosemu and xreader
#                                                 scripts
#   cpack -G DEB --config BUILD/CPackConfig.cmake builds kelvane_VERSION_ARCH.deb
#
# The stand-ins under standins/ are for trying kelvane without an emulator;
# they are not installed.

include(GNUInstallDirs)

install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Installed, kelvane finds the example scripts from where it lies, to name
# them when dosemu is missing, whatever the prefix (the package's /usr too).
file(RELATIVE_PATH kelvane_examples_from_bin /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_DOCDIR}/examples)
target_compile_definitions(kelvane PRIVATE KELVANE_EXAMPLES_FROM_BIN="${kelvane_examples_from_bin}")
# CMake's strip (cmake --install --strip, and CPACK_STRIP_FILES below) keeps
# the .comment and .note sections, which Debian's own stripping removes too.
if(CMAKE_STRIP)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:kelvane>\")
  endif()")
endif()

# The manual page and the changelog are installed gzipped with -9n (no name
# or time stamp in the header), as Debian wants them.
find_program(KELVANE_GZIP gzip)
mark_as_advanced(KELVANE_GZIP)
if(NOT KELVANE_GZIP)
  message(FATAL_ERROR "kelvane: gzip is needed to install the manual page and the changelog")
endif()
set(kelvane_gzipped)
foreach(name kelvane.1 changelog)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name})
  add_custom_command(OUTPUT ${copy}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/${name} ${copy}
                     COMMAND ${KELVANE_GZIP} -9nf ${copy}
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/${name} VERBATIM)
  list(APPEND kelvane_gzipped ${copy}.gz)
endforeach()
add_custom_target(kelvane_gzipped ALL DEPENDS ${kelvane_gzipped})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gzipped/kelvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The doc directory: the README with the files it links, so that no link in
# it dangles, the license as Debian's copyright file, and the changelog.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/gzipped/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/demo-page.png ${PROJECT_SOURCE_DIR}/docs/PERFORMANCE.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/standins/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/standins)
# Not executable: a user copies them onto PATH (and sets dosemu up) first.
install(FILES ${PROJECT_SOURCE_DIR}/docs/examples/dosemu ${PROJECT_SOURCE_DIR}/docs/examples/xreader
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "kelvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kelvane maintainers")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "kelvane maintainers <maintainers@users.noreply.c-seed-59df1430.example>")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run GEOS in DOSEMU and turn its print jobs into PDF files on screen")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The long description; CPack puts the summary above it and indents it as the
# control file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[kelvane starts the DOS emulator (dosemu -X) with a GEOS guest and, while it
runs, looks every 4 seconds for a finished print job in the guest's
document/DRUCKEN.PS. It converts each job to a PDF file with ps2pdf, either
as a letter or, by the number in userdata/DRUCKEN.CFG, as a brochure made
with psbook and psnup; shows it with the command xreader, and deletes the
print file once the viewer is closed.

It needs a DOSEMU installation with GEOS set up to print PostScript into
DRUCKEN.PS, and a PDF viewer run as xreader that returns when its window is
closed. Debian provides neither: the example scripts in
/usr/share/doc/kelvane/examples, copied onto PATH, run DOSBox as dosemu and
qpdfview or mupdf as xreader. The intermediate files lie at fixed paths
under /tmp.]=])

# psutils gives psbook and psnup, ghostscript gives ps2pdf.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "psutils, ghostscript")
# What the example scripts run in place of xreader and DOSEMU.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qpdfview | mupdf, dosbox")
find_program(KELVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KELVANE_FILE_COMMAND file)
mark_as_advanced(KELVANE_DPKG_SHLIBDEPS KELVANE_FILE_COMMAND)
if(KELVANE_DPKG_SHLIBDEPS AND KELVANE_FILE_COMMAND)
  # CPack adds what dpkg-shlibdeps finds the binary linked against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev: the C library kelvane is built against on Debian 12,
  # and the C++ runtime, which it links only when it uses it.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6 (>= 2.34), libstdc++6 (>= 12)")
endif()

include(CPack)
