# Blob addresses come from the built-in base address, so the server runs on the fixed test port.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
