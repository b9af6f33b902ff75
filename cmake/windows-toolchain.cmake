# Cross-compiles the Windows images: clang for Windows, linked by lld-link with
# no runtime library. Nothing of the C or C++ runtime is available, so CMake's
# compiler checks build static libraries instead of linking programs.
#
# B64_WINDOWS_ARCH, set by the preset, is the one thing that differs between
# the trees: x86 (the win32 preset: i686, PE32) or x64 (win64: x86-64, PE32+).
# platform/windows/CMakeLists.txt takes what follows from it.
set(CMAKE_SYSTEM_NAME Windows)
set(B64_WINDOWS_ARCH x86 CACHE STRING "The Windows images' architecture: x86 (PE32) or x64 (PE32+)")
set_property(CACHE B64_WINDOWS_ARCH PROPERTY STRINGS x86 x64)
# CMake's checks configure projects of their own, which see this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES B64_WINDOWS_ARCH)
if(B64_WINDOWS_ARCH STREQUAL "x86")
  set(CMAKE_SYSTEM_PROCESSOR X86)
  set(target i686-pc-windows-msvc)
elseif(B64_WINDOWS_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(target x86_64-pc-windows-msvc)
else()
  message(FATAL_ERROR "B64_WINDOWS_ARCH is \"${B64_WINDOWS_ARCH}\", neither x86 nor x64")
endif()

find_program(B64_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(B64_LLD_LINK NAMES lld-link-19 REQUIRED)
set(CMAKE_CXX_COMPILER ${B64_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET ${target})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_LINKER ${B64_LLD_LINK})
