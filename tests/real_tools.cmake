# kelvane end to end with the system's real psbook, psnup and ps2pdf, driven by
# the emulator and viewer stand-ins in standins/. Included from the top-level
# CMakeLists.txt after the kelvane target exists.
if(NOT BUILD_TESTING)
  return()
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# One kelvane run prints all the jobs; the checks share it, so this is a
# single entry. It writes the fixed /tmp intermediates.
add_test(NAME real_tools.end_to_end
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/real_tools_test.py
                 $<TARGET_FILE:kelvane> EndToEndTest)
set_tests_properties(real_tools.end_to_end PROPERTIES TIMEOUT 150)
kelvane_uses_tmp_files(real_tools.end_to_end)

add_test(NAME real_tools.standins_bad_input
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/real_tools_test.py
                 $<TARGET_FILE:kelvane> StandinBadInputTest)
set_tests_properties(real_tools.standins_bad_input PROPERTIES TIMEOUT 30)
