# The test runs the real program.
add_dependencies(${UNIT_TEST_TARGET} dirpatch)
