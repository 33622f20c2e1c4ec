// The connection to a Wayland compositor that the capture protocols share:
// its globals and its outputs, laid out in one image, and the waits for the
// compositor's answers, each within a time limit. It is made once a launch:
// a compositor that does not answer costs one wait, not one per protocol.
#include <poll.h>
#include <sys/stat.h>
#include <wayland-client.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "clock.h"
#include "display.h"
#include "wayland.h"
#include "why.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

// The capture protocols' globals, in the order of WaylandDisplay::offered.
const char *const kCaptureGlobals[] = {
    "ext_image_copy_capture_manager_v1",
    "ext_output_image_capture_source_manager_v1", "zwlr_screencopy_manager_v1"};

// The connection, once asked for, for every protocol tried: null if it
// did not serve, and whether a compositor answered at all.
bool g_tried = false;
WaylandDisplay *g_wayland = nullptr;
bool g_compositor = false;
// The image the outputs make together, once laid out; 0 x 0 until then.
int64_t g_layoutW = 0, g_layoutH = 0;

// Far more outputs than any desktop has (a wall of 32 x 32 screens): a
// compositor that announces more is not describing screens, and each
// costs a frame, a buffer and a pass of the fetch.
const int kMaxOutputs = 1024;

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
  OutputPlace &p = static_cast<Output *>(data)->place;
  p.geometryX = x;
  p.geometryY = y;
  p.transform = transform;
}

void OutputMode(void *data, wl_output *, uint32_t flags, int32_t width,
                int32_t height, int32_t) {
  OutputPlace &p = static_cast<Output *>(data)->place;
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  p.modeW = width;
  p.modeH = height;
}

void OutputScale(void *data, wl_output *, int32_t factor) {
  static_cast<Output *>(data)->place.scale = factor;
}

const wl_output_listener kOutputListener = {OutputGeometry, OutputMode,
                                            OutputDone,     OutputScale,
                                            OutputText,     OutputText};

void LogicalPosition(void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
  OutputPlace &p = static_cast<Output *>(data)->place;
  p.x = x;
  p.y = y;
}

void LogicalSize(void *data, zxdg_output_v1 *, int32_t w, int32_t h) {
  OutputPlace &p = static_cast<Output *>(data)->place;
  p.logicalW = w;
  p.logicalH = h;
}

const zxdg_output_v1_listener kXdgOutputListener = {
    LogicalPosition, LogicalSize, XdgOutputDone, XdgOutputText, XdgOutputText};

void AddOutput(WaylandDisplay *d, wl_registry *registry, uint32_t name,
               uint32_t version) {
  // An output that comes once the image is laid out has no place in it.
  if (d->laidOut) return;
  if (d->nOutputs == kMaxOutputs) {
    d->tooMany = true;
    return;
  }
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
  o->place.scale = 1;
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

// Places the outputs in the image, and keeps its size; notes why not, when
// it cannot and fNote.
bool LayOut(WaylandDisplay *d, bool fNote) {
  OutputPlace **places = static_cast<OutputPlace **>(
      std::malloc(sizeof(OutputPlace *) * (d->nOutputs ? d->nOutputs : 1)));
  if (!places) return false;
  // An output unplugged while the layout was read has no place in it (nor
  // perhaps a mode: the compositor tells a gone output nothing).
  int n = 0;
  for (int i = 0; i < d->nOutputs; ++i)
    if (!d->outputs[i]->gone) places[n++] = &d->outputs[i]->place;
  int64_t cx, cy;
  LayoutResult r = LayOutOutputs(places, n, &cx, &cy);
  std::free(places);
  if (r == kLaidOut) {
    g_layoutW = cx;
    g_layoutH = cy;
    d->width = static_cast<int>(cx);
    d->height = static_cast<int>(cy);
    return true;
  }
  if (!fNote) return false;
  if (r == kNoOutputs)
    NoteWhyAbout("%s has no outputs", d->name);
  else if (r == kOutputWithoutSize)
    NoteWhyAbout("%s: an output has no size", d->name);
  else if (r == kLayoutTooLarge)
    NoteWhyAbout(
        "%s: the layout, %lld x %lld pixels, is larger than a BMP file holds",
        d->name, static_cast<long long>(cx), static_cast<long long>(cy));
  return false;
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

// Dispatches events until *pDone, the deadline passes, or the connection
// fails; true only in the first case.
bool DispatchUntil(wl_display *display, const bool *pDone,
                   uint64_t deadlineUs) {
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
    int left = MsUntil(deadlineUs);
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

// Every event the compositor sent before now has been handled.
bool Roundtrip(wl_display *display, uint64_t deadlineUs) {
  bool done = false;
  wl_callback *callback = wl_display_sync(display);
  if (!callback) return false;
  wl_callback_add_listener(callback, &kSyncListener, &done);
  bool ok = DispatchUntil(display, &done, deadlineUs);
  wl_callback_destroy(callback);
  return ok;
}

// What a WAYLAND_SOCKET of value v is, if it is no socket a compositor
// handed down: null when it may be one.
const char *NoSocket(const char *v) {
  char *end;
  errno = 0;
  long fd = std::strtol(v, &end, 10);
  struct stat st;
  if (errno || end == v || *end || fd < 0 || fd > INT_MAX) return "no number";
  if (fd <= 2)
    return fd == 0   ? "standard input"
           : fd == 1 ? "standard output"
                     : "standard error";
  if (fstat(static_cast<int>(fd), &st) != 0) return "not open";
  return S_ISSOCK(st.st_mode) ? nullptr : "not a socket";
}

// The name the compositor goes by in the why lines: WAYLAND_SOCKET's, when
// libwayland is to take that descriptor, else WAYLAND_DISPLAY's; null for
// none. libwayland takes WAYLAND_SOCKET's descriptor as the compositor's
// and closes it when done: a stale value, passed on from a launcher, could
// name standard error or a file. Such a value is dropped, with a word on
// why, and WAYLAND_DISPLAY is tried instead.
const char *CompositorName(bool *pfSocket) {
  static char socketName[64];
  const char *v = std::getenv("WAYLAND_SOCKET");
  *pfSocket = false;
  if (v && !NoSocket(v)) {
    *pfSocket = true;
    std::snprintf(socketName, sizeof socketName, "WAYLAND_SOCKET=%s", v);
    return socketName;
  }
  if (v) {
    NoteWhyAbout("WAYLAND_SOCKET=%.20s names no compositor's socket (%s)", v,
                 NoSocket(v));
    unsetenv("WAYLAND_SOCKET");
  }
  const char *name = std::getenv("WAYLAND_DISPLAY");
  return name && *name ? name : nullptr;
}

// The outputs' own events, then xdg-output's. An output announced during
// that round trip needs its logical position asked for in turn: without
// it, it would be placed at the origin, over the first output. False if
// the compositor stopped answering.
bool ReadOutputs(WaylandDisplay *d, uint64_t deadline) {
  bool unasked;
  do {
    for (int i = 0; d->xdgOutputManager && i < d->nOutputs; ++i) {
      Output *o = d->outputs[i];
      if (o->xdgOutput) continue;
      o->xdgOutput =
          zxdg_output_manager_v1_get_xdg_output(d->xdgOutputManager, o->output);
      zxdg_output_v1_add_listener(o->xdgOutput, &kXdgOutputListener, o);
    }
    if (!Roundtrip(d->display, deadline)) return false;
    unasked = false;
    for (int i = 0; d->xdgOutputManager && i < d->nOutputs; ++i)
      unasked = unasked || !d->outputs[i]->xdgOutput;
  } while (unasked);
  return true;
}

// The connection, its globals and its outputs laid out; null, with the
// reason noted, if it does not serve.
WaylandDisplay *Connect() {
  bool fromSocket;
  const char *name = CompositorName(&fromSocket);
  if (!name) return nullptr;
  // libwayland writes its complaints to standard error, where the notices
  // go; a failure shows as the calls that fail.
  wl_log_set_handler_client(Discard);
  wl_display *display = wl_display_connect(nullptr);
  if (!display) {
    // A name that is not a path is looked for in XDG_RUNTIME_DIR.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    NoteWhyAbout("no Wayland compositor answers on %s%s", name,
                 !fromSocket && name[0] != '/' && (!runtime || !*runtime)
                     ? " (XDG_RUNTIME_DIR is not set)"
                     : "");
    return nullptr;
  }
  g_compositor = true;
  WaylandDisplay *d = new (std::nothrow) WaylandDisplay();
  if (!d) {
    wl_display_disconnect(display);
    return nullptr;
  }
  d->display = display;
  d->name = name;
  uint64_t deadline = NowUs() + uint64_t(kWaylandTimeoutMs) * 1000;
  d->registry = wl_display_get_registry(display);
  if (!d->registry ||
      wl_registry_add_listener(d->registry, &kRegistryListener, d) != 0 ||
      !Roundtrip(display, deadline)) {
    NoteWhyAbout("%s does not answer", name);
    Close(d);
    return nullptr;
  }
  // No capture protocol (GNOME, KDE): KWin's or the portal's turn, once
  // the outputs are known, which bound the picture they hand over.
  bool capture = d->shm && ((Offers(d, 0) && Offers(d, 1)) || Offers(d, 2));
  bool answered = ReadOutputs(d, deadline);
  if (!capture) {
    if (answered && !d->tooMany) LayOut(d, false);
    NoteWhyAbout("%s offers no screen capture protocol", name);
    Close(d);
    return nullptr;
  }
  if (!answered) {
    NoteWhyAbout("%s does not answer", name);
    Close(d);
    return nullptr;
  }
  if (d->tooMany) {
    NoteWhyAbout("%s announces more than %d outputs", name, kMaxOutputs);
    Close(d);
    return nullptr;
  }
  if (!LayOut(d, true)) {
    Close(d);
    return nullptr;
  }
  d->laidOut = true;
  return d;
}

}  // namespace

WaylandDisplay *ConnectWayland(bool *pfCompositor) {
  if (!g_tried) g_wayland = Connect();
  g_tried = true;
  *pfCompositor = g_compositor;
  return g_wayland;
}

bool WaylandLayoutSize(int64_t *pcx, int64_t *pcy) {
  *pcx = g_layoutW;
  *pcy = g_layoutH;
  return g_layoutW > 0;
}

bool WaitForOutputs(WaylandDisplay *d, bool (*until)(const Output &),
                    uint64_t deadlineUs) {
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
    if (NowUs() > deadlineUs || !Roundtrip(d->display, deadlineUs))
      return false;
  }
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
