# Linux on i386: Debian's i686-linux-gnu-g++ and qemu-i386 (cmake/cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(B64_CROSS_TRIPLET i686-linux-gnu)
set(B64_CROSS_MULTIARCH i386-linux-gnu)
set(B64_CROSS_DEBIAN_ARCH i386)
set(B64_CROSS_QEMU i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
