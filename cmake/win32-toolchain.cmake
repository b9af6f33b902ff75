# Cross-compiles the Windows image: clang for i686 Windows, linked by lld-link
# with no runtime library. Nothing of the C or C++ runtime is available, so
# CMake's compiler checks build static libraries instead of linking programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)

find_program(B64_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(B64_LLD_LINK NAMES lld-link-19 REQUIRED)
set(CMAKE_CXX_COMPILER ${B64_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_LINKER ${B64_LLD_LINK})
