// On Windows the stages call the platform itself.
#ifndef TUSAK_PLATFORM_WIN32_PLATFORM_H
#define TUSAK_PLATFORM_WIN32_PLATFORM_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Not Win32: the name search's probe. TRUE when a file of this name opens
// for reading; it is closed again at once and nothing is read.
BOOL ProbeFileName(LPCSTR lpFileName);

// Not Win32: the pixel fetch, GetDIBits with the byte that 32-bit pixels
// leave unused set to 0, so that every viewer shows the picture opaque.
int FetchDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
                LPBITMAPINFO lpbmi, UINT usage);

#endif
