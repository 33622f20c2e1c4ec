#!/usr/bin/env bash
# The Linux program as users get it, from its Release build folder:
# cmake --install puts bin/tusak and its manual page under a prefix, and
# cpack makes a Debian package whose Depends name the libraries the binary
# links and the two the desktop-portal path loads, and that Debian's own
# checker, lintian, passes without an error or a warning. The packaged
# program runs.
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -x "$build/tusak" ] || fail "no $build/tusak: build the linux preset first"
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
[ -x "$tmp/prefix/bin/tusak" ] || fail "cmake --install left no bin/tusak"
# KWin serves its screenshot interface to the binary its entry names.
entry=$tmp/prefix/share/applications/tusak.desktop
check_entry() {  # FILE EXEC
  [ -f "$1" ] || fail "no desktop entry $1"
  for line in "Exec=$2" NoDisplay=true \
    X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2; do
    grep -qx "$line" "$1" || fail "the desktop entry lacks $line: $(cat "$1")"
  done
}
check_entry "$entry" "$(realpath "$tmp/prefix/bin")/tusak"
page=$tmp/prefix/share/man/man1/tusak.1.gz
[ -f "$page" ] || fail "cmake --install left no share/man/man1/tusak.1.gz"

# The page renders, with its sections, and names the notices the program
# itself shows.
text=$(MANWIDTH=100 man -l "$page" 2>"$tmp/man.err")
[ ! -s "$tmp/man.err" ] || fail "man: $(cat "$tmp/man.err")"
for section in NAME SYNOPSIS DESCRIPTION FILES DIAGNOSTICS "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$text" || fail "no $section section in the manual page"
done
mapfile -t steps < <(grep -v '^#' "$(dirname "$0")/../common/notices.txt")
for notice in "${steps[@]}"; do
  [ "$notice" != error ] || continue # too plain a word to look for
  grep -q "$notice" <<<"$text" || fail "the manual page does not explain \"$notice\""
  grep -aq "$notice" "$build/tusak" || fail "\"$notice\" is not a notice of the program"
done
# apropos finds it by what it does: the NAME line that man-db indexes.
lexgrog "$page" | grep -qw screenshot ||
  fail "the NAME line does not say \"screenshot\": $(lexgrog "$page")"

# The README's lines that uninstall a copy under ~/.local remove all of it.
readme=$(dirname "$0")/../../README.md
grep -E '^    rm .*~/\.local/' "$readme" | sed "s#~/\.local/#$tmp/prefix/#g" \
  >"$tmp/uninstall"
[ -s "$tmp/uninstall" ] || fail "the README has no lines that uninstall"
sh -e "$tmp/uninstall"
left=$(find "$tmp/prefix" ! -type d)
[ -z "$left" ] || fail "the README's uninstall lines leave: $left"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >/dev/null
deb=$(ls "$tmp"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libxcb1 libxcb-shm0 libwayland-client0 libsystemd0 libpng16-16; do
  grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
# Its description names every way the program reads a desktop.
description=$(dpkg-deb -f "$deb" Description)
for way in "image copy capture" screencopy KWin "desktop portal" X11; do
  grep -q "$way" <<<"$description" || fail "the description does not name $way"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/tusak ./usr/share/man/man1/tusak.1.gz \
  ./usr/share/applications/tusak.desktop ./usr/share/doc/tusak/changelog.gz \
  ./usr/share/doc/tusak/copyright; do
  grep -qx "$f" <<<"$contents" || fail "the package lacks $f"
done

# What Debian asks of a package, as lintian checks it: no error or warning,
# and none of its notes on hardening or on sections a package drops; and
# what it cannot know: the changelog's latest entry is this version, and a
# Homepage, if any, is no reserved name.
command -v lintian >/dev/null || fail "no lintian: run scripts/install-deps"
# (TMPDIR: lintian leaves files of its own there.)
TMPDIR=$tmp lintian -I --fail-on error,warning "$deb" >"$tmp/lintian" 2>"$tmp/lintian.err" ||
  fail "lintian: $(cat "$tmp/lintian" "$tmp/lintian.err")"
! grep -E 'hardening-|binary-has-unneeded-section' "$tmp/lintian" ||
  fail "lintian: $(cat "$tmp/lintian")"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb --fsys-tarfile "$deb" |
  tar -xOf - ./usr/share/doc/tusak/changelog.gz | gunzip >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's latest entry is not version $version"
homepage=$(dpkg-deb -f "$deb" Homepage)
grep -Eq '\.(invalid|example|test|localhost)(/|$)' <<<"$homepage" &&
  fail "Homepage $homepage cannot be a real page"

# The licence: the copyright file, in Debian's machine-readable format,
# gives LICENSE's holder and, word for word, its text.
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/tusak/copyright >"$tmp/copyright"
licence=$(dirname "$0")/../../LICENSE
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$tmp/copyright" || fail "the copyright file is not in the machine-readable format"
grep -qx 'Copyright: 2026 The tusak authors' "$tmp/copyright" &&
  grep -qx 'Copyright (c) 2026 The tusak authors' "$licence" ||
  fail "the copyright file and LICENSE do not name the same holder"
words() { sed 's/^ \.$//; s/^ //' | tr -s '[:space:]' ' '; }
[ "$(awk -v RS= '/^License: Expat\n/' "$tmp/copyright" | tail -n +2 | words)" = \
  "$(sed -n '/^Permission/,$p' "$licence" | words)" ] ||
  fail "the copyright file's Expat text is not LICENSE's"

# Unpacked, it runs: with no display it shows every notice of a failed
# grab, exits 0 and still writes its (empty) file.
dpkg-deb -x "$deb" "$tmp/root"
check_entry "$tmp/root/usr/share/applications/tusak.desktop" /usr/bin/tusak
# Hardened: relocations resolved at start, then read-only; no .comment.
bin=$tmp/root/usr/bin/tusak
readelf -d "$bin" | grep -Eq '\((FLAGS|FLAGS_1)\) .*\b(BIND_NOW|NOW)\b' ||
  fail "not linked with -z now: $(readelf -d "$bin" | grep FLAGS)"
readelf -lW "$bin" | grep -q GNU_RELRO || fail "no GNU_RELRO segment"
! readelf -SW "$bin" | grep -q '\.comment' || fail "the binary keeps .comment"
mkdir "$tmp/run"
status=0
(cd "$tmp/run" && env -i PATH=/usr/bin:/bin "$tmp/root/usr/bin/tusak" 2>"$tmp/stderr") || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
# The notices of a run with no bitmap: the grab's three, the query's, the
# fetch's.
want="tusak: no X display named (DISPLAY is not set)"$'\n'$(printf 'Error: %s\n' "${steps[@]:0:4}" "${steps[5]}")
[ "$(cat "$tmp/stderr")" = "$want" ] || fail "notices: $(cat "$tmp/stderr")"
[ "$(stat -c %s "$tmp/run/tusak0000.bmp")" -eq 118 ] || fail "no 118-byte tusak0000.bmp"
echo "package: $(basename "$deb"), Depends: $depends"
