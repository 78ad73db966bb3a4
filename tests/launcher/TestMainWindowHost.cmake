# The test builds the window's form itself: listing the form's header among the test's sources lets
# the test generate the same ui_MainWindow.h from launcher/frontends/MainWindow.ui.
target_sources(${UNIT_TEST_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/launcher/frontends/MainWindowForm.h)
set_target_properties(${UNIT_TEST_TARGET} PROPERTIES AUTOUIC ON)
# The window's own Updater runs in the background against the test server's fixed port; keep it
# away from tests that serve there and count the requests they get.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
