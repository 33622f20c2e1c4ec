// The seam under the GDI layer of the Linux build: one table of calls per
// way of reading the screen (X11, a Wayland compositor's image copy capture
// or screencopy, KWin's screenshot interface, the desktop portal). The GDI
// layer tries them in order when the display's context is made and keeps the
// first that serves; after that it calls only that table. Each system keeps
// its connection and its bitmaps' pixels in objects of its own, which the GDI
// layer holds as opaque pointers.
#ifndef TUSAK_PLATFORM_LINUX_DISPLAY_H
#define TUSAK_PLATFORM_LINUX_DISPLAY_H

#include <cstddef>

#include "platform.h"

struct DisplaySystem {
  // Serves a Wayland session. Once a compositor has answered, only these are
  // tried: X11 there is rootless Xwayland, which cannot read the desktop.
  bool isWayland;
  // Connects, if this system serves the session: gives the connection and
  // fills the screen's size in pixels and the DIB depth that its bitmaps are
  // fetched at (1, 4, 8, 16 or 32). Null when it does not serve, or cannot
  // map the screen's pixels to any DIB.
  void *(*Open)(int *pcx, int *pcy, int *pnDibBits);
  // Storage for a cx x cy bitmap of the screen's format; null if refused.
  void *(*CreateBitmap)(void *pDisplay, int cx, int cy);
  // Copies the screen's rectangle at (x, y), the bitmap's size, into it.
  // A system may take the picture earlier (the portal, when it connects) or
  // later, at the first fetch (X11 reads the root then, under a server grab,
  // rather than fill a screen-sized pixmap first): the program fetches once.
  bool (*Copy)(void *pDisplay, void *pBitmap, int x, int y);
  // Writes DIB lines start .. start+n-1 of a bitmap copied into (lines
  // counted from the bottom), cbStride bytes apart, each padded with zeros;
  // at 8 bits and fewer fills the palette with the 2^depth colours the
  // pixels mean. n may be 0, for the palette alone.
  bool (*Fetch)(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
                RGBQUAD *pPalette);
};

// Notes why a system did not serve, as one short line ("wayland-1 offers no
// screen capture protocol"). The lines are printed on standard error, each
// as "tusak: " and the reason, only when no system serves, before the
// notices that follow from it.
void NoteWhy(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
// Called by a Wayland system once a compositor has answered on
// WAYLAND_DISPLAY, whether or not that system then serves.
void NoteWaylandSession();

// In the order they are tried.
extern const DisplaySystem g_imageCopySystem;   // Wayland, ext image copy
extern const DisplaySystem g_screencopySystem;  // Wayland, wlroots screencopy
extern const DisplaySystem g_kwinSystem;        // Wayland, KWin's ScreenShot2
extern const DisplaySystem g_portalSystem;      // Wayland, desktop portal
extern const DisplaySystem g_x11System;         // X11

#endif
