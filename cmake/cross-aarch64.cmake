# Linux on aarch64: Debian's aarch64-linux-gnu-g++ and qemu-aarch64 (cmake/cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(B64_CROSS_TRIPLET aarch64-linux-gnu)
set(B64_CROSS_MULTIARCH aarch64-linux-gnu)
set(B64_CROSS_DEBIAN_ARCH arm64)
set(B64_CROSS_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
