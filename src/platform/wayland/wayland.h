// What the Wayland capture protocols share (the standard image copy capture
// and wlroots screencopy): one connection to the compositor, its outputs and
// their layout, the wait for the compositor's answers within one time limit,
// the shared memory pool the outputs are copied into, and the fetch that
// puts each output's pixels in place as DIB rows. Each protocol's own file
// makes its frames and tells, per output, the buffer it copied into.
#ifndef TUSAK_PLATFORM_WAYLAND_WAYLAND_H
#define TUSAK_PLATFORM_WAYLAND_WAYLAND_H

#include <wayland-client.h>

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct zxdg_output_v1;
struct zxdg_output_manager_v1;

// A compositor that has stopped answering fails the call after this long.
const int kWaylandTimeoutMs = 5000;

struct Output {
  wl_output *output;
  uint32_t name;  // its global's
  zxdg_output_v1 *xdgOutput;
  int32_t x, y;                        // position in the layout, logical pixels
  int32_t logicalW, logicalH;          // 0 until xdg-output tells them
  int32_t geometryX, geometryY;        // the position, for want of it
  int32_t modeW, modeH;                // the current mode, physical pixels
  int32_t transform;                   // wl_output_transform
  int32_t scale;                       // integer scale, for want of xdg-output
  int32_t destX, destY, destW, destH;  // where it goes in the image
  // Removed while the capture ran: its place stays black.
  bool gone;
  // The protocol's own objects for this output.
  void *capture;
  // The buffer of the copy, as the protocol tells it.
  uint32_t format, width, height, stride;
  int32_t bufferTransform;  // what the compositor did to the contents
  bool yInvert;
  bool haveBuffer;  // a buffer that can be read was offered
  size_t offset;    // of its pixels in the pool
  // Progress of the copy.
  bool announced, bufferDone, ready, failed;
};

struct WaylandDisplay {
  wl_display *display;
  const char *name;  // WAYLAND_DISPLAY
  wl_registry *registry;
  wl_shm *shm;
  zxdg_output_manager_v1 *xdgOutputManager;
  Output **outputs;  // each on its own, as the listeners hold their address
  int nOutputs, nAllocated;
  bool laidOut;       // outputs that come later are not in the image
  int width, height;  // of the image
  // The capture protocols' globals the compositor offers (name, version).
  uint32_t offered[3][2];
};

struct WaylandBitmap {
  WaylandDisplay *d;
  int width, height;
  int x, y;  // the image's pixel at the bitmap's top left
  BYTE *pool;
  size_t poolSize;
  int poolFd;  // open from MakePool until FillPool; -1 otherwise
};

// The compositor on WAYLAND_DISPLAY, its outputs laid out, if it offers a
// capture protocol: made once and kept for the protocols tried after the
// first. Null, with the reason noted, when it does not serve.
WaylandDisplay *ConnectWayland();
// Binds the capture protocol global iface (one of those the compositor was
// found to offer) at no more than version highest; null if not offered.
void *BindCaptureGlobal(WaylandDisplay *d, const wl_interface *iface,
                        uint32_t highest, uint32_t *pVersion);

double WaylandNowMs();
// Dispatches events until *pDone, the deadline (WaylandNowMs) passes, or the
// connection fails; true only in the first case.
bool DispatchUntil(wl_display *display, const bool *pDone, double deadline);
// Every event the compositor sent before now has been handled.
bool Roundtrip(wl_display *display, double deadline);
// Round trip after round trip until every output still there has reached
// the stage that `until` tells, or one failed (false), or the deadline.
bool WaitForOutputs(WaylandDisplay *d, bool (*until)(const Output &),
                    double deadline);
// A frame of an output still there failed: worth another try.
bool AnyFailed(const WaylandDisplay *d);
// Some output is still there: a capture of none is no picture.
bool AnyShown(const WaylandDisplay *d);

bool IsKnownFormat(uint32_t format);
int BytesPerPixel(uint32_t format);
// One pool, mapped into the bitmap, for every output's buffer (its format,
// width, height and stride set); null if it cannot be made.
wl_shm_pool *MakePool(WaylandDisplay *d, WaylandBitmap *bm);
wl_buffer *PoolBuffer(wl_shm_pool *pool, const Output &o);
// Once the copies are asked for: sends them, then gives the pool its pages
// while the compositor renders, so that its copy finds them there.
void FillPool(WaylandDisplay *d, WaylandBitmap *bm);

// The bitmap and the fetch, the same for every protocol.
void *CreateWaylandBitmap(void *pDisplay, int cx, int cy);
bool FetchWayland(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
                  RGBQUAD *pPalette);

#endif
