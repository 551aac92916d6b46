# Hostile files and places, end to end (tests/hostile_test.py): one CTest
# entry a case. Included from tests/CMakeLists.txt.
#
# The cases that let a conversion run or put things at the fixed /tmp paths
# take turns on them where the tests share the real /tmp (as e2e's do). A
# case that cannot run here (another user's file needs root) reports itself
# skipped with status 77.
set(hostile_cases_on_tmp intermediate_not_a_plain_file intermediate_of_another_user print_file_is_a_symlink
    interrupt_reaches_the_command print_file_changes_under_the_watcher two_sessions_take_turns
    terminate_reaches_the_emulator write_protected_print_file_on_a_terminal)
set(hostile_cases print_file_not_regular print_file_unreadable print_file_growing layout_file_hostile
    leftover_that_rm_cannot_remove)
foreach(case IN LISTS hostile_cases_on_tmp hostile_cases)
  add_test(NAME hostile.${case}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/hostile_test.py $<TARGET_FILE:kelvane>
                   HostileTest.test_${case})
  set_tests_properties(hostile.${case} PROPERTIES TIMEOUT 150 SKIP_RETURN_CODE 77
                       ENVIRONMENT "KELVANE_VERSION=${PROJECT_VERSION};KELVANE_TEST_SECONDS=120")
endforeach()
list(TRANSFORM hostile_cases_on_tmp PREPEND hostile.)
kelvane_uses_tmp_files(${hostile_cases_on_tmp})
# Five short runs of kelvane, one a kind of layout file.
set_tests_properties(hostile.layout_file_hostile PROPERTIES TIMEOUT 240
                     ENVIRONMENT "KELVANE_VERSION=${PROJECT_VERSION};KELVANE_TEST_SECONDS=210")
