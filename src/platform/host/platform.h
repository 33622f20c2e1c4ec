// The slice of the Win32 API that tusak's stages use, declared for hosts
// that are not Windows. The stages compile unchanged against this header or
// against <windows.h>; which implementation stands behind these names is
// decided at link time (the X11 layer, or the fake platform of the tests).
//
// Types keep their Win32 widths (DWORD is 32 bits, LONG is 32 bits) so the
// structures below have the same layout as on 32-bit Windows, apart from
// the pointer in BITMAP, which nothing here writes to a file.
#ifndef TUSAK_PLATFORM_HOST_PLATFORM_H
#define TUSAK_PLATFORM_HOST_PLATFORM_H

#include <cstddef>  // NULL, as <windows.h> gives it
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef std::uintptr_t SIZE_T;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;

typedef void *HANDLE;
typedef struct HDC__ *HDC;
typedef struct HGDIOBJ__ *HGDIOBJ;
typedef struct HGDIOBJ__ *HBITMAP;  // a bitmap is one kind of GDI object
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef void *HLOCAL;
typedef void *HGLOBAL;
typedef struct HINSTANCE__ *HMODULE;
typedef std::intptr_t(WINAPI *FARPROC)();
typedef struct DPI_AWARENESS_CONTEXT__ *DPI_AWARENESS_CONTEXT;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0

#define HORZRES 8
#define VERTRES 10
#define SRCCOPY ((DWORD)0x00CC0020)
#define DIB_RGB_COLORS 0
#define BI_RGB 0L

#define LPTR 0x0040
#define GMEM_FIXED 0x0000

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)

#define ERROR_ACCESS_DENIED 5L
#define ERROR_FILE_EXISTS 80L
#define ERROR_ALREADY_EXISTS 183L

#define DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 \
  ((DPI_AWARENESS_CONTEXT)(std::intptr_t)-4)

#define MB_OK 0x00000000u

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");

struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

// The program's entry; the platform's start-up calls it once.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                   LPSTR lpCmdLine, int nShowCmd);

// GDI
HDC CreateDCA(LPCSTR pszDriver, LPCSTR pszDevice, LPCSTR pszOutput,
              const void *pdm);
HDC CreateCompatibleDC(HDC hdc);
int GetDeviceCaps(HDC hdc, int index);
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1,
            DWORD rop);
int GetObjectA(HANDLE h, int c, LPVOID pv);
int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              BITMAPINFO *lpbmi, UINT usage);

// User interface
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
int ShowCursor(BOOL bShow);

// Kernel
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError(void);
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// Not Win32: the name search's probe. TRUE when a file of this name opens
// for reading; it is closed again at once and nothing is read.
BOOL ProbeFileName(LPCSTR lpFileName);

// Not Win32: the pixel fetch. Here GetDIBits itself: the display systems
// behind it already write the byte that 32-bit pixels leave unused as 0.
inline int FetchDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines,
                       LPVOID lpvBits, BITMAPINFO *lpbmi, UINT usage) {
  return GetDIBits(hdc, hbm, start, cLines, lpvBits, lpbmi, usage);
}

#endif
