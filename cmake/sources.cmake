# The library's sources, for the program's build (CMakeLists.txt) and the
# fuzz targets' instrumented one (fuzz/CMakeLists.txt): a unit added here
# reaches both.
set(kelvane_library_sources command.cpp console.cpp guest_content.cpp guest_files.cpp print_watch.cpp tick.cpp
    turn.cpp)
list(TRANSFORM kelvane_library_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/../src/)
