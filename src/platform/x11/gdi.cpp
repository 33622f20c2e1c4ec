// The display side of GDI over X11: the screen's context, memory contexts,
// bitmaps in the screen's format, and the copy of the root window into one.
//
// Handles point into fixed pools and are checked against them, so a stale
// or foreign handle fails the call instead of being followed. Nothing is
// ever released: the program keeps its objects until it exits.
#include <strings.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

#include "gdi_objects.h"
#include "platform.h"

namespace {

const int kMaxDcs = 16;
const int kMaxBitmaps = 16;
// Sizes travel as 16-bit numbers in the X protocol.
const int kMaxSide = 32767;
// A fetch reads about this many bytes of the display's rows at a time.
const int kStripBytes = 512 * 1024;

HDC__ g_dcs[kMaxDcs];
HGDIOBJ__ g_bitmaps[kMaxBitmaps];

int g_xError;  // code of the last protocol error, 0 when none came

int RecordXError(Display *, XErrorEvent *event) {
  // Xlib's own handler would end the process; a failed request only fails
  // the call that made it.
  g_xError = event->error_code;
  return 0;
}

int CountBits(unsigned long mask) {
  int n = 0;
  for (; mask; mask &= mask - 1) ++n;
  return n;
}

// The DIB depth that carries the visual's pixels without loss, or 0.
int DibBitsFor(const Visual *visual, const PixelFormat &f) {
  int r = CountBits(f.redMask), g = CountBits(f.greenMask),
      b = CountBits(f.blueMask);
  switch (visual->c_class) {
    case TrueColor:
      if (f.depth == 24 && f.bitsPerPixel == 32 && r == 8 && g == 8 && b == 8)
        return 32;
      if (f.depth == 16 && f.bitsPerPixel == 16 && r == 5 && g == 6 && b == 5)
        return 16;
      if (f.depth == 15 && f.bitsPerPixel == 16 && r == 5 && g == 5 && b == 5)
        return 16;
      return 0;
    case PseudoColor:
      // A pixel is an index into the colormap: indices and palette.
      return f.depth == 8 && f.bitsPerPixel == 8 ? 8 : 0;
    default:
      return 0;
  }
}

int BitsPerPixelOf(Display *dpy, int depth) {
  int count = 0, bits = 0;
  XPixmapFormatValues *formats = XListPixmapFormats(dpy, &count);
  for (int i = 0; i < count; ++i)
    if (formats[i].depth == depth) bits = formats[i].bits_per_pixel;
  if (formats) XFree(formats);
  return bits;
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

// Makes the bitmap's pixels a pixmap of the server's; false if refused.
bool CreateServerPixmap(HDC__ *dc, HGDIOBJ__ *bm) {
  g_xError = 0;
  bm->pixmap =
      XCreatePixmap(dc->dpy, dc->root, static_cast<unsigned>(bm->width),
                    static_cast<unsigned>(bm->height),
                    static_cast<unsigned>(dc->format.depth));
  // The windows on the root are part of the screen; no exposure events.
  XGCValues values;
  values.subwindow_mode = IncludeInferiors;
  values.graphics_exposures = False;
  bm->gc = XCreateGC(dc->dpy, bm->pixmap, GCSubwindowMode | GCGraphicsExposures,
                     &values);
  XSync(dc->dpy, False);
  if (g_xError == 0) return true;
  XFreeGC(dc->dpy, bm->gc);
  XFreePixmap(dc->dpy, bm->pixmap);
  XSync(dc->dpy, False);
  return false;
}

// Gives the bitmap a shared segment of one strip for its fetches; false
// leaves them to plain requests (remote server, no SysV memory). One small
// segment serves every strip: each page of a new one costs the server a
// fault, which is dearer than the copying.
bool AttachSharedStrip(HDC__ *dc, HGDIOBJ__ *bm) {
  XImage *image = XShmCreateImage(
      dc->dpy, dc->visual, static_cast<unsigned>(dc->format.depth), ZPixmap,
      nullptr, &bm->shmInfo, static_cast<unsigned>(bm->width),
      static_cast<unsigned>(bm->stripRows));
  if (!image) return false;
  bool attached = false;
  int id = -1;
  if (image->bits_per_pixel == dc->format.bitsPerPixel)
    id = shmget(IPC_PRIVATE,
                static_cast<size_t>(image->bytes_per_line) * bm->stripRows,
                IPC_CREAT | 0600);
  if (id != -1) {
    void *addr = shmat(id, nullptr, 0);
    if (addr != reinterpret_cast<void *>(-1)) {
      bm->shmInfo.shmid = id;
      bm->shmInfo.shmaddr = image->data = static_cast<char *>(addr);
      bm->shmInfo.readOnly = False;
      g_xError = 0;
      attached = XShmAttach(dc->dpy, &bm->shmInfo) && XSync(dc->dpy, False) &&
                 g_xError == 0;
      if (!attached) shmdt(addr);
    }
    // Marked for removal now both sides hold it, so it goes with the
    // process however that ends.
    shmctl(id, IPC_RMID, nullptr);
  }
  if (!attached) {
    image->data = nullptr;
    XDestroyImage(image);
    return false;
  }
  bm->strip = image;
  bm->shm = true;
  return true;
}

// The colormap as it stands, as RGBQUADs; false if the server refused.
bool ReadPalette(HDC__ *dc, RGBQUAD *palette) {
  XColor colors[256];
  int n = dc->mapEntries < 256 ? dc->mapEntries : 256;
  for (int i = 0; i < n; ++i) colors[i].pixel = static_cast<unsigned long>(i);
  g_xError = 0;
  XQueryColors(dc->dpy, dc->colormap, colors, n);
  if (g_xError) return false;
  std::memset(palette, 0, 256 * sizeof(RGBQUAD));
  for (int i = 0; i < n; ++i) {
    palette[i].rgbRed = static_cast<BYTE>(colors[i].red >> 8);
    palette[i].rgbGreen = static_cast<BYTE>(colors[i].green >> 8);
    palette[i].rgbBlue = static_cast<BYTE>(colors[i].blue >> 8);
  }
  return true;
}

}  // namespace

HGDIOBJ__ g_stockBitmap = {};

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

HDC CreateDCA(LPCSTR pszDriver, LPCSTR pszDevice, LPCSTR, const void *) {
  // Only the whole display is served, as one screen.
  if (!pszDriver || strcasecmp(pszDriver, "DISPLAY") != 0 || pszDevice)
    return nullptr;
  XSetErrorHandler(RecordXError);
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) return nullptr;
  HDC__ *dc = NewDc();
  if (!dc) {
    XCloseDisplay(dpy);
    return nullptr;
  }
  int screen = DefaultScreen(dpy);
  dc->dpy = dpy;
  dc->root = RootWindow(dpy, screen);
  dc->width = DisplayWidth(dpy, screen);
  dc->height = DisplayHeight(dpy, screen);
  dc->visual = DefaultVisual(dpy, screen);
  dc->colormap = DefaultColormap(dpy, screen);
  dc->mapEntries = dc->visual->map_entries;
  PixelFormat &f = dc->format;
  f.depth = DefaultDepth(dpy, screen);
  f.bitsPerPixel = BitsPerPixelOf(dpy, f.depth);
  f.byteOrder = ImageByteOrder(dpy);
  f.redMask = dc->visual->red_mask;
  f.greenMask = dc->visual->green_mask;
  f.blueMask = dc->visual->blue_mask;
  f.dibBits = DibBitsFor(dc->visual, f);
  dc->hasShm = XShmQueryExtension(dpy);
  dc->selected = nullptr;
  return dc;
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
  if (!IsLiveDc(hdc) || hdc->format.dibBits == 0) return nullptr;
  // A memory context makes bitmaps like the one it holds; the one-bit stock
  // bitmap's kind is not made here.
  if (hdc->isMemory && hdc->selected == &g_stockBitmap) return nullptr;
  if (cx <= 0 || cy <= 0 || cx > kMaxSide || cy > kMaxSide) return nullptr;
  HGDIOBJ__ *bm = nullptr;
  for (HGDIOBJ__ &slot : g_bitmaps)
    if (!slot.inUse) {
      bm = &slot;
      break;
    }
  if (!bm) return nullptr;
  *bm = HGDIOBJ__();
  bm->inUse = true;
  bm->dpy = hdc->dpy;
  bm->width = cx;
  bm->height = cy;
  bm->format = hdc->format;
  if (!CreateServerPixmap(hdc, bm)) {
    bm->inUse = false;
    return nullptr;
  }
  int rowBytes = cx * (hdc->format.bitsPerPixel / 8);
  bm->stripRows = kStripBytes / rowBytes > 0 ? kStripBytes / rowBytes : 1;
  if (bm->stripRows > cy) bm->stripRows = cy;
  if (hdc->hasShm) AttachSharedStrip(hdc, bm);
  return bm;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  if (!IsLiveDc(hdc) || !hdc->isMemory || !IsLiveBitmap(h)) return nullptr;
  if (h != &g_stockBitmap) {
    // A bitmap is held by one context at a time, of its own display.
    if (h->selectedInto && h->selectedInto != hdc) return nullptr;
    if (h->dpy != hdc->dpy) return nullptr;
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
  if (bm == &g_stockBitmap || bm->dpy != hdcSrc->dpy) return FALSE;
  if (x != 0 || y != 0 || cx != bm->width || cy != bm->height) return FALSE;
  if (x1 < 0 || y1 < 0 || x1 > hdcSrc->width - cx || y1 > hdcSrc->height - cy)
    return FALSE;

  // One request: the bitmap holds the screen as it was at that moment.
  g_xError = 0;
  XCopyArea(hdcSrc->dpy, hdcSrc->root, bm->pixmap, bm->gc, x1, y1,
            static_cast<unsigned>(cx), static_cast<unsigned>(cy), 0, 0);
  XSync(hdcSrc->dpy, False);
  if (g_xError) return FALSE;
  // The indices mean the colors the colormap gives them now.
  if (bm->format.dibBits == 8 && !ReadPalette(hdcSrc, bm->palette))
    return FALSE;
  bm->captured = true;
  return TRUE;
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  if (!IsLiveBitmap(h)) return 0;
  if (!pv) return sizeof(BITMAP);
  if (c < static_cast<int>(sizeof(BITMAP))) return 0;
  const HGDIOBJ__ *bm = static_cast<const HGDIOBJ__ *>(h);
  BITMAP info = {};
  if (bm == &g_stockBitmap) {
    info.bmWidth = info.bmHeight = 1;
    info.bmBitsPixel = 1;
  } else {
    info.bmWidth = bm->width;
    info.bmHeight = bm->height;
    info.bmBitsPixel = static_cast<WORD>(bm->format.dibBits);
  }
  // A device-dependent bitmap's rows are counted in 16-bit words.
  info.bmWidthBytes = (info.bmWidth * info.bmBitsPixel + 15) / 16 * 2;
  info.bmPlanes = 1;
  std::memcpy(pv, &info, sizeof info);
  return sizeof(BITMAP);
}
