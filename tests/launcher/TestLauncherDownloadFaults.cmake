# The test build of the launcher asks the update server on the fixed test port.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
add_dependencies(${UNIT_TEST_TARGET} pelwinter-launcher-test)
