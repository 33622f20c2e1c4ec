// The connection to a Wayland compositor that the capture protocols share:
// its globals, its outputs, each placed by its logical position (xdg-output)
// and turned the way it is seen (its transform), at the largest output
// scale, so the image is the picture the user sees; and the waits for the
// compositor's answers, each within a time limit.
#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "display.h"
#include "wayland.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

// The capture protocols' globals, in the order of WaylandDisplay::offered.
const char *const kCaptureGlobals[] = {
    "ext_image_copy_capture_manager_v1",
    "ext_output_image_capture_source_manager_v1", "zwlr_screencopy_manager_v1"};

// The connection, once made, for every protocol tried.
WaylandDisplay *g_wayland = nullptr;

void Discard(const char *, va_list) {}

// Events of no interest, each with its own signature.
void OutputDone(void *, wl_output *) {}
void OutputText(void *, wl_output *, const char *) {}
void XdgOutputDone(void *, zxdg_output_v1 *) {}
void XdgOutputText(void *, zxdg_output_v1 *, const char *) {}

void SyncDone(void *data, wl_callback *, uint32_t) {
  *static_cast<bool *>(data) = true;
}
const wl_callback_listener kSyncListener = {SyncDone};

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

void AddOutput(WaylandDisplay *d, wl_registry *registry, uint32_t name,
               uint32_t version) {
  // An output that comes once the image is laid out has no place in it.
  if (d->laidOut) return;
  if (d->nOutputs == d->nAllocated) {
    int n = d->nAllocated ? 2 * d->nAllocated : 8;
    void *grown = std::realloc(d->outputs, n * sizeof(Output *));
    if (!grown) return;
    d->outputs = static_cast<Output **>(grown);
    d->nAllocated = n;
  }
  Output *o = new (std::nothrow) Output();
  if (!o) return;
  o->name = name;
  o->scale = 1;
  o->output = static_cast<wl_output *>(
      wl_registry_bind(registry, name, &wl_output_interface, version));
  wl_output_add_listener(o->output, &kOutputListener, o);
  d->outputs[d->nOutputs++] = o;
}

void Global(void *data, wl_registry *registry, uint32_t name,
            const char *interface, uint32_t version) {
  WaylandDisplay *d = static_cast<WaylandDisplay *>(data);
  if (!std::strcmp(interface, wl_shm_interface.name)) {
    if (!d->shm)
      d->shm = static_cast<wl_shm *>(
          wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (!std::strcmp(interface, zxdg_output_manager_v1_interface.name)) {
    if (!d->xdgOutputManager)
      d->xdgOutputManager = static_cast<zxdg_output_manager_v1 *>(
          wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface,
                           version < 3 ? version : 3));
  } else if (!std::strcmp(interface, wl_output_interface.name)) {
    AddOutput(d, registry, name, version < 3 ? version : 3);
  } else {
    for (int i = 0; i < 3; ++i)
      if (!std::strcmp(interface, kCaptureGlobals[i]) && !d->offered[i][0]) {
        d->offered[i][0] = name;
        d->offered[i][1] = version;
      }
  }
}

void GlobalRemove(void *data, wl_registry *, uint32_t name) {
  // An output unplugged during the capture: its frames will not come.
  WaylandDisplay *d = static_cast<WaylandDisplay *>(data);
  for (int i = 0; i < d->nOutputs; ++i)
    if (d->outputs[i]->name == name) d->outputs[i]->gone = true;
}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

// Places the outputs in the image: the layout's bounding box, in logical
// pixels, at the largest scale of any output, so no output loses detail.
// Notes why not, when it cannot.
bool LayOut(WaylandDisplay *d) {
  if (d->nOutputs == 0) {
    NoteWhy("%s has no outputs", d->name);
    return false;
  }
  double scale = 0;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    int32_t seenW = o->transform & 1 ? o->modeH : o->modeW;
    int32_t seenH = o->transform & 1 ? o->modeW : o->modeH;
    if (!o->logicalW || !o->logicalH) {  // no xdg-output: the whole scale
      o->x = o->geometryX;
      o->y = o->geometryY;
      o->logicalW = seenW / (o->scale > 0 ? o->scale : 1);
      o->logicalH = seenH / (o->scale > 0 ? o->scale : 1);
    }
    if (seenW <= 0 || seenH <= 0 || o->logicalW <= 0 || o->logicalH <= 0) {
      NoteWhy("%s: an output has no size", d->name);
      return false;
    }
    double s = double(seenW) / o->logicalW;
    if (s > scale) scale = s;
    if (i == 0 || o->x < x0) x0 = o->x;
    if (i == 0 || o->y < y0) y0 = o->y;
    if (i == 0 || o->x + o->logicalW > x1) x1 = o->x + o->logicalW;
    if (i == 0 || o->y + o->logicalH > y1) y1 = o->y + o->logicalH;
  }
  double w = std::ceil((x1 - x0) * scale), h = std::ceil((y1 - y0) * scale);
  // The file's pixels are counted in a signed 32-bit size and fetched in a
  // 16-bit count of lines: a larger layout cannot be saved whole.
  if (h > 65535 || w * h * 4 > INT_MAX) {
    NoteWhy(
        "%s: the layout, %.0f x %.0f pixels, is larger than a BMP file "
        "holds",
        d->name, w, h);
    return false;
  }
  d->width = static_cast<int>(w);
  d->height = static_cast<int>(h);
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
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
    if (d->outputs[i]->xdgOutput)
      zxdg_output_v1_destroy(d->outputs[i]->xdgOutput);
    wl_output_destroy(d->outputs[i]->output);
    delete d->outputs[i];
  }
  std::free(d->outputs);
  if (d->xdgOutputManager) zxdg_output_manager_v1_destroy(d->xdgOutputManager);
  if (d->shm) wl_shm_destroy(d->shm);
  if (d->registry) wl_registry_destroy(d->registry);
  wl_display_disconnect(d->display);
  delete d;
}

bool Offers(const WaylandDisplay *d, int i) { return d->offered[i][0] != 0; }

}  // namespace

double WaylandNowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

bool DispatchUntil(wl_display *display, const bool *pDone, double deadline) {
  int fd = wl_display_get_fd(display);
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
    int left = static_cast<int>(deadline - WaylandNowMs());
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

bool Roundtrip(wl_display *display, double deadline) {
  bool done = false;
  wl_callback *callback = wl_display_sync(display);
  if (!callback) return false;
  wl_callback_add_listener(callback, &kSyncListener, &done);
  bool ok = DispatchUntil(display, &done, deadline);
  wl_callback_destroy(callback);
  return ok;
}

bool WaitForOutputs(WaylandDisplay *d, bool (*until)(const Output &),
                    double deadline) {
  // Round trip after round trip, each a batch of events, until the one
  // deadline: a compositor that answers yet never finishes fails the call.
  for (;;) {
    bool all = true;
    for (int i = 0; i < d->nOutputs; ++i) {
      const Output &o = *d->outputs[i];
      if (o.gone) continue;
      if (o.failed) return false;
      all = all && until(o);
    }
    if (all) return true;
    if (WaylandNowMs() > deadline || !Roundtrip(d->display, deadline))
      return false;
  }
}

bool AnyFailed(const WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i)
    if (d->outputs[i]->failed && !d->outputs[i]->gone) return true;
  return false;
}

bool AnyShown(const WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i)
    if (!d->outputs[i]->gone) return true;
  return false;
}

WaylandDisplay *ConnectWayland() {
  if (g_wayland) return g_wayland;
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
  d->name = name;
  double deadline = WaylandNowMs() + kWaylandTimeoutMs;
  d->registry = wl_display_get_registry(display);
  if (!d->registry ||
      wl_registry_add_listener(d->registry, &kRegistryListener, d) != 0 ||
      !Roundtrip(display, deadline)) {
    NoteWhy("%s does not answer", name);
    Close(d);
    return nullptr;
  }
  // No capture protocol (GNOME, KDE): the portal's turn.
  if (!d->shm || !((Offers(d, 0) && Offers(d, 1)) || Offers(d, 2))) {
    NoteWhy("%s offers no screen capture protocol", name);
    Close(d);
    return nullptr;
  }
  // The outputs' own events, then xdg-output's. An output announced during
  // that round trip needs its logical position asked for in turn: without
  // it, it would be placed at the origin, over the first output.
  bool unasked;
  do {
    for (int i = 0; d->xdgOutputManager && i < d->nOutputs; ++i) {
      Output *o = d->outputs[i];
      if (o->xdgOutput) continue;
      o->xdgOutput =
          zxdg_output_manager_v1_get_xdg_output(d->xdgOutputManager, o->output);
      zxdg_output_v1_add_listener(o->xdgOutput, &kXdgOutputListener, o);
    }
    if (!Roundtrip(display, deadline)) {
      NoteWhy("%s does not answer", name);
      Close(d);
      return nullptr;
    }
    unasked = false;
    for (int i = 0; d->xdgOutputManager && i < d->nOutputs; ++i)
      unasked = unasked || !d->outputs[i]->xdgOutput;
  } while (unasked);
  if (!LayOut(d)) {
    Close(d);
    return nullptr;
  }
  d->laidOut = true;
  g_wayland = d;
  return d;
}

void *BindCaptureGlobal(WaylandDisplay *d, const wl_interface *iface,
                        uint32_t highest, uint32_t *pVersion) {
  for (int i = 0; i < 3; ++i) {
    if (std::strcmp(iface->name, kCaptureGlobals[i]) || !Offers(d, i)) continue;
    uint32_t version = d->offered[i][1] < highest ? d->offered[i][1] : highest;
    if (pVersion) *pVersion = version;
    return wl_registry_bind(d->registry, d->offered[i][0], iface, version);
  }
  return nullptr;
}
