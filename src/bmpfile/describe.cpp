#include <cstdint>

#include "bmpfile/bmpfile.h"
#include "bmpfile/dib.h"
#include "notice/notice.h"
#include "platform.h"

// The depth that decides the palette and the row size: the product of planes
// and bits per pixel, as an unsigned 16-bit number, rounded up to a depth
// that device-independent bitmaps have.
static int RoundedDepth(WORD wProduct) {
  if (wProduct == 1) return 1;
  if (wProduct <= 4) return 4;
  if (wProduct <= 8) return 8;
  if (wProduct <= 16) return 16;
  if (wProduct <= 24) return 24;
  return 32;
}

BITMAPINFO *DescribeBitmap(HBITMAP hbmScreen) {
  // Zeroed so that a failed query describes an empty bitmap.
  BITMAP bm = {};
  if (!GetObjectA(hbmScreen, sizeof(BITMAP), &bm)) ReportError("error");

  int nDepth = RoundedDepth(static_cast<WORD>(bm.bmPlanes * bm.bmBitsPixel));
  DWORD cClrUsed = nDepth < 24 ? DWORD(1) << nDepth : 0;

  // Each row is padded to a multiple of 4 bytes. The size is worked out in
  // 64 bits; a bitmap whose pixels the format cannot count in 32 bits, or
  // whose own pixels are wider than the rows sized here (so the fetch would
  // overrun them), is described as empty: 0 x 0 pixels and no pixel array.
  LONG cx = bm.bmWidth, cy = bm.bmHeight;
  std::int64_t cbImage = DibRowBytes(cx, nDepth) * cy;
  if (cx < 0 || cy < 0 || cbImage > kMaxDibBytes || bm.bmBitsPixel > nDepth) {
    cx = cy = 0;
    cbImage = 0;
  }

  BITMAPINFO *pbmi = static_cast<BITMAPINFO *>(
      LocalAlloc(LPTR, kInfoHeaderBytes + cClrUsed * sizeof(RGBQUAD)));
  if (!pbmi) {
    // No room for the record: describe an empty image in a header-only
    // record of our own, so the fetch and the writes stay within it.
    static BITMAPINFO bmiEmpty;
    pbmi = &bmiEmpty;
    cClrUsed = 0;
    cx = cy = 0;
    cbImage = 0;
  }

  BITMAPINFOHEADER *pbih = &pbmi->bmiHeader;
  pbih->biSize = kInfoHeaderBytes;
  pbih->biWidth = cx;
  pbih->biHeight = cy;  // positive: rows run bottom-up
  pbih->biPlanes = bm.bmPlanes;
  pbih->biBitCount = bm.bmBitsPixel;
  pbih->biCompression = BI_RGB;
  pbih->biSizeImage = static_cast<DWORD>(cbImage);
  pbih->biClrUsed = cClrUsed;
  pbih->biClrImportant = 0;
  return pbmi;
}
