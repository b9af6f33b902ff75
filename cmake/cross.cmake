# What the four Linux cross toolchains share (cmake/cross-ARCH.cmake sets
# B64_CROSS_TRIPLET, B64_CROSS_MULTIARCH, B64_CROSS_DEBIAN_ARCH,
# B64_CROSS_QEMU, perhaps B64_CROSS_QEMU_OPTIONS, and the processor, then
# includes this): Debian's cross compiler, the target's libraries in the
# sysroot that tools/cross-sysroot unpacks (build/cross/ARCH/sysroot), and
# qemu-user, which runs the tree's programs for ctest and for
# gtest_discover_tests, with that sysroot as its root for the dynamic loader
# and the libraries.
set(CMAKE_SYSTEM_NAME Linux)

find_program(B64_CROSS_CXX NAMES ${B64_CROSS_TRIPLET}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${B64_CROSS_CXX})
# GoogleTest's project enables C too.
find_program(B64_CROSS_CC NAMES ${B64_CROSS_TRIPLET}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${B64_CROSS_CC})
set(CMAKE_LIBRARY_ARCHITECTURE ${B64_CROSS_MULTIARCH})

get_filename_component(B64_CROSS_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/cross/${B64_CROSS_DEBIAN_ARCH}/sysroot
                       ABSOLUTE)
if(NOT EXISTS ${B64_CROSS_SYSROOT}/usr/include/unicorn/unicorn.h)
  message(FATAL_ERROR "no sysroot for ${B64_CROSS_DEBIAN_ARCH} at ${B64_CROSS_SYSROOT}: "
                      "run tools/cross-sysroot ${B64_CROSS_DEBIAN_ARCH} (tools/cross-check does)")
endif()

# Libraries, headers and packages from the sysroot (the compiler's own C and
# C++ runtime come from its default, /usr/TRIPLET); programs from the machine.
set(CMAKE_FIND_ROOT_PATH ${B64_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    "${B64_CROSS_SYSROOT}/usr/lib/${B64_CROSS_MULTIARCH}/pkgconfig:${B64_CROSS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${B64_CROSS_SYSROOT})
# Headers a package keeps under the multiarch directory (openssl/opensslconf.h),
# which the compiler searches only in its own root.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${B64_CROSS_SYSROOT}/usr/include/${B64_CROSS_MULTIARCH})
# The sysroot's libraries name others of the sysroot (libcrypto libc.so.6).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${B64_CROSS_SYSROOT}/usr/lib/${B64_CROSS_MULTIARCH}:${B64_CROSS_SYSROOT}/lib/${B64_CROSS_MULTIARCH}")

find_program(B64_CROSS_QEMU_PROGRAM NAMES qemu-${B64_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${B64_CROSS_QEMU_PROGRAM} ${B64_CROSS_QEMU_OPTIONS} -L ${B64_CROSS_SYSROOT})
