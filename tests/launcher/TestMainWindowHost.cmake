# The test builds the window's form itself: listing the form's header among the test's sources lets
# the test generate the same ui_MainWindow.h from launcher/frontends/MainWindow.ui.
target_sources(${UNIT_TEST_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/launcher/frontends/MainWindowForm.h)
set_target_properties(${UNIT_TEST_TARGET} PROPERTIES AUTOUIC ON)
