# kelvane with real viewers on a virtual X display (tests/viewer_test.py):
# qpdfview through the example xreader, and the real xreader named by
# KELVANE_REAL_XREADER (.ci/run builds it; its rows skip, saying why, without
# it). Exit status 77 means a tool is missing; on CI that fails instead. One
# entry, so that the rows share a display and a D-Bus session, run alone: on a
# loaded machine an xreader that returns at once could take over a second.
add_test(NAME viewer.real_viewers
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/viewer_test.py $<TARGET_FILE:kelvane>)
set_tests_properties(viewer.real_viewers PROPERTIES
                     TIMEOUT 600 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
                     ENVIRONMENT KELVANE_VERSION=${PROJECT_VERSION})
kelvane_uses_tmp_files(viewer.real_viewers)
