// Reading a Wayland desktop through the desktop portal, where the compositor
// offers no screencopy (GNOME, KDE Plasma): org.freedesktop.portal.Screenshot
// over the session bus, without asking the user, hands back a PNG file of
// the whole desktop, which is read into memory and removed, as it was made
// for this request alone; what is not plainly that file is not removed, and
// what another user made is not read. The portal is asked when the
// display's context is made, as the picture's size is known only then; that
// is the moment of the copy.
//
// libsystemd (sd-bus, see bus.h) and libpng are loaded only when this path
// runs: a launch on X11 or on a screencopy compositor never pays for them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The request, and what its Response signal said.
struct Answer {
  const BusProcs *procs;
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
  const BusProcs &p = *a->procs;
  const char *at = p.get_path(m);
  if (a->done || !at || std::strcmp(at, a->handle) != 0) return 0;
  a->done = true;
  a->response = 2;
  if (p.message_read(m, "u", &a->response) < 0 || a->response != 0) return 0;
  if (p.enter_container(m, 'a', "{sv}") < 0) return 0;
  while (p.enter_container(m, 'e', "sv") > 0) {
    const char *key = nullptr, *uri = nullptr;
    if (p.message_read(m, "s", &key) < 0) return 0;
    if (key && !std::strcmp(key, "uri")) {
      if (p.message_read(m, "v", "s", &uri) < 0) return 0;
      a->hasUri = true;
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
    NoteWhy("desktop portal: cannot listen for its answer (%s)",
            std::strerror(-r));
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
    NoteWhy("desktop portal: Screenshot call failed (%s)",
            error.message ? error.message
            : error.name  ? error.name
                          : std::strerror(-r));
  else
    NoteWhy("desktop portal: Screenshot call answered without a request");
  p.error_free(&error);
  if (reply) p.message_unref(reply);

  uint64_t deadline = BusNowUs() + kTimeoutUs;
  if (ok && !RunBusUntil(p, bus, &a->done, deadline)) {
    ok = false;
    if (BusNowUs() >= deadline)
      NoteWhy("desktop portal: no answer within %d s",
              static_cast<int>(kTimeoutUs / 1000000));
    else
      NoteWhy("desktop portal: the session bus went away before its answer");
  }
  p.slot_unref(slot);
  if (ok && a->response != 0) {
    ok = false;
    NoteWhy("desktop portal: screenshot %s (response %u)",
            a->response == 1 ? "cancelled" : "refused",
            static_cast<unsigned>(a->response));
  } else if (ok && !a->path[0]) {
    ok = false;
    NoteWhy("desktop portal: %s", a->hasUri ? "the picture is not a local file"
                                            : "no picture in the answer");
  }
  return ok;
}

// The portal's file, read: null, with a why line, if it is refused or
// cannot be read. It is removed only when it is the portal's fresh file for
// this request: a regular file of this user's, changed no earlier than the
// request was made (asked, on the file system's clock). One of this user's
// that is not (a picture that was there before) is read and left in place,
// and why is told in pszLeft (empty otherwise). Anything else, such as a
// file another user put at the path the portal writes, is not read.
BYTE *TakeFile(const char *path, const timespec &asked, size_t *pcb,
               char *pszLeft, size_t cbLeft) {
  pszLeft[0] = '\0';
  // Not a link's target, nor a device or a pipe that would block the open.
  int fd =
      open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd == -1) {
    NoteWhy("desktop portal: cannot open %s (%s)", path,
            errno == ELOOP ? "a symbolic link" : std::strerror(errno));
    return nullptr;
  }
  struct stat st;
  const char *refused = nullptr;
  if (fstat(fd, &st) != 0)
    refused = std::strerror(errno);
  else if (st.st_uid != geteuid())
    refused = "it belongs to another user";
  else if (!S_ISREG(st.st_mode))
    refused = "not a regular file";
  else if (st.st_size <= 0 || st.st_size >= kMaxPngBytes)
    refused = st.st_size <= 0 ? "empty" : "too large for a screenshot";
  if (refused) {
    NoteWhy("desktop portal: %s refused: %s", path, refused);
    close(fd);
    return nullptr;
  }
  size_t cb = static_cast<size_t>(st.st_size), got = 0;
  BYTE *data = static_cast<BYTE *>(std::malloc(cb));
  while (data && got < cb) {
    ssize_t r = read(fd, data + got, cb - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  if (!data || got != cb) {
    NoteWhy("desktop portal: cannot read %s", path);
    std::free(data);
    return nullptr;
  }
  *pcb = cb;
  bool fresh =
      st.st_mtim.tv_sec > asked.tv_sec || (st.st_mtim.tv_sec == asked.tv_sec &&
                                           st.st_mtim.tv_nsec >= asked.tv_nsec);
  // The name is removed only while it is still the file that was read.
  struct stat now;
  if (!fresh)
    std::snprintf(pszLeft, cbLeft,
                  "desktop portal: %s left in place: older than the request",
                  path);
  else if (lstat(path, &now) != 0 || now.st_dev != st.st_dev ||
           now.st_ino != st.st_ino)
    std::snprintf(pszLeft, cbLeft,
                  "desktop portal: %s left in place: replaced while read",
                  path);
  else if (unlink(path) != 0)
    std::snprintf(pszLeft, cbLeft, "desktop portal: %s left in place: %s", path,
                  std::strerror(errno));
  return data;
}

void *OpenPortal(int *pcx, int *pcy, int *pnDibBits) {
  // A Wayland session whose compositor has no screencopy.
  const char *name = std::getenv("WAYLAND_DISPLAY");
  if (!name || !*name) return nullptr;
  PortalDisplay *d = new (std::nothrow) PortalDisplay();
  if (!d) return nullptr;
  const Procs &p = d->procs;
  Answer answer = {};
  answer.procs = &p.bus;
  char left[4096 + 128] = "";  // a why line for a file left in place
  bool ok = LoadProcs(&d->procs);
  if (!ok) NoteWhy("desktop portal: libsystemd or libpng missing");
  ok = ok && (d->bus = OpenSessionBus(p.bus)) != nullptr &&
       RequestScreenshot(p.bus, d->bus, &answer) &&
       (d->png = TakeFile(answer.path, answer.asked, &d->cbPng, left,
                          sizeof left)) != nullptr;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  bool picture = ok && p.png_begin_read(&image, d->png, d->cbPng) &&
                 image.width > 0 && image.height > 0 && image.width <= 32767 &&
                 image.height <= 32767;
  // A file left in place is told whether or not the picture serves: as a
  // why line when it does not, at once when it does.
  if (left[0] && picture)
    std::fprintf(stderr, "tusak: %s\n", left);
  else if (left[0])
    NoteWhy("%s", left);
  if (ok && !picture)
    NoteWhy(
        "desktop portal: %s: %s", answer.path,
        image.warning_or_error ? image.message : "larger than a screen can be");
  ok = picture;
  if (ok) {
    d->width = static_cast<int>(image.width);
    d->height = static_cast<int>(image.height);
  }
  if (image.opaque) p.png_free(&image);
  if (!ok) {
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
  // way of a whole one. Black where the file leaves rows out.
  bool whole = start == 0 && n == bm->height;
  size_t cbRow = static_cast<size_t>(bm->width) * 4;
  BYTE *rows = whole ? pBits
                     : static_cast<BYTE *>(
                           std::calloc(static_cast<size_t>(bm->height), cbRow));
  size_t stride = whole ? cbStride : cbRow;
  if (whole) std::memset(pBits, 0, cbStride * static_cast<size_t>(n));
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  bool ok = rows && p.png_begin_read(&image, d->png, d->cbPng) &&
            int(image.width) == bm->width && int(image.height) == bm->height;
  if (ok) {
    image.format = PNG_FORMAT_BGRA;
    // 16-bit samples with no word on their colour space are sRGB, as for
    // any PNG; libpng would take them for linear light.
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    // A negative stride stores the rows bottom-up, as a DIB has them. A
    // file cut short keeps the rows that came before the cut.
    if (!p.png_finish_read(&image, nullptr, rows,
                           -static_cast<png_int_32>(stride), nullptr))
      std::fprintf(stderr,
                   "tusak: desktop portal: the picture is incomplete (%s); "
                   "the rest is black\n",
                   image.message);
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
