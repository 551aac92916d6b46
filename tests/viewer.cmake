# kelvane with real viewers on a virtual X display (tests/viewer_test.py):
# qpdfview through the example xreader, and the real xreader named by
# KELVANE_REAL_XREADER (.ci/run builds it; without it those rows are skipped,
# saying why). Included by tests/CMakeLists.txt. Exit status 77 means Xvfb,
# qpdfview, xdotool, xwd, ImageMagick or dbus-run-session is missing; on CI
# that fails instead. It converts, so it uses the fixed /tmp files.
#
# One entry, so that the rows share one display and one D-Bus session. It runs
# alone: kelvane takes a viewer that ends within a second for one that showed
# nothing, and on a machine loaded by the other tests an xreader that returns
# at once could take longer than that.
add_test(NAME viewer.real_viewers
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/viewer_test.py $<TARGET_FILE:kelvane>)
set_tests_properties(viewer.real_viewers PROPERTIES
                     TIMEOUT 600 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
                     ENVIRONMENT KELVANE_VERSION=${PROJECT_VERSION})
kelvane_uses_tmp_files(viewer.real_viewers)
