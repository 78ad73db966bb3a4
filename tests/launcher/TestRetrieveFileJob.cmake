# The download benchmark needs the same test server and CA as this test; it is built with it
# but never run by ctest.
if(NOT TARGET download_benchmark)
    add_subdirectory(${CMAKE_SOURCE_DIR}/bench/download ${CMAKE_BINARY_DIR}/bench/download)
endif()
