# The download benchmark needs the same test server and CA as this test; it is built with it
# but never run by ctest.
if(NOT TARGET download_benchmark)
    add_subdirectory(${CMAKE_SOURCE_DIR}/bench/download ${CMAKE_BINARY_DIR}/bench/download)
endif()
# The memory of a download alone is measured in a process of its own.
add_dependencies(${UNIT_TEST_TARGET} download-job)
target_compile_definitions(${UNIT_TEST_TARGET} PRIVATE DOWNLOAD_JOB_BINARY="$<TARGET_FILE:download-job>")
