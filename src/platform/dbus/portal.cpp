// Reading a desktop through the desktop portal, where the compositor offers
// no capture protocol and KWin does not serve (GNOME, KDE Plasma for a
// binary KWin does not know): org.freedesktop.portal.Screenshot over the
// session bus, without asking the user, hands back a PNG file of the whole
// desktop, which is read and removed, as it was made for this request alone
// (portalfile.cpp). The portal is asked when the display's context is made,
// as the picture's size is known only then; that is the moment of the copy.
//
// libsystemd (sd-bus, see bus.h) and libpng (png.cpp) are loaded only when
// this path runs: a launch on X11 or on a compositor with a capture
// protocol never pays for them.
#include "portal.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "bus.h"
#include "clock.h"
#include "display.h"
#include "why.h"

namespace {

// The portal's answer, after its call returned, may wait on the desktop (a
// dialog may be on screen); one that never comes is given up after this.
const uint64_t kTimeoutUs = 30 * 1000 * 1000;
struct PortalDisplay {
  PortalFile file;  // the PNG's bytes, until decoded
  PngPicture picture;
};

// The request, and what its Response signal said.
struct Answer {
  const SdBus *procs;
  char handle[512];  // the request's object path, as the call returned it
  bool done;         // its Response came
  timespec asked;    // when the call was made, on the file system's clock
  uint32_t response;
  bool hasUri;
  char path[4096];  // of the file, empty if none came
};

int FromHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local path of a file:// URI, percent-decoded; false for any other.
bool PathOfUri(const char *uri, char *path, size_t cbPath) {
  const char *prefix = "file://";
  if (std::strncmp(uri, prefix, std::strlen(prefix)) != 0) return false;
  const char *s = uri + std::strlen(prefix);
  if (*s != '/') return false;  // a file on another host
  size_t n = 0;
  for (; *s; ++s) {
    char c = *s;
    if (c == '%') {
      int hi = FromHex(s[1]), lo = hi < 0 ? -1 : FromHex(s[2]);
      if (lo < 0) return false;
      c = static_cast<char>(hi << 4 | lo);
      s += 2;
    }
    if (c == '\0' || n + 1 >= cbPath) return false;
    path[n++] = c;
  }
  path[n] = '\0';
  return true;
}

// Response(u response, a{sv} results): 0 is success, and results["uri"]
// names the file. Every Response sent to us comes here; the one on this
// request's path is the answer.
int OnResponse(sd_bus_message *m, void *userdata, sd_bus_error *) {
  Answer *a = static_cast<Answer *>(userdata);
  const SdBus &p = *a->procs;
  const char *at = p.message_get_path(m);
  if (a->done || !at || std::strcmp(at, a->handle) != 0) return 0;
  a->done = true;
  a->response = 2;
  if (p.message_read(m, "u", &a->response) < 0 || a->response != 0) return 0;
  if (p.message_enter_container(m, 'a', "{sv}") < 0) return 0;
  while (p.message_enter_container(m, 'e', "sv") > 0) {
    const char *key = nullptr, *uri = nullptr;
    if (p.message_read(m, "s", &key) < 0) return 0;
    if (key && !std::strcmp(key, "uri")) {
      if (p.message_read(m, "v", "s", &uri) < 0) return 0;
      a->hasUri = true;
      if (!PathOfUri(uri, a->path, sizeof a->path)) a->path[0] = '\0';
    } else if (p.message_skip(m, "v") < 0) {
      return 0;
    }
    if (p.message_exit_container(m) < 0) return 0;
  }
  return 0;
}

// Asks the portal for a screenshot; the file's path in a->path.
bool RequestScreenshot(const SdBus &p, sd_bus *bus, Answer *a) {
  const char *kPortal = "org.freedesktop.portal.Desktop";
  // The portal answers on a request object of its own. Newer ones build its
  // path from our unique name and a token of ours, older ones name it in
  // the call's reply alone; so every Response the portal sends us is
  // listened to before the call, and the one on the path the call returned
  // is taken: no answer can come unheard.
  sd_bus_slot *slot = nullptr;  // released before this returns: the bus
                                // outlives the request, *a does not
  int r = p.add_match(bus, &slot,
                      "type='signal',sender='org.freedesktop.portal.Desktop',"
                      "interface='org.freedesktop.portal.Request',"
                      "member='Response'",
                      OnResponse, a);
  if (r < 0) {
    NoteWhy("cannot listen for its answer (%s)", std::strerror(-r));
    return false;
  }
  char token[64];
  std::snprintf(token, sizeof token, "tusak%ld", static_cast<long>(getpid()));
  // SD_BUS_ERROR_NULL, without its compound literal (C99, not C++).
  sd_bus_error error = {};
  sd_bus_message *reply = nullptr;
  // The clock that stamps files when they change.
  clock_gettime(CLOCK_REALTIME_COARSE, &a->asked);
  r = p.call_method(bus, kPortal, "/org/freedesktop/portal/desktop",
                    "org.freedesktop.portal.Screenshot", "Screenshot", &error,
                    &reply, "sa{sv}", "", 2, "handle_token", "s", token,
                    "interactive", "b", 0);
  const char *handle = nullptr;
  bool ok = r >= 0 && p.message_read(reply, "o", &handle) >= 0 && handle &&
            std::strlen(handle) < sizeof a->handle;
  if (ok)
    std::strcpy(a->handle, handle);
  else if (r < 0)
    NoteWhy("Screenshot call failed (%s)", error.message ? error.message
                                           : error.name  ? error.name
                                                         : std::strerror(-r));
  else
    NoteWhy("Screenshot call answered without a request");
  p.error_free(&error);
  if (reply) p.message_unref(reply);

  uint64_t deadline = NowUs() + kTimeoutUs;
  if (ok && !RunBusUntil(p, bus, &a->done, deadline)) {
    ok = false;
    if (NowUs() >= deadline)
      NoteWhy("no answer within %d s", static_cast<int>(kTimeoutUs / 1000000));
    else
      NoteWhy("the session bus went away before its answer");
  }
  p.slot_unref(slot);
  if (ok && a->response != 0) {
    ok = false;
    NoteWhy("screenshot %s (response %u)",
            a->response == 1 ? "cancelled" : "refused",
            static_cast<unsigned>(a->response));
  } else if (ok && !a->path[0]) {
    ok = false;
    NoteWhy("%s", a->hasUri ? "the picture is not a local file"
                            : "no picture in the answer");
  }
  return ok;
}

// The file's picture, decoded once; its bytes are let go then. Its size
// is held to what the Wayland compositor's outputs make, where one told.
bool ReadPicture(PortalDisplay *d, const char *path) {
  int64_t cx = 0, cy = 0;
  WaylandLayoutSize(&cx, &cy);
  bool ok = ReadPng(d->file.data, d->file.cb, path, cx, cy, &d->picture);
  std::free(d->file.data);
  d->file.data = nullptr;
  return ok;
}

void *OpenPortal(DisplayInfo *pInfo) {
  const SdBus *p;
  sd_bus *bus = OpenDesktopBus(&p);
  if (!bus) return nullptr;
  Answer answer = {};
  answer.procs = p;
  PortalDisplay *d = new (std::nothrow) PortalDisplay();
  if (!d) return nullptr;
  // The file goes only once its picture serves.
  if (!RequestScreenshot(*p, bus, &answer) ||
      !ReadPortalFile(answer.path, &d->file) || !ReadPicture(d, answer.path)) {
    ClosePortalFolder(&d->file);
    std::free(d->file.data);
    delete d;
    return nullptr;
  }
  RemovePortalFile(answer.path, &d->file, answer.asked);
  pInfo->cx = d->picture.width;
  pInfo->cy = d->picture.rows;
  pInfo->nDibBits = 32;
  return d;
}

bool FetchPortal(void *pDisplay, void *, int start, int n, BYTE *pBits,
                 size_t cbStride, RGBQUAD *) {
  PortalDisplay *d = static_cast<PortalDisplay *>(pDisplay);
  return CopyPngLines(&d->picture, start, n, pBits, cbStride);
}

}  // namespace

// The picture is taken when the portal is asked, which is when the system
// opens: it keeps no bitmaps of its own.
const DisplaySystem g_portalSystem = {"desktop portal", true,    OpenPortal,
                                      nullptr,          nullptr, FetchPortal};
