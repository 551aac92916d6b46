# kelvane with a real DOS emulator running PRINT.COM (standins/dosbox/): DOSBox,
# and the real DOSEMU with standins/dosemu2/command.com as the guest's shell.
# Exit status 77: dosbox, nasm or Xvfb is missing (on CI that fails instead), or
# KELVANE_REAL_DOSEMU names no real dosemu. They use the fixed /tmp files.
set(dos_test ${CMAKE_CURRENT_LIST_DIR}/dosbox_test.py $<TARGET_FILE:kelvane>
    ${CMAKE_BINARY_DIR}/standins/dosbox/print.com ${CMAKE_BINARY_DIR}/standins/dosemu2/command.com)
add_test(NAME dosbox.letter_then_brochure COMMAND Python3::Interpreter ${dos_test} DOSBoxTest)
add_test(NAME dosemu.letter_then_brochure COMMAND Python3::Interpreter ${dos_test}
         DOSEMUTest.test_letter_then_brochure_from_the_geos_folder)
# ./demo.sh dosemu --headless, with the kelvane and DOS programs of this build.
add_test(NAME dosemu.demo COMMAND Python3::Interpreter ${dos_test} DOSEMUTest.test_demo)
# The DOSEMU case runs twice (folders made by DOS, and copied in upper case);
# a job that nobody takes ends a run only after PRINT.COM's 60 s.
set_tests_properties(dosbox.letter_then_brochure PROPERTIES TIMEOUT 150 SKIP_RETURN_CODE 77)
set_tests_properties(dosemu.letter_then_brochure PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
set_tests_properties(dosemu.demo PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
kelvane_uses_tmp_files(dosbox.letter_then_brochure dosemu.letter_then_brochure dosemu.demo)
