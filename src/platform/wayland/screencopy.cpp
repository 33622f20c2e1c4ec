// Reading a Wayland desktop through the wlroots screencopy protocol (sway,
// Hyprland, river, labwc, Wayfire). The screen is the layout of every
// output, each placed by its logical position (xdg-output) and turned the
// way it is seen (its transform), at the largest output scale: the picture
// the user sees. The copy captures every output into one shared memory
// pool; the fetch puts each output's pixels in place as DIB rows.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "display.h"
#include "platform.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

const int kMaxOutputs = 16;
// A compositor that has stopped answering fails the call after this long.
const int kTimeoutMs = 5000;

struct Output {
  wl_output *output;
  zxdg_output_v1 *xdgOutput;
  int32_t x, y;                        // position in the layout, logical pixels
  int32_t logicalW, logicalH;          // 0 until xdg-output tells them
  int32_t geometryX, geometryY;        // the position, for want of it
  int32_t modeW, modeH;                // the current mode, physical pixels
  int32_t transform;                   // wl_output_transform
  int32_t scale;                       // integer scale, for want of xdg-output
  int32_t destX, destY, destW, destH;  // where it goes in the image
  // The frame of a copy.
  zwlr_screencopy_frame_v1 *frame;
  uint32_t format, width, height, stride;
  bool announced;   // a buffer was offered, readable or not
  bool haveBuffer;  // one that can be read
  bool bufferDone, ready, failed;
  uint32_t flags;
  size_t offset;  // of its pixels in the pool
};

struct WaylandDisplay {
  wl_display *display;
  wl_registry *registry;
  wl_shm *shm;
  zwlr_screencopy_manager_v1 *screencopy;
  uint32_t screencopyVersion;
  zxdg_output_manager_v1 *xdgOutputManager;
  Output outputs[kMaxOutputs];
  int nOutputs;
  int width, height;  // of the image
};

struct WaylandBitmap {
  WaylandDisplay *d;
  int width, height;
  int x, y;  // the image's pixel at the bitmap's top left
  BYTE *pool;
  size_t poolSize;
};

// --- pixels ---------------------------------------------------------------

bool IsKnownFormat(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
    case WL_SHM_FORMAT_RGB888:
    case WL_SHM_FORMAT_BGR888:
    case WL_SHM_FORMAT_RGB565:
      return true;
    default:
      return false;
  }
}

int BytesPerPixel(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_RGB888:
    case WL_SHM_FORMAT_BGR888:
      return 3;
    case WL_SHM_FORMAT_RGB565:
      return 2;
    default:
      return 4;
  }
}

// Pixel x of a buffer row as 0x00RRGGBB. The formats are little-endian.
inline uint32_t ReadPixel(uint32_t format, const BYTE *row, int x) {
  const BYTE *p = row + static_cast<size_t>(x) * BytesPerPixel(format);
  uint32_t v = p[0] | p[1] << 8;
  if (format != WL_SHM_FORMAT_RGB565) v |= uint32_t(p[2]) << 16;
  if (BytesPerPixel(format) == 4) v |= uint32_t(p[3]) << 24;
  switch (format) {
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_BGR888:
      return (v & 0xFF) << 16 | (v & 0xFF00) | (v >> 16 & 0xFF);
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
      return (v >> 22 & 0xFF) << 16 | (v >> 12 & 0xFF) << 8 | (v >> 2 & 0xFF);
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
      return (v >> 2 & 0xFF) << 16 | (v >> 12 & 0xFF) << 8 | (v >> 22 & 0xFF);
    case WL_SHM_FORMAT_RGB565: {
      // Each channel widened, its top bits repeated below.
      uint32_t r = v >> 11 & 31, g = v >> 5 & 63, b = v & 31;
      return (r << 3 | r >> 2) << 16 | (g << 2 | g >> 4) << 8 |
             (b << 3 | b >> 2);
    }
    default:  // XRGB8888, ARGB8888, RGB888
      return v & 0xFFFFFF;
  }
}

// Blue, green, red, 0: the DIB's 32-bit pixel.
inline void Put32(BYTE *dst, uint32_t rgb) {
  dst[0] = static_cast<BYTE>(rgb);
  dst[1] = static_cast<BYTE>(rgb >> 8);
  dst[2] = static_cast<BYTE>(rgb >> 16);
  dst[3] = 0;
}

// Pixels first .. first+count-1 of a buffer row, in order, as DIB pixels.
void ConvertRun(uint32_t format, const BYTE *row, int first, int count,
                BYTE *dst) {
  if (format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888) {
    // Already blue, green, red: only the fourth byte is cleared.
    const BYTE *src = row + static_cast<size_t>(first) * 4;
    for (int i = 0; i < count; ++i) {
      uint32_t p;
      std::memcpy(&p, src + 4 * i, 4);
      p &= 0x00FFFFFF;
      if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) p = __builtin_bswap32(p);
      std::memcpy(dst + 4 * i, &p, 4);
    }
    return;
  }
  for (int i = 0; i < count; ++i)
    Put32(dst + 4 * i, ReadPixel(format, row, first + i));
}

// The buffer pixel that shows at (s, t) of an output seen w x h. The
// compositor draws into the buffer what is seen, turned by the output's
// transform (flipped first, then rotated counter-clockwise).
inline void ToBuffer(int32_t transform, int w, int h, int s, int t, int *bx,
                     int *by) {
  if (transform & 4) s = w - 1 - s;  // WL_OUTPUT_TRANSFORM_FLIPPED
  switch (transform & 3) {
    case 1:  // 90
      *bx = t, *by = w - 1 - s;
      return;
    case 2:  // 180
      *bx = w - 1 - s, *by = h - 1 - t;
      return;
    case 3:  // 270
      *bx = h - 1 - t, *by = s;
      return;
    default:
      *bx = s, *by = t;
  }
}

// --- the connection -------------------------------------------------------

void Discard(const char *, va_list) {}

// Events of no interest, each with its own signature.
void OutputDone(void *, wl_output *) {}
void OutputText(void *, wl_output *, const char *) {}
void XdgOutputDone(void *, zxdg_output_v1 *) {}
void XdgOutputText(void *, zxdg_output_v1 *, const char *) {}
void GlobalRemove(void *, wl_registry *, uint32_t) {}
void FrameDamage(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t, uint32_t) {}
void FrameDmabuf(void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t,
                 uint32_t) {}

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Dispatches events until *pDone or the compositor stops answering; false
// when the connection fails or the time runs out.
bool DispatchUntil(wl_display *display, const bool *pDone) {
  int fd = wl_display_get_fd(display);
  double deadline = NowMs() + kTimeoutMs;
  while (!*pDone) {
    if (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
      continue;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display);
      return false;
    }
    pollfd p = {fd, POLLIN, 0};
    int left = static_cast<int>(deadline - NowMs());
    int n = left > 0 ? poll(&p, 1, left) : 0;
    if (n <= 0) {
      wl_display_cancel_read(display);
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    if (wl_display_read_events(display) < 0 ||
        wl_display_dispatch_pending(display) < 0)
      return false;
  }
  return true;
}

void SyncDone(void *data, wl_callback *, uint32_t) {
  *static_cast<bool *>(data) = true;
}
const wl_callback_listener kSyncListener = {SyncDone};

// Every event the compositor sent before now has been handled.
bool Roundtrip(wl_display *display) {
  bool done = false;
  wl_callback *callback = wl_display_sync(display);
  if (!callback) return false;
  wl_callback_add_listener(callback, &kSyncListener, &done);
  bool ok = DispatchUntil(display, &done);
  wl_callback_destroy(callback);
  return ok;
}

void OutputGeometry(void *data, wl_output *, int32_t x, int32_t y, int32_t,
                    int32_t, int32_t, const char *, const char *,
                    int32_t transform) {
  Output *o = static_cast<Output *>(data);
  o->geometryX = x;
  o->geometryY = y;
  o->transform = transform;
}

void OutputMode(void *data, wl_output *, uint32_t flags, int32_t width,
                int32_t height, int32_t) {
  Output *o = static_cast<Output *>(data);
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  o->modeW = width;
  o->modeH = height;
}

void OutputScale(void *data, wl_output *, int32_t factor) {
  static_cast<Output *>(data)->scale = factor;
}

const wl_output_listener kOutputListener = {OutputGeometry, OutputMode,
                                            OutputDone,     OutputScale,
                                            OutputText,     OutputText};

void LogicalPosition(void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
  Output *o = static_cast<Output *>(data);
  o->x = x;
  o->y = y;
}

void LogicalSize(void *data, zxdg_output_v1 *, int32_t w, int32_t h) {
  Output *o = static_cast<Output *>(data);
  o->logicalW = w;
  o->logicalH = h;
}

const zxdg_output_v1_listener kXdgOutputListener = {
    LogicalPosition, LogicalSize, XdgOutputDone, XdgOutputText, XdgOutputText};

void Global(void *data, wl_registry *registry, uint32_t name,
            const char *interface, uint32_t version) {
  WaylandDisplay *d = static_cast<WaylandDisplay *>(data);
  auto bind = [&](const wl_interface *iface, uint32_t highest) {
    return wl_registry_bind(registry, name, iface,
                            version < highest ? version : highest);
  };
  if (!std::strcmp(interface, wl_shm_interface.name)) {
    d->shm = static_cast<wl_shm *>(bind(&wl_shm_interface, 1));
  } else if (!std::strcmp(interface,
                          zwlr_screencopy_manager_v1_interface.name)) {
    d->screencopyVersion = version < 3 ? version : 3;
    d->screencopy = static_cast<zwlr_screencopy_manager_v1 *>(
        bind(&zwlr_screencopy_manager_v1_interface, 3));
  } else if (!std::strcmp(interface, zxdg_output_manager_v1_interface.name)) {
    d->xdgOutputManager = static_cast<zxdg_output_manager_v1 *>(
        bind(&zxdg_output_manager_v1_interface, 3));
  } else if (!std::strcmp(interface, wl_output_interface.name) &&
             d->nOutputs < kMaxOutputs) {
    Output *o = &d->outputs[d->nOutputs++];
    o->scale = 1;
    o->output = static_cast<wl_output *>(bind(&wl_output_interface, 3));
    wl_output_add_listener(o->output, &kOutputListener, o);
  }
}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

// Places the outputs in the image: the layout's bounding box, in logical
// pixels, at the largest scale of any output, so no output loses detail.
bool LayOut(WaylandDisplay *d) {
  double scale = 0;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = &d->outputs[i];
    int32_t seenW = o->transform & 1 ? o->modeH : o->modeW;
    int32_t seenH = o->transform & 1 ? o->modeW : o->modeH;
    if (!o->logicalW || !o->logicalH) {  // no xdg-output: the whole scale
      o->x = o->geometryX;
      o->y = o->geometryY;
      o->logicalW = seenW / (o->scale > 0 ? o->scale : 1);
      o->logicalH = seenH / (o->scale > 0 ? o->scale : 1);
    }
    if (seenW <= 0 || seenH <= 0 || o->logicalW <= 0 || o->logicalH <= 0)
      return false;
    double s = double(seenW) / o->logicalW;
    if (s > scale) scale = s;
    if (i == 0 || o->x < x0) x0 = o->x;
    if (i == 0 || o->y < y0) y0 = o->y;
    if (i == 0 || o->x + o->logicalW > x1) x1 = o->x + o->logicalW;
    if (i == 0 || o->y + o->logicalH > y1) y1 = o->y + o->logicalH;
  }
  if (d->nOutputs == 0) return false;
  double w = std::ceil((x1 - x0) * scale), h = std::ceil((y1 - y0) * scale);
  if (w > 32767 || h > 32767) return false;
  d->width = static_cast<int>(w);
  d->height = static_cast<int>(h);
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = &d->outputs[i];
    o->destX = static_cast<int32_t>(std::lround((o->x - x0) * scale));
    o->destY = static_cast<int32_t>(std::lround((o->y - y0) * scale));
    o->destW = static_cast<int32_t>(std::lround(o->logicalW * scale));
    o->destH = static_cast<int32_t>(std::lround(o->logicalH * scale));
  }
  return true;
}

// Lets go of every object and the connection, for a display not served.
void Close(WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i) {
    if (d->outputs[i].xdgOutput)
      zxdg_output_v1_destroy(d->outputs[i].xdgOutput);
    wl_output_destroy(d->outputs[i].output);
  }
  if (d->xdgOutputManager) zxdg_output_manager_v1_destroy(d->xdgOutputManager);
  if (d->screencopy) zwlr_screencopy_manager_v1_destroy(d->screencopy);
  if (d->shm) wl_shm_destroy(d->shm);
  if (d->registry) wl_registry_destroy(d->registry);
  wl_display_disconnect(d->display);
  delete d;
}

void *OpenScreencopy(int *pcx, int *pcy, int *pnDibBits) {
  const char *name = std::getenv("WAYLAND_DISPLAY");
  if (!name || !*name) return nullptr;
  // libwayland writes its complaints to standard error, where the notices
  // go; a failure shows as the calls that fail.
  wl_log_set_handler_client(Discard);
  wl_display *display = wl_display_connect(nullptr);
  if (!display) {
    NoteWhy("no Wayland compositor answers on %s", name);
    return nullptr;
  }
  NoteWaylandSession();
  WaylandDisplay *d = new (std::nothrow) WaylandDisplay();
  if (!d) {
    wl_display_disconnect(display);
    return nullptr;
  }
  d->display = display;
  d->registry = wl_display_get_registry(display);
  bool ok = d->registry &&
            wl_registry_add_listener(d->registry, &kRegistryListener, d) == 0 &&
            Roundtrip(display) && d->shm && d->screencopy && d->nOutputs > 0;
  if (ok && d->xdgOutputManager) {
    for (int i = 0; i < d->nOutputs; ++i) {
      Output *o = &d->outputs[i];
      o->xdgOutput =
          zxdg_output_manager_v1_get_xdg_output(d->xdgOutputManager, o->output);
      zxdg_output_v1_add_listener(o->xdgOutput, &kXdgOutputListener, o);
    }
  }
  // The outputs' own events, then xdg-output's.
  ok = ok && Roundtrip(display) && LayOut(d);
  if (!ok) {
    // No screencopy here (GNOME, KDE): the portal's turn.
    if (!d->screencopy)
      NoteWhy("%s offers no screen capture protocol", name);
    else
      NoteWhy("%s: its outputs cannot be read", name);
    Close(d);
    return nullptr;
  }
  *pcx = d->width;
  *pcy = d->height;
  *pnDibBits = 32;
  return d;
}

// --- the copy -------------------------------------------------------------

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
  static_cast<Output *>(data)->flags = flags;
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

// Dispatches until every output has reached the stage that `until` tells.
bool WaitForFrames(WaylandDisplay *d,
                   bool (*until)(const WaylandDisplay *, const Output &)) {
  // Round trip after round trip, each a batch of events, but no longer in
  // all than one wait: a compositor that answers yet never finishes the
  // frame fails the call too.
  double deadline = NowMs() + kTimeoutMs;
  for (;;) {
    bool all = true;
    for (int i = 0; i < d->nOutputs; ++i) {
      if (d->outputs[i].failed) return false;
      all = all && until(d, d->outputs[i]);
    }
    if (all) return true;
    if (NowMs() > deadline || !Roundtrip(d->display)) return false;
  }
}

bool BuffersKnown(const WaylandDisplay *d, const Output &o) {
  // Before version 3 the one buffer event is all there is.
  return o.bufferDone || (d->screencopyVersion < 3 && o.announced);
}

bool Copied(const WaylandDisplay *, const Output &o) { return o.ready; }

void *CreateScreencopyBitmap(void *pDisplay, int cx, int cy) {
  WaylandBitmap *bm = new (std::nothrow) WaylandBitmap();
  if (!bm) return nullptr;
  bm->d = static_cast<WaylandDisplay *>(pDisplay);
  bm->width = cx;
  bm->height = cy;
  return bm;
}

bool CopyScreencopy(void *pDisplay, void *pBitmap, int x, int y) {
  WaylandDisplay *d = static_cast<WaylandDisplay *>(pDisplay);
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  // Every output at once, so they show the same moment.
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = &d->outputs[i];
    if (o->frame) zwlr_screencopy_frame_v1_destroy(o->frame);
    o->frame =
        zwlr_screencopy_manager_v1_capture_output(d->screencopy, 0, o->output);
    o->announced = o->haveBuffer = o->bufferDone = false;
    o->ready = o->failed = false;
    o->flags = 0;
    zwlr_screencopy_frame_v1_add_listener(o->frame, &kFrameListener, o);
  }
  if (!WaitForFrames(d, BuffersKnown)) return false;

  size_t size = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = &d->outputs[i];
    if (!o->haveBuffer || o->width == 0 || o->height == 0 ||
        o->stride < o->width * BytesPerPixel(o->format) || o->width > 32767 ||
        o->height > 32767)
      return false;
    o->offset = size;
    size += size_t(o->stride) * o->height;
  }
  // One pool for every output, in memory the compositor writes into.
  int fd = memfd_create("tusak-screencopy", MFD_CLOEXEC);
  if (fd == -1) return false;
  void *p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0)
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  wl_shm_pool *pool =
      p == MAP_FAILED
          ? nullptr
          : wl_shm_create_pool(d->shm, fd, static_cast<int32_t>(size));
  close(fd);
  if (!pool) {
    if (p != MAP_FAILED) munmap(p, size);
    return false;
  }
  if (bm->pool) munmap(bm->pool, bm->poolSize);
  bm->pool = static_cast<BYTE *>(p);
  bm->poolSize = size;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = &d->outputs[i];
    wl_buffer *buffer = wl_shm_pool_create_buffer(
        pool, static_cast<int32_t>(o->offset), static_cast<int32_t>(o->width),
        static_cast<int32_t>(o->height), static_cast<int32_t>(o->stride),
        o->format);
    zwlr_screencopy_frame_v1_copy(o->frame, buffer);
  }
  wl_shm_pool_destroy(pool);
  bm->x = x;
  bm->y = y;
  return WaitForFrames(d, Copied);
}

// --- the fetch ------------------------------------------------------------

// Puts an output's pixels that fall in image rows top .. top+n-1 into the
// DIB lines (image row r is line `lineOf - r`, a pointer per row).
void PlaceOutput(const WaylandBitmap *bm, const Output &o, int top, int n,
                 BYTE *pBits, size_t cbStride, int start) {
  int w = static_cast<int>(o.width), h = static_cast<int>(o.height);
  int seenW = o.transform & 1 ? h : w, seenH = o.transform & 1 ? w : h;
  bool yInvert = o.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
  const BYTE *pixels = bm->pool + o.offset;
  // The output's box in bitmap coordinates, cut to the bitmap and the rows.
  int left = o.destX - bm->x, right = left + o.destW;
  int first = o.destY - bm->y, last = first + o.destH;
  int x0 = left > 0 ? left : 0, x1 = right < bm->width ? right : bm->width;
  int y0 = first > top ? first : top;
  int y1 = last < top + n ? last : top + n;
  if (x0 >= x1) return;
  bool straight = (o.transform == 0) && seenW == o.destW && seenH == o.destH;
  for (int y = y0; y < y1; ++y) {
    BYTE *line =
        pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride;
    // The row of what is seen, scaled to the box.
    int t = static_cast<int>(int64_t(y - first) * seenH / o.destH);
    if (straight) {
      int by = yInvert ? h - 1 - t : t;
      ConvertRun(o.format, pixels + size_t(by) * o.stride, x0 - left, x1 - x0,
                 line + 4 * x0);
      continue;
    }
    for (int x = x0; x < x1; ++x) {
      int s = static_cast<int>(int64_t(x - left) * seenW / o.destW);
      int bx, by;
      ToBuffer(o.transform, seenW, seenH, s, t, &bx, &by);
      if (yInvert) by = h - 1 - by;
      Put32(line + 4 * x,
            ReadPixel(o.format, pixels + size_t(by) * o.stride, bx));
    }
  }
}

bool FetchScreencopy(void *pBitmap, int start, int n, BYTE *pBits,
                     size_t cbStride, RGBQUAD *) {
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  const WaylandDisplay *d = bm->d;
  if (n == 0) return true;
  if (!bm->pool) return false;
  int top = bm->height - start - n;
  // The compositor's pages, mapped here in one go rather than a fault at a
  // time (Linux 5.14 and later; elsewhere this does nothing).
  madvise(bm->pool, bm->poolSize, MADV_POPULATE_READ);
  // Between outputs of a layout that is not a rectangle, black.
  int64_t covered = 0;
  for (int i = 0; i < d->nOutputs; ++i)
    covered += int64_t(d->outputs[i].destW) * d->outputs[i].destH;
  if (covered != int64_t(d->width) * d->height || bm->x || bm->y ||
      bm->width != d->width || bm->height != d->height)
    std::memset(pBits, 0, cbStride * static_cast<size_t>(n));
  for (int i = 0; i < d->nOutputs; ++i)
    PlaceOutput(bm, d->outputs[i], top, n, pBits, cbStride, start);
  return true;
}

}  // namespace

const DisplaySystem g_screencopySystem = {true, OpenScreencopy,
                                          CreateScreencopyBitmap,
                                          CopyScreencopy, FetchScreencopy};
