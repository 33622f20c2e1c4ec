// The seam under the GDI layer of the Linux build: one table of calls per
// way of reading the screen (X11, a Wayland compositor's image copy capture
// or screencopy, KWin's screenshot interface, the desktop portal). The GDI
// layer tries them in order when the display's context is made and keeps the
// first that serves; after that it calls only that table. Each system keeps
// its connection and its bitmaps' pixels in objects of its own, which the GDI
// layer holds as opaque pointers. Why a system does not serve goes through
// why.h.
#ifndef TUSAK_PLATFORM_LINUX_DISPLAY_H
#define TUSAK_PLATFORM_LINUX_DISPLAY_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

// What a system's Open tells of the screen it connected to.
struct DisplayInfo {
  int cx, cy;    // the screen's size in pixels
  int nDibBits;  // the DIB depth its bitmaps are fetched at: 1, 4, 8, 16, 32
  // A Wayland compositor answered on WAYLAND_DISPLAY, whether or not this
  // system then serves: only Wayland systems are tried after it, as X11
  // there is rootless Xwayland, which cannot read the desktop.
  bool fCompositor;
};

struct DisplaySystem {
  const char *zName;  // starts its why lines
  bool fWayland;      // may serve a Wayland session
  // Connects, if this system serves the session: gives the connection and
  // fills *pInfo. Null when it does not serve, or cannot map the screen's
  // pixels to any DIB.
  void *(*Open)(DisplayInfo *pInfo);
  // Storage for a cx x cy bitmap of the screen's format; null if refused.
  // Null for a system that takes the whole picture when it opens: its
  // bitmaps are the picture itself.
  void *(*CreateBitmap)(void *pDisplay, int cx, int cy);
  // Copies the screen's rectangle at (x, y), the bitmap's size, into it.
  // X11 reads the pixels only at the fetch, under a server grab, rather than
  // fill a screen-sized pixmap first: the program fetches once. Null for a
  // system whose picture was taken when it opened: a copy of the whole
  // screen then serves, and nothing else.
  bool (*Copy)(void *pDisplay, void *pBitmap, int x, int y);
  // Writes DIB lines start .. start+n-1 of a bitmap copied into (lines
  // counted from the bottom), cbStride bytes apart, each padded with zeros;
  // at 8 bits and fewer fills the palette with the 2^depth colours the
  // pixels mean. n may be 0, for the palette alone.
  bool (*Fetch)(void *pDisplay, void *pBitmap, int start, int n, BYTE *pBits,
                size_t cbStride, RGBQUAD *pPalette);
};

// The size of the image the Wayland compositor's outputs make together, as
// its connection laid them out, whether or not a capture protocol then
// served: what a picture of the desktop handed over by a service can be.
// False when no compositor told it.
bool WaylandLayoutSize(int64_t *pcx, int64_t *pcy);

// In the order they are tried.
extern const DisplaySystem g_imageCopySystem;   // Wayland, ext image copy
extern const DisplaySystem g_screencopySystem;  // Wayland, wlroots screencopy
extern const DisplaySystem g_kwinSystem;        // KWin's ScreenShot2
extern const DisplaySystem g_portalSystem;      // the desktop portal
extern const DisplaySystem g_x11System;         // X11

#endif
