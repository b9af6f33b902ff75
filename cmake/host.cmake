# The host build: the filter over our POSIX layer, and everything that tests it.
include(cmake/hardening.cmake)
add_compile_options(-Wall -Wextra -Werror=return-type)
if(B64_WERROR)
  add_compile_options(-Werror)
endif()
include_directories(${PROJECT_SOURCE_DIR})

# One object library per piece; the programs, tests, fuzzers and benchmarks
# are put together from these.
#   diagnostics      PrintFormat, which both programs' messages go through
#   filter_loop      FilterMain (the encoder's copy loop)
#   filter_encoder   EncodeChunk
#   unfilter_loop    UnfilterMain (the decoder's loop)
#   unfilter_decoder DecodeChunk
#   unfilter_decoder_checked  DecodeChunk for the tests, its bound checked
#   platform_posix   the six KERNEL32 functions over POSIX descriptors
#   host_format      wvsprintfA (USER32's formatter) for builds without Windows
#   posix_main       main() (host/main.cpp), which hands over to FilterMain
#   posix_unfilter_main  the same main(), handing over to UnfilterMain
# Program code keeps to what the image allows, so the host build finds it too.
add_library(diagnostics OBJECT ${DIAGNOSTICS_SOURCES})
add_library(filter_loop OBJECT ${FILTER_LOOP_SOURCES})
add_library(filter_encoder OBJECT ${FILTER_ENCODER_SOURCES})
add_library(unfilter_loop OBJECT ${UNFILTER_LOOP_SOURCES})
add_library(unfilter_decoder OBJECT ${UNFILTER_DECODER_SOURCES})
# The tests' own copy of DecodeChunk, with every write checked against its
# buffer's bound, which their runs then hold in every step; the programs, the
# benchmarks and the image have none. The coverage tree leaves it out (its
# failing side is never taken), and the copy is then the programs' code.
option(B64_CHECK_DECODED_BOUND "The tests' DecodeChunk stops at any write past its buffer" ON)
add_library(unfilter_decoder_checked OBJECT ${UNFILTER_DECODER_SOURCES})
if(B64_CHECK_DECODED_BOUND)
  target_compile_definitions(unfilter_decoder_checked PRIVATE B64_CHECK_DECODED_BOUND)
endif()
# The tests' copy also marks the text secret for valgrind's memcheck
# (unfilter/decode_chunk.cpp, B64_SECRET_MARKS), where valgrind's header is
# there (not in a cross tree's sysroot): memcheck then reports a branch or an
# address that depends on a character (tests/e2e/test_valgrind.py). The
# marks do nothing in a run without valgrind.
include(CheckIncludeFileCXX)
check_include_file_cxx(valgrind/memcheck.h B64_HAVE_MEMCHECK_H)
if(B64_HAVE_MEMCHECK_H)
  target_compile_definitions(unfilter_decoder_checked PRIVATE B64_SECRET_MARKS)
endif()
foreach(piece diagnostics filter_loop filter_encoder unfilter_loop unfilter_decoder unfilter_decoder_checked)
  target_compile_options(${piece} PRIVATE -fno-exceptions -fno-rtti)
endforeach()
# gcc's SLP vectoriser packs each group's four characters into one word with
# shifts and ORs before storing it, which costs more than the four byte stores
# it replaces: about a fifth of EncodeChunk's time (measured with tests/bench/encode_bench).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(filter_encoder PRIVATE -fno-tree-slp-vectorize)
endif()

add_library(host_format OBJECT platform/format/wvsprintf.cpp)
add_library(platform_posix OBJECT platform/posix/posix_platform.cpp)
add_library(posix_main OBJECT host/main.cpp)
add_library(posix_unfilter_main OBJECT host/main.cpp)
target_compile_definitions(posix_main PRIVATE B64_PROGRAM="b64filter")
target_compile_definitions(posix_unfilter_main PRIVATE B64_ENTRY=UnfilterMain B64_PROGRAM="b64unfilter")

# The Linux program. (The wrapper script ./b64filter at the top of the source
# tree is another thing: it runs the Windows image under Wine.)
add_executable(b64filter)
target_link_libraries(b64filter PRIVATE posix_main filter_loop filter_encoder diagnostics platform_posix host_format)
# The decoder, b64unfilter, over the same platform layer.
add_executable(b64unfilter)
target_link_libraries(b64unfilter PRIVATE posix_unfilter_main unfilter_loop unfilter_decoder diagnostics
                      platform_posix host_format)
include(cmake/install.cmake)

# CTest's switch: OFF builds and installs the two programs with a C++ compiler
# and CMake alone, as a packager wants them. Nothing below is even looked
# for then: not GoogleTest, OpenSSL, Unicorn, Capstone, Google Benchmark nor
# libFuzzer's header, and no test, emulator, fuzzer or benchmark is made.
# (The option CTest's own module would give, without its dashboard targets.)
option(BUILD_TESTING "Build the tests, the emulator, the fuzzers and the benchmarks" ON)
if(NOT BUILD_TESTING)
  return()
endif()

# The shipped image on an emulated CPU (tests/emulator/CMakeLists.txt), which the
# tests, the copy-loop fuzzer and the benchmarks run.
add_subdirectory(tests/emulator)

enable_testing()
include(cmake/tests.cmake)
add_subdirectory(tests)

# libFuzzer targets (clang only), each also run briefly as a test.
option(B64_FUZZERS "Build the fuzzers and run each for a bounded time as a test" OFF)
if(B64_FUZZERS)
  add_subdirectory(tests/fuzz)
endif()

# The benchmark programs, and quick checks that they measure the right thing
# (tests/bench/run does the timing; ctest never does).
option(B64_BENCH "Build the benchmark programs and check them as tests" ON)
if(B64_BENCH)
  add_subdirectory(tests/bench)
endif()
