// The display side of GDI on Linux: the screen's context, memory contexts,
// bitmaps in the screen's format, the copy of the screen into one and the
// fetch of its rows as a DIB, over whichever display system serves the
// session.
//
// Handles point into fixed pools and are checked against them, so a stale
// or foreign handle fails the call instead of being followed. Nothing is
// ever released: the program keeps its objects until it exits.
#include <strings.h>

#include <cstdint>
#include <cstring>

#include "bmpfile/dib.h"
#include "display.h"
#include "platform.h"
#include "why.h"

struct HDC__ {
  bool inUse;
  bool isMemory;
  const DisplaySystem *system;
  void *display;
  int width, height;
  int dibBits;
  struct HGDIOBJ__ *selected;
};

// A bitmap in the screen's format, or the 1 x 1 one-bit stock bitmap that a
// new memory context holds (no system, no pixels).
struct HGDIOBJ__ {
  bool inUse;
  const DisplaySystem *system;
  void *display;
  void *pixels;
  int width, height;
  int dibBits;
  HDC__ *selectedInto;
  bool captured;  // copied into at least once; black before
};

namespace {

const int kMaxDcs = 16;
const int kMaxBitmaps = 16;

const DisplaySystem *const kSystems[] = {&g_imageCopySystem,
                                         &g_screencopySystem, &g_kwinSystem,
                                         &g_portalSystem, &g_x11System};

HDC__ g_dcs[kMaxDcs];
HGDIOBJ__ g_bitmaps[kMaxBitmaps];
HGDIOBJ__ g_stockBitmap = {true, nullptr, nullptr, nullptr, 1,
                           1,    1,       nullptr, false};

bool IsLiveDc(HDC hdc) {
  for (HDC__ &dc : g_dcs)
    if (hdc == &dc) return dc.inUse;
  return false;
}

bool IsLiveBitmap(const void *h) {
  if (h == &g_stockBitmap) return true;
  for (HGDIOBJ__ &bm : g_bitmaps)
    if (h == &bm) return bm.inUse;
  return false;
}

HDC__ *NewDc() {
  for (HDC__ &dc : g_dcs)
    if (!dc.inUse) {
      dc = HDC__();
      dc.inUse = true;
      return &dc;
    }
  return nullptr;
}

}  // namespace

HDC CreateDCA(LPCSTR pszDriver, LPCSTR pszDevice, LPCSTR, const void *) {
  // Only the whole display is served, as one screen.
  if (!pszDriver || strcasecmp(pszDriver, "DISPLAY") != 0 || pszDevice)
    return nullptr;
  HDC__ *dc = NewDc();
  if (!dc) return nullptr;
  bool compositor = false;
  for (const DisplaySystem *system : kSystems) {
    if (compositor && !system->fWayland) continue;
    SetWhySystem(system->zName);
    DisplayInfo info = {};
    dc->display = system->Open(&info);
    compositor = compositor || info.fCompositor;
    if (dc->display) {
      dc->system = system;
      dc->width = info.cx;
      dc->height = info.cy;
      dc->dibBits = info.nDibBits;
      TellWhy(false);  // only what is worth telling of a system that serves
      return dc;
    }
  }
  TellWhy(true);
  dc->inUse = false;
  return nullptr;
}

HDC CreateCompatibleDC(HDC hdc) {
  // Without a display there is nothing to be compatible with.
  if (!IsLiveDc(hdc)) return nullptr;
  HDC__ *dc = NewDc();
  if (!dc) return nullptr;
  *dc = *hdc;
  dc->isMemory = true;
  dc->selected = &g_stockBitmap;
  return dc;
}

int GetDeviceCaps(HDC hdc, int index) {
  if (!IsLiveDc(hdc)) return 0;
  if (index == HORZRES) return hdc->width;
  if (index == VERTRES) return hdc->height;
  return 0;
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  if (!IsLiveDc(hdc)) return nullptr;
  // A memory context makes bitmaps like the one it holds; the one-bit stock
  // bitmap's kind is not made here.
  if (hdc->isMemory && hdc->selected == &g_stockBitmap) return nullptr;
  if (!DibFits(cx, cy, hdc->dibBits)) return nullptr;
  HGDIOBJ__ *bm = g_bitmaps;
  while (bm < g_bitmaps + kMaxBitmaps && bm->inUse) ++bm;
  if (bm == g_bitmaps + kMaxBitmaps) return nullptr;
  // A system whose picture came whole when it opened keeps no bitmaps.
  void *pixels = nullptr;
  if (hdc->system->CreateBitmap &&
      !(pixels = hdc->system->CreateBitmap(hdc->display, cx, cy)))
    return nullptr;
  *bm = HGDIOBJ__();
  bm->inUse = true;
  bm->system = hdc->system;
  bm->display = hdc->display;
  bm->pixels = pixels;
  bm->width = cx;
  bm->height = cy;
  bm->dibBits = hdc->dibBits;
  return bm;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  if (!IsLiveDc(hdc) || !hdc->isMemory || !IsLiveBitmap(h)) return nullptr;
  if (h != &g_stockBitmap) {
    // A bitmap is held by one context at a time, of its own display.
    if (h->selectedInto && h->selectedInto != hdc) return nullptr;
    if (h->display != hdc->display) return nullptr;
  }
  HGDIOBJ__ *previous = hdc->selected;
  if (previous != &g_stockBitmap) previous->selectedInto = nullptr;
  hdc->selected = h;
  if (h != &g_stockBitmap) h->selectedInto = hdc;
  return previous;
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1,
            DWORD rop) {
  // Served: a copy of part of the screen, as large as the bitmap, into the
  // whole of the bitmap a memory context holds.
  if (!IsLiveDc(hdc) || !hdc->isMemory || !IsLiveDc(hdcSrc) ||
      hdcSrc->isMemory || rop != SRCCOPY)
    return FALSE;
  HGDIOBJ__ *bm = hdc->selected;
  if (bm == &g_stockBitmap || bm->display != hdcSrc->display) return FALSE;
  if (x != 0 || y != 0 || cx != bm->width || cy != bm->height) return FALSE;
  if (x1 < 0 || y1 < 0 || x1 > hdcSrc->width - cx || y1 > hdcSrc->height - cy)
    return FALSE;
  if (!bm->system->Copy) {
    // The picture taken when the system opened: the whole of it only.
    if (x1 != 0 || y1 != 0 || cx != hdcSrc->width || cy != hdcSrc->height)
      return FALSE;
  } else if (!bm->system->Copy(bm->display, bm->pixels, x1, y1)) {
    TellWhy(true);  // what the copy met, before the notice it leads to
    return FALSE;
  }
  bm->captured = true;
  return TRUE;
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  if (!IsLiveBitmap(h)) return 0;
  if (!pv) return sizeof(BITMAP);
  if (c < static_cast<int>(sizeof(BITMAP))) return 0;
  const HGDIOBJ__ *bm = static_cast<const HGDIOBJ__ *>(h);
  BITMAP info = {};
  info.bmWidth = bm->width;
  info.bmHeight = bm->height;
  info.bmBitsPixel = static_cast<WORD>(bm->dibBits);
  // A device-dependent bitmap's rows are counted in 16-bit words.
  info.bmWidthBytes = (info.bmWidth * info.bmBitsPixel + 15) / 16 * 2;
  info.bmPlanes = 1;
  std::memcpy(pv, &info, sizeof info);
  return sizeof(BITMAP);
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              BITMAPINFO *lpbmi, UINT usage) {
  if (!IsLiveDc(hdc) || !IsLiveBitmap(hbm) || hbm == &g_stockBitmap || !lpbmi ||
      usage != DIB_RGB_COLORS)
    return 0;
  HGDIOBJ__ *bm = hbm;
  BITMAPINFOHEADER *bih = &lpbmi->bmiHeader;
  int bits = bm->dibBits;
  // Served: the bitmap's own depth, uncompressed.
  if (bih->biSize != sizeof(BITMAPINFOHEADER) || bih->biPlanes != 1 ||
      bih->biBitCount != bits || bih->biCompression != BI_RGB)
    return 0;

  // Without a buffer, only the record is completed.
  int lines = bm->height;
  UINT first = 0, n = 0;
  size_t stride = static_cast<size_t>(DibRowBytes(bm->width, bits));
  if (lpvBits) {
    // Bottom-up rows of the bitmap's own size, within the buffer the record
    // says it has.
    if (bih->biWidth != bm->width || bih->biHeight != bm->height) return 0;
    UINT height = static_cast<UINT>(bm->height);
    if (start >= height) return 0;
    first = start;
    n = cLines < height - start ? cLines : height - start;
    if (n > bih->biSizeImage / stride) n = bih->biSizeImage / stride;
    if (n == 0) return 0;
    lines = static_cast<int>(n);
  }

  RGBQUAD palette[256] = {};
  if (!bm->captured) {
    if (n) std::memset(lpvBits, 0, stride * n);  // never copied into: black
  } else if (!bm->system->Fetch(bm->display, bm->pixels,
                                static_cast<int>(first), static_cast<int>(n),
                                static_cast<BYTE *>(lpvBits), stride,
                                palette)) {
    TellWhy(true);  // what the fetch met, before the notice it leads to
    return 0;
  }

  if (bits <= 8) {
    // The table follows the header; no more entries than the record holds.
    DWORD cMax = DWORD(1) << bits;
    DWORD c = bih->biClrUsed < cMax ? bih->biClrUsed : cMax;
    std::memcpy(reinterpret_cast<BYTE *>(lpbmi) + bih->biSize, palette,
                c * sizeof(RGBQUAD));
  } else {
    // Uncompressed 16- and 32-bit pixels carry their colors: no table.
    bih->biClrUsed = 0;
  }
  return lines;
}
