# Linux on s390x: Debian's s390x-linux-gnu-g++ and qemu-s390x (cmake/cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(B64_CROSS_TRIPLET s390x-linux-gnu)
set(B64_CROSS_MULTIARCH s390x-linux-gnu)
set(B64_CROSS_DEBIAN_ARCH s390x)
set(B64_CROSS_QEMU s390x)
# qemu-s390x 7.2 (Debian 12) computes the target of LARL, which Unicorn's
# code for s390x loads its own addresses with, in 32 bits: from code more
# than 2 GiB away from its target it lands 4 GiB off. Unicorn takes 1 GiB of
# address space for each CPU's translations, so the third CPU a process
# opens calls its hooks with a wrong pointer and dies (SIGSEGV). Guest
# memory of 2 GiB keeps every target within reach (one CPU at a time, as
# each test here has).
set(B64_CROSS_QEMU_OPTIONS -R 0x80000000)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
