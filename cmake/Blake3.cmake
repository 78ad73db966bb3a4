# BLAKE3: prefer a system library; otherwise compile the C sources that Debian ships with
# its Rust crate (never copied into this repository).
find_library(BLAKE3_SYSTEM_LIBRARY NAMES blake3)
find_path(BLAKE3_SYSTEM_INCLUDE NAMES blake3.h)
if(BLAKE3_SYSTEM_LIBRARY AND BLAKE3_SYSTEM_INCLUDE)
    add_library(blake3 INTERFACE)
    target_link_libraries(blake3 INTERFACE ${BLAKE3_SYSTEM_LIBRARY})
    target_include_directories(blake3 INTERFACE ${BLAKE3_SYSTEM_INCLUDE})
    message(STATUS "BLAKE3: system library ${BLAKE3_SYSTEM_LIBRARY}")
    return()
endif()

file(GLOB BLAKE3_SOURCE_DIRS LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT BLAKE3_SOURCE_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET BLAKE3_SOURCE_DIRS 0 BLAKE3_SOURCE_DIR)
if(NOT EXISTS "${BLAKE3_SOURCE_DIR}/blake3.c")
    message(FATAL_ERROR "BLAKE3 C sources not found: install librust-blake3-dev")
endif()
message(STATUS "BLAKE3: compiling sources from ${BLAKE3_SOURCE_DIR}")

set(BLAKE3_SOURCES ${BLAKE3_SOURCE_DIR}/blake3.c ${BLAKE3_SOURCE_DIR}/blake3_dispatch.c
                   ${BLAKE3_SOURCE_DIR}/blake3_portable.c)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    list(APPEND BLAKE3_SOURCES
         ${BLAKE3_SOURCE_DIR}/blake3_sse2_x86-64_unix.S ${BLAKE3_SOURCE_DIR}/blake3_sse41_x86-64_unix.S
         ${BLAKE3_SOURCE_DIR}/blake3_avx2_x86-64_unix.S ${BLAKE3_SOURCE_DIR}/blake3_avx512_x86-64_unix.S)
    add_library(blake3 STATIC ${BLAKE3_SOURCES})
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    add_library(blake3 STATIC ${BLAKE3_SOURCES} ${BLAKE3_SOURCE_DIR}/blake3_neon.c)
    target_compile_definitions(blake3 PUBLIC BLAKE3_USE_NEON=1)
else()
    add_library(blake3 STATIC ${BLAKE3_SOURCES})
    target_compile_definitions(blake3 PUBLIC BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
target_include_directories(blake3 SYSTEM PUBLIC ${BLAKE3_SOURCE_DIR})
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
