# kelvane with DOSBox and a DOS print program (standins/dosbox/) in the
# emulator's place: included by tests/CMakeLists.txt. Exit status 77 means
# dosbox or nasm is missing; on CI that fails instead. It converts, so it
# uses the fixed /tmp files.
add_test(NAME dosbox.letter_then_brochure
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/dosbox_test.py
                 $<TARGET_FILE:kelvane> ${CMAKE_BINARY_DIR}/standins/dosbox/print.com)
set_tests_properties(dosbox.letter_then_brochure PROPERTIES
                     TIMEOUT 120 SKIP_RETURN_CODE 77)
kelvane_uses_tmp_files(dosbox.letter_then_brochure)
