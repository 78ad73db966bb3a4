# The tree-parallel update is tested on memory as well, against the BLAKE3 hasher state itself.
target_link_libraries(${UNIT_TEST_TARGET} PRIVATE blake3)
