# Linux on armhf: Debian's arm-linux-gnueabihf-g++ and qemu-arm (cmake/cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(B64_CROSS_TRIPLET arm-linux-gnueabihf)
set(B64_CROSS_MULTIARCH arm-linux-gnueabihf)
set(B64_CROSS_DEBIAN_ARCH armhf)
set(B64_CROSS_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
