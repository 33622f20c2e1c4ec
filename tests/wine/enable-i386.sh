#!/bin/sh
# Makes Wine's 32-bit loader runnable on this machine. Does nothing where the
# kernel runs 32-bit programs itself. Where it does not (a kernel with
# ia32_emulation off: "Exec format error"), it hands i386 programs to QEMU's
# user-mode emulator through binfmt_misc. Needs root.
#
# QEMU 7.2 (Debian 12) cannot run Wine: it ignores MAP_FIXED_NOREPLACE, and
# Wine's loader fails with "failed to map the shared user data". QEMU 8.1 and
# later can; Debian 12 has one in bookworm-backports.
set -eu

[ -e /usr/lib/wine/wine ] || { echo "wine32:i386 is not installed" >&2; exit 1; }
if /usr/lib/wine/wine --version >/dev/null 2>&1; then exit 0; fi

qemu=/usr/bin/qemu-i386
if ! "$qemu" --version 2>/dev/null | grep -Eq 'version ([89]|[1-9][0-9])\.'; then
  list=/etc/apt/sources.list.d/tusak-bookworm-backports.list
  echo "deb http://deb.debian.org/debian bookworm-backports main" >"$list"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports \
    qemu-user >/dev/null
  rm -f "$list"
  apt-get update -qq
fi

misc=/proc/sys/fs/binfmt_misc
[ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
[ -e "$misc/qemu-i386" ] && echo -1 >"$misc/qemu-i386"
# 32-bit little-endian ELF executables and shared objects for the i386; F
# opens the emulator now, so it serves every later exec.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
  >"$misc/register"

/usr/lib/wine/wine --version >/dev/null
