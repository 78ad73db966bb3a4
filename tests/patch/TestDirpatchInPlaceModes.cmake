# The test runs the real program, as an unprivileged user where it can, and kills it at a chosen step
# through the preloaded fault module.
add_dependencies(${UNIT_TEST_TARGET} dirpatch launcher_faults)
target_compile_definitions(${UNIT_TEST_TARGET} PRIVATE LAUNCHER_FAULTS="$<TARGET_FILE:launcher_faults>")
