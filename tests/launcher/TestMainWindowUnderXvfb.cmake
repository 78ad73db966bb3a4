# Both tests run the launcher built against the loopback update server's fixed port: one needs
# the port free, the other serves on it.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
