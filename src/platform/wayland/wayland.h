// What the Wayland display systems share (the standard image copy capture
// and wlroots screencopy): one connection to the compositor and its outputs
// (connection.cpp) laid out in one image (layout.h), the shared memory pool
// every output is copied into (pool.cpp), the capture's tries within one
// time limit (capture.cpp), and the fetch that puts each output's pixels in
// place as DIB rows (fetch.cpp). Each protocol's own file makes its frames
// and tells, per output, the buffer it copies into.
#ifndef TUSAK_PLATFORM_WAYLAND_WAYLAND_H
#define TUSAK_PLATFORM_WAYLAND_WAYLAND_H

#include <wayland-client.h>

#include <cstddef>
#include <cstdint>

#include "layout.h"
#include "platform.h"

struct zxdg_output_v1;
struct zxdg_output_manager_v1;

// A compositor that has stopped answering fails the call after this long,
// and a capture whose frames keep failing is given up after it too.
const int kWaylandTimeoutMs = 5000;

// The buffer an output is copied into, as its protocol tells it.
struct OutputBuffer {
  bool readable;  // a buffer in a format the fetch reads was offered
  uint32_t format, width, height, stride;
  int32_t transform;  // what the compositor did to the contents
  bool yInvert;
  size_t offset;  // of its pixels in the pool
  wl_buffer *buffer;
};

struct Output {
  wl_output *output;
  uint32_t name;  // its global's
  zxdg_output_v1 *xdgOutput;
  OutputPlace place;
  bool gone;      // removed while the capture ran: its place stays black
  void *capture;  // the protocol's own record for this output
  OutputBuffer buffer;
  bool ready, failed;  // the copy's progress
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
  bool tooMany;       // more were announced than are kept
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
  wl_shm_pool *shmPool;  // kept for the next try while it is large enough
  int poolFd;            // open from MakePool until FillPool; -1 otherwise
};

// The connection (connection.cpp). The compositor on WAYLAND_DISPLAY, its
// outputs laid out, if it offers a capture protocol: asked once a launch,
// and the answer kept either way. *pfCompositor: a compositor answered.
// Null, with the reason noted, when it does not serve.
WaylandDisplay *ConnectWayland(bool *pfCompositor);
// Binds the capture protocol global iface (one of those the compositor was
// found to offer) at no more than version highest; null if not offered.
void *BindCaptureGlobal(WaylandDisplay *d, const wl_interface *iface,
                        uint32_t highest, uint32_t *pVersion);
// Round trip after round trip until every output still there has reached
// the stage that `until` tells, or one failed (false), or the deadline
// (NowUs) passed, or the connection failed (false).
bool WaitForOutputs(WaylandDisplay *d, bool (*until)(const Output &),
                    uint64_t deadlineUs);

// One capture protocol's part in the tries of capture.cpp, each at every
// output at once so that they show the same moment.
struct CaptureProtocol {
  // Before the first try; false if the protocol cannot be used. May be null.
  bool (*Start)(WaylandDisplay *d);
  // Drops the output's last frame, if any, and asks what buffer its next
  // copy takes.
  void (*Ask)(Output *o);
  // The compositor has told that buffer.
  bool (*Told)(const Output &o);
  // Fills o->buffer from what was told. May be null (told into it).
  void (*Take)(Output *o);
  // Asks for the output to be copied into its buffer.
  void (*Copy)(Output *o);
};

// The copy of the bitmap's rectangle at (x, y) through protocol p: tries
// until every output is copied, within kWaylandTimeoutMs; false, with the
// reason noted, if that cannot be.
// pDisplay and pBitmap as the display system's Copy has them.
bool CaptureOutputs(void *pDisplay, void *pBitmap, int x, int y,
                    const CaptureProtocol &p);

// The pool (pool.cpp). Each output's buffer at its offset in one pool:
// the pool's size, or 0 if some buffer cannot be pooled (no format that is
// read, no pixels, more than 65,535 a side, rows shorter than their
// pixels) or they come to more than a pool holds.
size_t PlaceBuffers(WaylandDisplay *d);
// One pool, mapped into the bitmap, for every output's buffer (its format,
// width, height and stride set), with a wl_buffer each; the last one again
// while it is large enough. False if it cannot be made.
bool MakePool(WaylandDisplay *d, WaylandBitmap *bm);
// Once the copies are asked for: sends them, then gives a new pool its
// pages while the compositor renders, so that its copy finds them there.
void FillPool(WaylandDisplay *d, WaylandBitmap *bm);
// The pool's pages from..to mapped in one go, or given back once read.
void MapPages(const BYTE *from, const BYTE *to);
void UnmapPages(const BYTE *from, const BYTE *to);

// The pixels (fetch.cpp).
bool IsKnownShmFormat(uint32_t format);
int ShmBytesPerPixel(uint32_t format);
// The bitmap and the fetch, the same for every protocol.
void *CreateWaylandBitmap(void *pDisplay, int cx, int cy);
bool FetchWayland(void *pDisplay, void *pBitmap, int start, int n, BYTE *pBits,
                  size_t cbStride, RGBQUAD *pPalette);

#endif
