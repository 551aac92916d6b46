# kelvane with a real viewer: the example xreader runs qpdfview on a virtual X
# display (tests/viewer_test.py); included by tests/CMakeLists.txt. Exit status
# 77 means Xvfb, qpdfview, xdotool, xwd or ImageMagick is missing; on CI that
# fails instead. It converts, so it uses the fixed /tmp files.
add_test(NAME viewer.job_shown_until_the_window_is_closed
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/viewer_test.py $<TARGET_FILE:kelvane>)
set_tests_properties(viewer.job_shown_until_the_window_is_closed PROPERTIES
                     TIMEOUT 300 SKIP_RETURN_CODE 77
                     ENVIRONMENT KELVANE_VERSION=${PROJECT_VERSION})
kelvane_uses_tmp_files(viewer.job_shown_until_the_window_is_closed)
