# The host build: the filter over our POSIX layer, and everything that tests it.
add_compile_options(-Wall -Wextra -Werror=return-type)
include_directories(${PROJECT_SOURCE_DIR})

# Filter code keeps to what the image allows, so the host build finds it too.
add_library(filter_core OBJECT ${FILTER_SOURCES})
target_compile_options(filter_core PRIVATE -fno-exceptions -fno-rtti)
# gcc's SLP vectoriser packs each group's four characters into one word with
# shifts and ORs before storing it, which costs more than the four byte stores
# it replaces: about a fifth of EncodeChunk's time (measured with bench/encode_bench).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set_source_files_properties(filter/encode_chunk.cpp PROPERTIES COMPILE_OPTIONS -fno-tree-slp-vectorize)
endif()

add_library(host_format OBJECT platform/posix/wvsprintf.cpp)
add_library(platform_posix OBJECT platform/posix/posix_platform.cpp)

add_executable(b64filter platform/posix/main.cpp)
target_link_libraries(b64filter PRIVATE filter_core platform_posix host_format)

enable_testing()
add_subdirectory(tests)

# libFuzzer targets (clang only), each also run briefly as a test.
option(B64_FUZZERS "Build the fuzzers and run each for a bounded time as a test" OFF)
if(B64_FUZZERS)
  add_subdirectory(fuzz)
endif()

# The benchmark programs, and quick checks that they measure the right thing
# (bench/run does the timing; ctest never does).
option(B64_BENCH "Build the benchmark programs and check them as tests" ON)
if(B64_BENCH)
  add_subdirectory(bench)
endif()
