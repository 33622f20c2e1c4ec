// Reading a Wayland desktop through the wlroots screencopy protocol (sway,
// Hyprland, river, labwc, Wayfire), where the standard image copy capture
// protocol is not offered: a frame for each output, each into its place in
// one pool (wayland.h has the rest).
#include <wayland-client.h>

#include <cstdint>
#include <new>

#include "display.h"
#include "wayland.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace {

// An output's frame of the try, and what it has told so far.
struct Frame {
  zwlr_screencopy_frame_v1 *frame;
  bool announced;   // a buffer event has come
  bool bufferDone;  // and the last of them (version 3)
};

zwlr_screencopy_manager_v1 *g_manager = nullptr;
uint32_t g_version = 0;

Frame *FrameOf(const Output &o) { return static_cast<Frame *>(o.capture); }

void FrameDamage(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t, uint32_t) {}
void FrameDmabuf(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t) {}

void FrameBuffer(void *data, zwlr_screencopy_frame_v1 *, uint32_t format,
                 uint32_t width, uint32_t height, uint32_t stride) {
  Output *o = static_cast<Output *>(data);
  FrameOf(*o)->announced = true;
  // The first format that can be read, of those offered.
  OutputBuffer &b = o->buffer;
  if (b.readable || !IsKnownShmFormat(format)) return;
  b.readable = true;
  b.format = format;
  b.width = width;
  b.height = height;
  b.stride = stride;
}

void FrameFlags(void *data, zwlr_screencopy_frame_v1 *, uint32_t flags) {
  static_cast<Output *>(data)->buffer.yInvert =
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
  FrameOf(*static_cast<Output *>(data))->bufferDone = true;
}

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    FrameBuffer, FrameFlags,  FrameReady,     FrameFailed,
    FrameDamage, FrameDmabuf, FrameBufferDone};

void *OpenScreencopy(DisplayInfo *pInfo) {
  WaylandDisplay *d = ConnectWayland(&pInfo->fCompositor);
  if (!d) return nullptr;
  g_manager = static_cast<zwlr_screencopy_manager_v1 *>(BindCaptureGlobal(
      d, &zwlr_screencopy_manager_v1_interface, 3, &g_version));
  if (!g_manager) return nullptr;
  pInfo->cx = d->width;
  pInfo->cy = d->height;
  pInfo->nDibBits = 32;
  return d;
}

// A new frame, which tells its buffers; the last one goes.
void Ask(Output *o) {
  Frame *f = FrameOf(*o);
  if (!f) {
    o->capture = f = new (std::nothrow) Frame();
    if (!f) {
      o->failed = true;
      return;
    }
  }
  if (f->frame) zwlr_screencopy_frame_v1_destroy(f->frame);
  f->announced = f->bufferDone = false;
  o->buffer.readable = false;
  // The cursor is not drawn in.
  f->frame = zwlr_screencopy_manager_v1_capture_output(g_manager, 0, o->output);
  zwlr_screencopy_frame_v1_add_listener(f->frame, &kFrameListener, o);
}

bool Told(const Output &o) {
  // Before version 3 the one buffer event is all there is.
  const Frame *f = FrameOf(o);
  return f && (f->bufferDone || (g_version < 3 && f->announced));
}

void Copy(Output *o) {
  zwlr_screencopy_frame_v1_copy(FrameOf(*o)->frame, o->buffer.buffer);
}

const CaptureProtocol kScreencopy = {nullptr, Ask, Told, nullptr, Copy};

bool CopyScreencopy(void *pDisplay, void *pBitmap, int x, int y) {
  return CaptureOutputs(pDisplay, pBitmap, x, y, kScreencopy);
}

}  // namespace

const DisplaySystem g_screencopySystem = {
    "wlroots screencopy", true,           OpenScreencopy,
    CreateWaylandBitmap,  CopyScreencopy, FetchWayland};
