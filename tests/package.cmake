# The install, the manual page and the Debian package: included by
# tests/CMakeLists.txt. Exit status 77 means a tool the test needs is missing
# and could not be installed; on CI that fails instead.
add_test(NAME package
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package_test.sh
                 $<TARGET_FILE:kelvane> ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(package PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77
                     ENVIRONMENT "KELVANE_VERSION=${PROJECT_VERSION};CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}")
