# A benchmark of the check on a large install, built beside the test but not run by ctest.
add_executable(benchcheckinstalljob ${CMAKE_CURRENT_SOURCE_DIR}/launcher/BenchCheckInstallJob.cpp)
target_link_libraries(benchcheckinstalljob PRIVATE launcher_core launcher_config)
