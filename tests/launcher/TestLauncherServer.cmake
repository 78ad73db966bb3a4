# Runs the test build of the launcher, which asks the update server on the fixed test port: no
# other test may have a server listening there meanwhile.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
