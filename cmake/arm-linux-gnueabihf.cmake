# Cross-builds the Linux program for Debian's armhf: 32-bit, little-endian.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TUSAK_ARCH armhf)
set(TUSAK_TRIPLET arm-linux-gnueabihf)
set(TUSAK_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
