# What the cross builds for other Debian architectures share: Debian 12's
# cross compilers for TUSAK_TRIPLET, the target's libraries from a sysroot
# of its packages (tests/cross/sysroot.py makes it, by default in
# /var/cache/tusak-tests/sysroot-TUSAK_ARCH), and QEMU's user mode to run
# what is built there (gtest's discovery, ctest).
set(CMAKE_SYSTEM_NAME Linux)
find_program(CMAKE_C_COMPILER ${TUSAK_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER ${TUSAK_TRIPLET}-g++ REQUIRED)

if(NOT TUSAK_SYSROOT)
  set(TUSAK_SYSROOT /var/cache/tusak-tests/sysroot-${TUSAK_ARCH})
endif()
set(CMAKE_SYSROOT ${TUSAK_SYSROOT})
# The compiler checks' own projects see the same.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TUSAK_SYSROOT)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkgconf reads the target's .pc files and puts the sysroot before their
# paths (the sysroot's wayland-scanner is a link to the host's).
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TUSAK_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${TUSAK_SYSROOT}/usr/lib/${TUSAK_TRIPLET}/pkgconfig:${TUSAK_SYSROOT}/usr/share/pkgconfig)

find_program(TUSAK_QEMU qemu-${TUSAK_QEMU_ARCH} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TUSAK_QEMU} -L ${TUSAK_SYSROOT})
