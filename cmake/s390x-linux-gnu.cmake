# Cross-builds the Linux program for Debian's s390x: 64-bit, big-endian.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TUSAK_ARCH s390x)
set(TUSAK_TRIPLET s390x-linux-gnu)
set(TUSAK_QEMU_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
