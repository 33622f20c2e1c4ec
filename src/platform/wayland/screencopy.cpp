// Reading a Wayland desktop through the wlroots screencopy protocol (sway,
// Hyprland, river, labwc, Wayfire), where the standard image copy capture
// protocol is not offered: a frame for each output, each into its place in
// one pool (wayland.h has the rest).
#include <wayland-client.h>

#include <cstdint>

#include "display.h"
#include "platform.h"
#include "wayland.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace {

zwlr_screencopy_manager_v1 *g_manager = nullptr;
uint32_t g_version = 0;

zwlr_screencopy_frame_v1 *FrameOf(const Output &o) {
  return static_cast<zwlr_screencopy_frame_v1 *>(o.capture);
}

void FrameDamage(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t, uint32_t) {}
void FrameDmabuf(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t) {}

void FrameBuffer(void *data, zwlr_screencopy_frame_v1 *, uint32_t format,
                 uint32_t width, uint32_t height, uint32_t stride) {
  Output *o = static_cast<Output *>(data);
  o->announced = true;
  // The first format that can be read, of those offered.
  if (o->haveBuffer || !IsKnownFormat(format)) return;
  o->haveBuffer = true;
  o->format = format;
  o->width = width;
  o->height = height;
  o->stride = stride;
}

void FrameFlags(void *data, zwlr_screencopy_frame_v1 *, uint32_t flags) {
  static_cast<Output *>(data)->yInvert =
      flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}

void FrameReady(void *data, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                uint32_t) {
  static_cast<Output *>(data)->ready = true;
}

void FrameFailed(void *data, zwlr_screencopy_frame_v1 *) {
  static_cast<Output *>(data)->failed = true;
}

void FrameBufferDone(void *data, zwlr_screencopy_frame_v1 *) {
  static_cast<Output *>(data)->bufferDone = true;
}

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    FrameBuffer, FrameFlags,  FrameReady,     FrameFailed,
    FrameDamage, FrameDmabuf, FrameBufferDone};

bool BuffersKnown(const Output &o) {
  // Before version 3 the one buffer event is all there is.
  return o.bufferDone || (g_version < 3 && o.announced);
}

bool Copied(const Output &o) { return o.ready; }

void *OpenScreencopy(int *pcx, int *pcy, int *pnDibBits) {
  WaylandDisplay *d = ConnectWayland();
  if (!d) return nullptr;
  g_manager = static_cast<zwlr_screencopy_manager_v1 *>(BindCaptureGlobal(
      d, &zwlr_screencopy_manager_v1_interface, 3, &g_version));
  if (!g_manager) return nullptr;
  *pcx = d->width;
  *pcy = d->height;
  *pnDibBits = 32;
  return d;
}

// One try at every output at once, so they show the same moment.
bool CaptureOnce(WaylandDisplay *d, WaylandBitmap *bm, double deadline) {
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    if (o->capture) zwlr_screencopy_frame_v1_destroy(FrameOf(*o));
    o->capture = nullptr;
    o->announced = o->haveBuffer = o->bufferDone = false;
    o->ready = o->failed = o->yInvert = false;
    if (o->gone) continue;
    // The cursor is not drawn in.
    zwlr_screencopy_frame_v1 *frame =
        zwlr_screencopy_manager_v1_capture_output(g_manager, 0, o->output);
    o->capture = frame;
    o->bufferTransform = o->transform;
    zwlr_screencopy_frame_v1_add_listener(frame, &kFrameListener, o);
  }
  if (!WaitForOutputs(d, BuffersKnown, deadline)) return false;
  wl_shm_pool *pool = MakePool(d, bm);
  if (!pool) return false;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    if (!o->gone)
      zwlr_screencopy_frame_v1_copy(FrameOf(*o), PoolBuffer(pool, *o));
  }
  wl_shm_pool_destroy(pool);
  FillPool(d, bm);
  return WaitForOutputs(d, Copied, deadline);
}

bool CopyScreencopy(void *pDisplay, void *pBitmap, int x, int y) {
  WaylandDisplay *d = static_cast<WaylandDisplay *>(pDisplay);
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  bm->x = x;
  bm->y = y;
  // A frame fails when its output changes meanwhile (a new mode): the
  // capture is made again, all within the one time limit.
  double deadline = WaylandNowMs() + kWaylandTimeoutMs;
  while (!CaptureOnce(d, bm, deadline))
    if (!AnyFailed(d) || WaylandNowMs() > deadline) return false;
  return AnyShown(d);
}

}  // namespace

const DisplaySystem g_screencopySystem = {
    true, OpenScreencopy, CreateWaylandBitmap, CopyScreencopy, FetchWayland};
