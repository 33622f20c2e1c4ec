// Reading a Wayland desktop through the standard image copy capture
// protocol, with image capture sources of outputs (compositors on wlroots
// 0.19 and later, newer desktops); tried before wlroots screencopy. A
// session for each output says what buffers it takes (size and formats);
// a frame of each copies the output into its place in one pool (wayland.h
// has the rest).
#include <wayland-client.h>

#include <cstdint>
#include <new>

#include "display.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "wayland.h"

namespace {

// An output's session, the buffer constraints of the batch that the
// session is telling, and those of the last whole batch, which the next
// frame takes. (The output's own buffer fields stay those of the frame
// made, as a batch may come while it is copied.)
struct Capture {
  Output *o;
  ext_image_capture_source_v1 *source;
  ext_image_copy_capture_session_v1 *session;
  ext_image_copy_capture_frame_v1 *frame;
  uint32_t width, height, format;
  bool haveFormat;
  bool done;  // a whole batch has come
  uint32_t doneWidth, doneHeight, doneFormat;
  bool doneHaveFormat;
};

ext_image_copy_capture_manager_v1 *g_manager = nullptr;
ext_output_image_capture_source_manager_v1 *g_sources = nullptr;

Capture *CaptureOf(const Output &o) {
  return static_cast<Capture *>(o.capture);
}

void SessionSize(void *data, ext_image_copy_capture_session_v1 *,
                 uint32_t width, uint32_t height) {
  Capture *c = static_cast<Capture *>(data);
  c->width = width;
  c->height = height;
}

void SessionShmFormat(void *data, ext_image_copy_capture_session_v1 *,
                      uint32_t format) {
  Capture *c = static_cast<Capture *>(data);
  // The DIB's own layout first, which is copied as it is; else the first
  // that can be read.
  bool direct =
      format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
  if (!IsKnownShmFormat(format) || (c->haveFormat && !direct)) return;
  if (c->haveFormat && (c->format == WL_SHM_FORMAT_XRGB8888 ||
                        c->format == WL_SHM_FORMAT_ARGB8888))
    return;
  c->format = format;
  c->haveFormat = true;
}

void SessionDevice(void *, ext_image_copy_capture_session_v1 *, wl_array *) {}
void SessionDmabufFormat(void *, ext_image_copy_capture_session_v1 *, uint32_t,
                         wl_array *) {}

// The batch is whole: its buffers are the ones the next frames take.
void SessionDone(void *data, ext_image_copy_capture_session_v1 *) {
  Capture *c = static_cast<Capture *>(data);
  c->doneHaveFormat = c->haveFormat;
  c->doneFormat = c->format;
  c->doneWidth = c->width;
  c->doneHeight = c->height;
  c->done = true;
  c->haveFormat = false;
}

// The output is gone: its place stays black.
void SessionStopped(void *data, ext_image_copy_capture_session_v1 *) {
  static_cast<Capture *>(data)->o->gone = true;
}

const ext_image_copy_capture_session_v1_listener kSessionListener = {
    SessionSize,         SessionShmFormat, SessionDevice,
    SessionDmabufFormat, SessionDone,      SessionStopped};

void FrameTransform(void *data, ext_image_copy_capture_frame_v1 *,
                    uint32_t transform) {
  static_cast<Capture *>(data)->o->buffer.transform =
      static_cast<int32_t>(transform & 7);
}

void FrameDamage(void *, ext_image_copy_capture_frame_v1 *, int32_t, int32_t,
                 int32_t, int32_t) {}
void FrameTime(void *, ext_image_copy_capture_frame_v1 *, uint32_t, uint32_t,
               uint32_t) {}

void FrameReady(void *data, ext_image_copy_capture_frame_v1 *) {
  static_cast<Capture *>(data)->o->ready = true;
}

// A frame whose buffer no longer fits (the output took a new mode) is
// tried again with the constraints the session tells next.
void FrameFailed(void *data, ext_image_copy_capture_frame_v1 *,
                 uint32_t reason) {
  Output *o = static_cast<Capture *>(data)->o;
  o->failed = true;
  if (reason == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED)
    o->gone = true;
}

const ext_image_copy_capture_frame_v1_listener kFrameListener = {
    FrameTransform, FrameDamage, FrameTime, FrameReady, FrameFailed};

void *OpenImageCopy(DisplayInfo *pInfo) {
  WaylandDisplay *d = ConnectWayland(&pInfo->fCompositor);
  if (!d) return nullptr;
  // Both globals, or the next protocol's turn.
  g_manager =
      static_cast<ext_image_copy_capture_manager_v1 *>(BindCaptureGlobal(
          d, &ext_image_copy_capture_manager_v1_interface, 1, nullptr));
  g_sources = static_cast<ext_output_image_capture_source_manager_v1 *>(
      BindCaptureGlobal(d,
                        &ext_output_image_capture_source_manager_v1_interface,
                        1, nullptr));
  if (!g_manager || !g_sources) {
    if (g_manager) ext_image_copy_capture_manager_v1_destroy(g_manager);
    if (g_sources)
      ext_output_image_capture_source_manager_v1_destroy(g_sources);
    g_manager = nullptr;
    g_sources = nullptr;
    return nullptr;
  }
  pInfo->cx = d->width;
  pInfo->cy = d->height;
  pInfo->nDibBits = 32;
  return d;
}

// A session for each output, whose constraints come in its first batch.
bool StartSessions(WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    if (o->capture || o->gone) continue;
    Capture *c = new (std::nothrow) Capture();
    if (!c) return false;
    c->o = o;
    o->capture = c;
    c->source = ext_output_image_capture_source_manager_v1_create_source(
        g_sources, o->output);
    // Options 0: the cursor is not drawn in.
    c->session = ext_image_copy_capture_manager_v1_create_session(g_manager,
                                                                  c->source, 0);
    ext_image_copy_capture_session_v1_add_listener(c->session,
                                                   &kSessionListener, c);
  }
  return true;
}

// The session tells the constraints; the last frame, if any, goes.
void Ask(Output *o) {
  Capture *c = CaptureOf(*o);
  if (c->frame) ext_image_copy_capture_frame_v1_destroy(c->frame);
  c->frame = nullptr;
}

bool Told(const Output &o) { return CaptureOf(o)->done; }

// The last whole batch's constraints: the next frame's buffer.
void Take(Output *o) {
  const Capture *c = CaptureOf(*o);
  OutputBuffer &b = o->buffer;
  b.readable = c->doneHaveFormat;
  b.format = c->doneFormat;
  b.width = c->doneWidth;
  b.height = c->doneHeight;
  b.stride = (c->doneWidth * ShmBytesPerPixel(c->doneFormat) + 3) / 4 * 4;
}

void Copy(Output *o) {
  Capture *c = CaptureOf(*o);
  c->frame = ext_image_copy_capture_session_v1_create_frame(c->session);
  ext_image_copy_capture_frame_v1_add_listener(c->frame, &kFrameListener, c);
  ext_image_copy_capture_frame_v1_attach_buffer(c->frame, o->buffer.buffer);
  ext_image_copy_capture_frame_v1_damage_buffer(
      c->frame, 0, 0, static_cast<int32_t>(o->buffer.width),
      static_cast<int32_t>(o->buffer.height));
  ext_image_copy_capture_frame_v1_capture(c->frame);
}

const CaptureProtocol kImageCopy = {StartSessions, Ask, Told, Take, Copy};

bool CopyImageCopy(void *pDisplay, void *pBitmap, int x, int y) {
  return CaptureOutputs(pDisplay, pBitmap, x, y, kImageCopy);
}

}  // namespace

const DisplaySystem g_imageCopySystem = {
    "image copy capture", true,          OpenImageCopy,
    CreateWaylandBitmap,  CopyImageCopy, FetchWayland};
