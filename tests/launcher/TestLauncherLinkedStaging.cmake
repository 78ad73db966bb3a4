# The test build of the launcher asks the update server on the fixed test port; kill points are set
# in it with the preloaded launcher_faults module.
set_tests_properties(${UNIT_TEST_TARGET} PROPERTIES RESOURCE_LOCK update_server)
add_dependencies(${UNIT_TEST_TARGET} pelwinter-launcher-test launcher_faults)
target_compile_definitions(${UNIT_TEST_TARGET} PRIVATE LAUNCHER_FAULTS="$<TARGET_FILE:launcher_faults>")
