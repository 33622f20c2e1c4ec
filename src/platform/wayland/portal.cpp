// Reading a Wayland desktop through the desktop portal, where the compositor
// offers no screencopy (GNOME, KDE Plasma): org.freedesktop.portal.Screenshot
// over the session bus, without asking the user, hands back a PNG file of
// the whole desktop, which is read into memory and removed at once, as it
// was made for this request alone. The portal is asked when the display's
// context is made, as the picture's size is known only then; that is the
// moment of the copy.
//
// libsystemd (sd-bus) and libpng are loaded only when this path runs: a
// launch on X11 or on a screencopy compositor never pays for them.
#include <dlfcn.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bus.h"
#include "display.h"
#include "library.h"
#include "platform.h"

namespace {

// The portal's answer, after its call returned, may wait on the desktop (a
// dialog may be on screen); one that never comes is given up after this.
const uint64_t kTimeoutUs = 30 * 1000 * 1000;
// A PNG larger than this is not a screenshot.
const off_t kMaxPngBytes = off_t(1) << 30;

// The session bus's procedures, and libpng's.
struct Procs {
  BusProcs bus;
  decltype(&png_image_begin_read_from_memory) png_begin_read;
  decltype(&png_image_finish_read) png_finish_read;
  decltype(&png_image_free) png_free;
};

struct PortalDisplay {
  Procs procs;
  sd_bus *bus;  // the session bus, shared and kept to the process's end
  BYTE *png;    // the file's bytes
  size_t cbPng;
  int width, height;
};

struct PortalBitmap {
  PortalDisplay *d;
  int width, height;
};

bool LoadProcs(Procs *p) {
  void *png = dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
  return LoadBusProcs(&p->bus) &&
         LookUp(png, "png_image_begin_read_from_memory", &p->png_begin_read) &&
         LookUp(png, "png_image_finish_read", &p->png_finish_read) &&
         LookUp(png, "png_image_free", &p->png_free);
}

// What the request's Response signal said.
struct Answer {
  const BusProcs *procs;
  bool done;
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
// names the file.
int OnResponse(sd_bus_message *m, void *userdata, sd_bus_error *) {
  Answer *a = static_cast<Answer *>(userdata);
  const BusProcs &p = *a->procs;
  a->done = true;
  uint32_t response = 1;
  if (p.message_read(m, "u", &response) < 0 || response != 0) return 0;
  if (p.enter_container(m, 'a', "{sv}") < 0) return 0;
  while (p.enter_container(m, 'e', "sv") > 0) {
    const char *key = nullptr, *uri = nullptr;
    if (p.message_read(m, "s", &key) < 0) return 0;
    if (key && !std::strcmp(key, "uri")) {
      if (p.message_read(m, "v", "s", &uri) < 0) return 0;
      if (!PathOfUri(uri, a->path, sizeof a->path)) a->path[0] = '\0';
    } else if (p.message_skip(m, "v") < 0) {
      return 0;
    }
    if (p.exit_container(m) < 0) return 0;
  }
  return 0;
}

// Asks the portal for a screenshot; the file's path in a->path.
bool RequestScreenshot(const BusProcs &p, sd_bus *bus, Answer *a) {
  // The portal answers on a request object whose path it builds from our
  // unique name and a token of ours; listening there first means the
  // answer cannot come before we listen.
  const char *unique = nullptr;
  if (p.get_unique_name(bus, &unique) < 0 || !unique || unique[0] != ':')
    return false;
  char sender[256], token[64], path[512];
  size_t n = 0;
  for (const char *s = unique + 1; *s && n + 1 < sizeof sender; ++s)
    sender[n++] = *s == '.' ? '_' : *s;
  sender[n] = '\0';
  std::snprintf(token, sizeof token, "tusak%ld", static_cast<long>(getpid()));
  std::snprintf(path, sizeof path,
                "/org/freedesktop/portal/desktop/request/%s/%s", sender, token);
  const char *kPortal = "org.freedesktop.portal.Desktop";
  const char *kRequest = "org.freedesktop.portal.Request";
  // Released before this returns: the bus outlives the request, and the
  // answer's storage does not.
  sd_bus_slot *slot = nullptr, *other = nullptr;
  if (p.match_signal(bus, &slot, kPortal, path, kRequest, "Response",
                     OnResponse, a) < 0)
    return false;

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  int r = p.call_method(bus, kPortal, "/org/freedesktop/portal/desktop",
                        "org.freedesktop.portal.Screenshot", "Screenshot",
                        &error, &reply, "sa{sv}", "", 2, "handle_token", "s",
                        token, "interactive", "b", 0);
  p.error_free(&error);
  const char *handle = nullptr;
  bool ok = r >= 0 && p.message_read(reply, "o", &handle) >= 0 && handle;
  // A portal older than the token convention names its own request.
  if (ok && std::strcmp(handle, path) != 0)
    ok = p.match_signal(bus, &other, kPortal, handle, kRequest, "Response",
                        OnResponse, a) >= 0;
  if (reply) p.message_unref(reply);

  ok = ok && RunBusUntil(p, bus, &a->done, BusNowUs() + kTimeoutUs);
  p.slot_unref(slot);
  p.slot_unref(other);
  return ok && a->path[0];
}

// The file's bytes, and the file removed; null if it cannot be read.
BYTE *TakeFile(const char *path, size_t *pcb) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  BYTE *data = nullptr;
  struct stat st;
  if (fd != -1 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size > 0 && st.st_size < kMaxPngBytes) {
    size_t cb = static_cast<size_t>(st.st_size), got = 0;
    data = static_cast<BYTE *>(std::malloc(cb));
    while (data && got < cb) {
      ssize_t r = read(fd, data + got, cb - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (data && got == cb) {
      *pcb = cb;
    } else {
      std::free(data);
      data = nullptr;
    }
  }
  if (fd != -1) close(fd);
  unlink(path);
  return data;
}

void *OpenPortal(int *pcx, int *pcy, int *pnDibBits) {
  // A Wayland session whose compositor has no screencopy.
  const char *name = std::getenv("WAYLAND_DISPLAY");
  if (!name || !*name) return nullptr;
  PortalDisplay *d = new (std::nothrow) PortalDisplay();
  if (!d) return nullptr;
  const Procs &p = d->procs;
  Answer answer = {&p.bus, false, {0}};
  bool ok = LoadProcs(&d->procs) &&
            (d->bus = OpenSessionBus(p.bus)) != nullptr &&
            RequestScreenshot(p.bus, d->bus, &answer) &&
            (d->png = TakeFile(answer.path, &d->cbPng)) != nullptr;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  ok = ok && p.png_begin_read(&image, d->png, d->cbPng) && image.width > 0 &&
       image.height > 0 && image.width <= 32767 && image.height <= 32767;
  if (ok) {
    d->width = static_cast<int>(image.width);
    d->height = static_cast<int>(image.height);
  }
  if (image.opaque) p.png_free(&image);
  if (!ok) {
    NoteWhy("desktop portal: no screenshot");
    std::free(d->png);
    delete d;
    return nullptr;
  }
  *pcx = d->width;
  *pcy = d->height;
  *pnDibBits = 32;
  return d;
}

void *CreatePortalBitmap(void *pDisplay, int cx, int cy) {
  PortalBitmap *bm = new (std::nothrow) PortalBitmap();
  if (!bm) return nullptr;
  bm->d = static_cast<PortalDisplay *>(pDisplay);
  bm->width = cx;
  bm->height = cy;
  return bm;
}

bool CopyPortal(void *, void *pBitmap, int x, int y) {
  // Served: the whole picture, which the portal took already.
  PortalBitmap *bm = static_cast<PortalBitmap *>(pBitmap);
  return x == 0 && y == 0 && bm->width == bm->d->width &&
         bm->height == bm->d->height;
}

bool FetchPortal(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
                 RGBQUAD *) {
  PortalBitmap *bm = static_cast<PortalBitmap *>(pBitmap);
  const PortalDisplay *d = bm->d;
  const Procs &p = d->procs;
  if (n == 0) return true;
  // The whole picture, bottom-up, straight into the rows; a part of it by
  // way of a whole one.
  bool whole = start == 0 && n == bm->height;
  size_t cbRow = static_cast<size_t>(bm->width) * 4;
  BYTE *rows = whole ? pBits
                     : static_cast<BYTE *>(std::malloc(
                           cbRow * static_cast<size_t>(bm->height)));
  size_t stride = whole ? cbStride : cbRow;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  bool ok = rows && p.png_begin_read(&image, d->png, d->cbPng) &&
            int(image.width) == bm->width && int(image.height) == bm->height;
  if (ok) {
    image.format = PNG_FORMAT_BGRA;
    // A negative stride stores the rows bottom-up, as a DIB has them.
    ok = p.png_finish_read(&image, nullptr, rows,
                           -static_cast<png_int_32>(stride), nullptr);
  }
  if (image.opaque) p.png_free(&image);
  if (ok && !whole)
    for (int i = 0; i < n; ++i)
      std::memcpy(pBits + static_cast<size_t>(i) * cbStride,
                  rows + static_cast<size_t>(start + i) * cbRow, cbRow);
  if (!whole) std::free(rows);
  if (!ok) return false;
  // The DIB's fourth byte is unused: the PNG's alpha goes.
  for (int i = 0; i < n; ++i) {
    BYTE *line = pBits + static_cast<size_t>(i) * cbStride;
    for (int x = 0; x < bm->width; ++x) line[4 * x + 3] = 0;
  }
  return true;
}

}  // namespace

const DisplaySystem g_portalSystem = {true, OpenPortal, CreatePortalBitmap,
                                      CopyPortal, FetchPortal};
