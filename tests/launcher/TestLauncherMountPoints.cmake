add_dependencies(${UNIT_TEST_TARGET} pelwinter-launcher-test)
