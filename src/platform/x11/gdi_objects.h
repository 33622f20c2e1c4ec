// The objects behind the GDI handles of the X11 layer, shared by its two
// halves: the contexts and bitmaps (gdi.cpp) and the pixel fetch (dib.cpp).
#ifndef TUSAK_PLATFORM_X11_GDI_OBJECTS_H
#define TUSAK_PLATFORM_X11_GDI_OBJECTS_H

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include "platform.h"

// How the display stores a pixel, and which DIB depth stands for it.
struct PixelFormat {
  int depth;         // significant bits of a pixel
  int bitsPerPixel;  // bits a pixel takes in an image (8, 16 or 32 here)
  int byteOrder;     // LSBFirst or MSBFirst, for pixels wider than a byte
  unsigned long redMask, greenMask, blueMask;  // TrueColor only
  int dibBits;  // 8, 16 or 32; 0 when the layer cannot serve the visual
};

// A display context (the screen) or a memory context made from one; both
// refer to the same connection.
struct HDC__ {
  bool inUse;
  bool isMemory;
  Display *dpy;
  Window root;
  int width, height;
  Visual *visual;
  Colormap colormap;
  int mapEntries;  // colormap cells, for the 8-bit palette
  PixelFormat format;
  bool hasShm;  // the server shares images through MIT-SHM
  struct HGDIOBJ__ *selected;
};

// A bitmap in the display's format, kept where a device keeps its bitmaps:
// on the server, as a pixmap. The copy into it is one request; the fetch
// reads it back in strips, through a shared segment of one strip when the
// server offers MIT-SHM, else through plain image requests.
struct HGDIOBJ__ {
  bool inUse;
  Display *dpy;
  int width, height;
  PixelFormat format;
  HDC__ *selectedInto;
  bool captured;  // copied into at least once; black before
  Pixmap pixmap;
  GC gc;          // copies into the pixmap
  int stripRows;  // rows a fetch asks for at a time
  bool shm;
  XImage *strip;            // the shared segment, one strip of rows
  XShmSegmentInfo shmInfo;  // referenced by that image while it lives
  RGBQUAD palette[256];     // the colormap as it was at the copy (8 bits)
};

// True when h is a context or a bitmap of this layer that is in use.
bool IsLiveDc(HDC hdc);
bool IsLiveBitmap(const void *h);

// The bitmap a new memory context holds: 1 x 1, one bit, no pixels.
extern HGDIOBJ__ g_stockBitmap;

#endif
