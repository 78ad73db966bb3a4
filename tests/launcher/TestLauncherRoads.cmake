# Kill points are set in the test launcher with the preloaded launcher_faults module.
add_dependencies(${UNIT_TEST_TARGET} pelwinter-launcher-test launcher_faults)
target_compile_definitions(${UNIT_TEST_TARGET} PRIVATE LAUNCHER_FAULTS="$<TARGET_FILE:launcher_faults>")
