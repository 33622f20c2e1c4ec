// The pixel fetch on Windows: GDI's own, then the byte that 32-bit BI_RGB
// pixels leave unused set to 0 in every pixel fetched.
#include "platform.h"

int FetchDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
                LPBITMAPINFO lpbmi, UINT usage) {
  int nLines = GetDIBits(hdc, hbm, start, cLines, lpvBits, lpbmi, usage);
  // GDI leaves that byte as the drawing left it: 0 on most of a desktop,
  // 255 where icons were blended in (and everywhere on some systems). Viewers
  // that guess take it for alpha once any pixel sets it, and show the
  // screenshot all but see-through.
  const BITMAPINFOHEADER &bih = lpbmi->bmiHeader;
  if (nLines > 0 && lpvBits && bih.biBitCount == 32 &&
      bih.biCompression == BI_RGB && bih.biWidth > 0) {
    // Exactly the rows GDI reports it wrote: 4 bytes a pixel, no padding.
    unsigned long long cb = 4ull * DWORD(bih.biWidth) * DWORD(nLines);
    BYTE *pb = static_cast<BYTE *>(lpvBits);
    for (unsigned long long i = 3; i < cb; i += 4) pb[i] = 0;
  }
  return nLines;
}
