// Reading a KDE Plasma desktop through KWin's own screenshot interface,
// org.kde.KWin.ScreenShot2: the whole workspace (every screen in KWin's
// layout, at native resolution, without the pointer) comes as raw pixels
// through a pipe, with no PNG to encode and decode on the way, so it is
// much quicker than the desktop portal. KWin serves it only to programs
// whose desktop entry lists the interface under
// X-KDE-DBUS-Restricted-Interfaces, which the installed tusak's does; when
// KWin refuses, or is not there, the desktop portal is tried next.
//
// KWin is asked when the display's context is made, as the picture's size
// is known only then; that is the moment of the copy.
#include "kwin.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bmpfile/dib.h"
#include "bus.h"
#include "clock.h"
#include "display.h"
#include "platform.h"
#include "why.h"

namespace {

const char *const kService = "org.kde.KWin";
const char *const kPath = "/org/kde/KWin/ScreenShot2";
const char *const kInterface = "org.kde.KWin.ScreenShot2";
// KWin answers once it has drawn the next frame, and writes the pixels while
// they are read; the whole exchange is given up after this.
const uint64_t kTimeoutUs = 10 * 1000 * 1000;
// Pixels read before the reply says how many to expect: KWin may write
// before it answers, and this holds an 8K screen four times over. Past it
// the pipe is left to fill until the reply comes.
const size_t kMaxEarlyBytes = size_t(256) << 20;
// The rows the reply announces, padding and all: a picture a BMP file holds,
// in KWin's widest pixels (8 bytes), takes no more.
const uint64_t kMaxRawBytes = uint64_t(4) << 30;
// What an unprivileged process may ask of a pipe by default.
const int kPipeBytes = 1 << 20;

// What the call's reply said.
struct Reply {
  const SdBus *p;
  bool done;
  bool ok;
  char error[128];  // why KWin refused, if it did
  uint32_t width, height, stride, format;
  char type[16];  // "raw" when the pixels come as they are
};

// An unsigned number of the results, whatever its width on the wire.
bool ReadNumber(const SdBus &p, sd_bus_message *m, uint32_t *pValue) {
  const char *contents = nullptr;
  if (p.message_peek_type(m, nullptr, &contents) <= 0 || !contents)
    return false;
  if (!std::strcmp(contents, "u"))
    return p.message_read(m, "v", "u", pValue) > 0;
  if (!std::strcmp(contents, "i")) {
    int32_t v = -1;
    if (p.message_read(m, "v", "i", &v) <= 0 || v < 0) return false;
    *pValue = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

// CaptureWorkspace's reply: a{sv} with type "raw", width, height, stride
// (bytes per row) and format (a QImage format). Width and height count
// pixels; scale, also given, says how many per logical unit, which a
// picture at native resolution needs no more.
int OnReply(sd_bus_message *m, void *userdata, sd_bus_error *) {
  Reply *r = static_cast<Reply *>(userdata);
  const SdBus &p = *r->p;
  r->done = true;
  if (p.message_is_method_error(m, nullptr)) {
    const sd_bus_error *e = p.message_get_error(m);
    std::strncpy(r->error, e && e->name ? e->name : "error",
                 sizeof r->error - 1);
    return 0;
  }
  bool ok = p.message_enter_container(m, 'a', "{sv}") > 0;
  bool haveWidth = false, haveHeight = false, haveStride = false,
       haveFormat = false;
  while (ok && p.message_enter_container(m, 'e', "sv") > 0) {
    const char *key = nullptr;
    ok = p.message_read(m, "s", &key) > 0 && key;
    if (!ok) break;
    if (!std::strcmp(key, "width")) {
      ok = haveWidth = ReadNumber(p, m, &r->width);
    } else if (!std::strcmp(key, "height")) {
      ok = haveHeight = ReadNumber(p, m, &r->height);
    } else if (!std::strcmp(key, "stride")) {
      ok = haveStride = ReadNumber(p, m, &r->stride);
    } else if (!std::strcmp(key, "format")) {
      ok = haveFormat = ReadNumber(p, m, &r->format);
    } else if (!std::strcmp(key, "type")) {
      const char *type = nullptr;
      ok = p.message_read(m, "v", "s", &type) > 0 && type;
      if (ok) std::snprintf(r->type, sizeof r->type, "%s", type);
    } else {
      ok = p.message_skip(m, "v") >= 0;
    }
    ok = ok && p.message_exit_container(m) >= 0;
  }
  // Raw pixels are all KWin has sent so far; a reply without the type is
  // taken as raw too.
  r->ok = ok && haveWidth && haveHeight && haveStride && haveFormat;
  if (!r->ok) std::strncpy(r->error, "an unreadable reply", sizeof r->error);
  return 0;
}

// Reads from fd, non-blocking, what is there into the buffer, which grows
// as the bytes come up to cbCap; false once the pipe ended (end of file or
// a failure), with *pFailed on a failure.
bool ReadSome(int fd, BYTE **pData, size_t *pcb, size_t *pcbMax, size_t cbCap,
              bool *pFailed) {
  while (*pcb < cbCap) {
    if (*pcb == *pcbMax) {
      // Doubled, up to the cap, never past what size_t counts.
      size_t grown = !*pcbMax              ? size_t(8) << 20
                     : *pcbMax > cbCap / 2 ? cbCap
                                           : *pcbMax * 2;
      if (grown > cbCap) grown = cbCap;
      // Grown by moving its pages, never by copying them: the memory is
      // only ever what has come.
      void *data = *pData ? mremap(*pData, *pcbMax, grown, MREMAP_MAYMOVE)
                          : mmap(nullptr, grown, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (data == MAP_FAILED) {
        *pFailed = true;
        return false;
      }
      *pData = static_cast<BYTE *>(data);
      *pcbMax = grown;
    }
    ssize_t r = read(fd, *pData + *pcb, *pcbMax - *pcb);
    if (r > 0) {
      *pcb += static_cast<size_t>(r);
    } else if (r == 0) {
      return false;
    } else if (errno == EAGAIN) {
      return true;
    } else if (errno != EINTR) {
      *pFailed = true;
      return false;
    }
  }
  return true;
}

// Whether the reply announces a picture that can be read and saved; *pNeed:
// the bytes that hold its pixels (every row's, the last row's padding
// aside). Notes why not.
bool Readable(const Reply &r, uint64_t *pNeed) {
  uint64_t bpp = KWinBytesPerPixel(r.format);
  if (std::strcmp(r.type, "raw") != 0)
    NoteWhy("the picture came as %s, not as raw pixels", r.type);
  else if (r.width == 0 || r.height == 0)
    NoteWhy("the workspace has no pixels (%u x %u)", r.width, r.height);
  else if (!DibFits(r.width, r.height, 32))
    NoteWhy("the workspace, %u x %u pixels, is larger than a BMP file holds",
            r.width, r.height);
  else if (!bpp)
    NoteWhy("pixel format %u cannot be read", r.format);
  else if (r.stride < r.width * bpp)
    NoteWhy("rows of %u bytes cannot hold %u pixels of format %u", r.stride,
            r.width, r.format);
  else if ((*pNeed = uint64_t(r.stride) * (r.height - 1) + r.width * bpp) >
           kMaxRawBytes)
    NoteWhy("rows %u bytes apart are more than a screenshot holds", r.stride);
  else
    return true;
  return false;
}

}  // namespace

bool CaptureKWin(const SdBus &p, sd_bus *bus, KWinDisplay *d) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  // A larger pipe lets KWin write in fewer, longer strides (a failure
  // leaves the default).
  fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);
  sd_bus_message *m = nullptr;
  sd_bus_slot *slot = nullptr;
  Reply reply = {};
  reply.p = &p;
  std::strcpy(reply.type, "raw");  // a reply without the type is raw
  // The message carries its own copy of the pipe's write end; ours is
  // closed at once, so the end of file comes when KWin closes its copy.
  bool ok = p.message_new_method_call(bus, &m, kService, kPath, kInterface,
                                      "CaptureWorkspace") >= 0 &&
            p.message_append(m, "a{sv}", 2, "include-cursor", "b", 0,
                             "native-resolution", "b", 1) >= 0 &&
            p.message_append(m, "h", fds[1]) >= 0 &&
            p.call_async(bus, &slot, m, OnReply, &reply, kTimeoutUs) >= 0;
  bool sent = ok;
  if (m) p.message_unref(m);
  close(fds[1]);

  // Until the reply, what KWin writes early is kept, up to a cap; once the
  // reply says how many bytes the pixels take, those and no more, and the
  // picture is whole as soon as they are in, whether or not KWin closes
  // the pipe.
  size_t cap = kMaxEarlyBytes;
  uint64_t need = 0;
  bool ended = false, failed = false, checked = false, readable = false;
  uint64_t deadline = NowUs() + kTimeoutUs;
  while (ok) {
    int r = p.process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if (reply.done && !checked) {
      checked = true;
      readable = reply.ok && Readable(reply, &need);
      if (!readable) break;
      // Up to what size_t counts: 4 GiB is one past that on a 32-bit
      // machine, whose memory could not take the picture whole anyway.
      cap = need < SIZE_MAX ? static_cast<size_t>(need) : SIZE_MAX;
    }
    if (!ended && d->cb < cap)
      ended = !ReadSome(fds[0], &d->pixels, &d->cb, &d->cbMapped, cap, &failed);
    if (failed || (readable && d->cb >= need) || (reply.done && ended)) break;
    uint64_t now = NowUs();
    if (now >= deadline) break;
    int events = p.get_events(bus);
    int fd = p.get_fd(bus);
    if (events < 0 || fd < 0) break;
    pollfd waits[2] = {{fd, static_cast<short>(events), 0},
                       {fds[0], POLLIN, 0}};
    bool reading = !ended && d->cb < cap;
    if (poll(waits, reading ? 2 : 1, MsUntil(deadline)) < 0 && errno != EINTR)
      break;
  }
  close(fds[0]);
  if (slot) p.slot_unref(slot);

  if (!sent) {
    NoteWhy("the call cannot be sent");
    return false;
  }
  if (!reply.done) {
    NoteWhy("no screenshot within %d s",
            static_cast<int>(kTimeoutUs / 1000000));
    return false;
  }
  if (!reply.ok) {
    // No KWin on this bus (another desktop) is no reason worth telling.
    const char *const kAbsent[] = {"ServiceUnknown", "NameHasNoOwner",
                                   "UnknownObject", "UnknownInterface",
                                   "UnknownMethod"};
    const char *dot = std::strrchr(reply.error, '.');
    const char *what = dot ? dot + 1 : reply.error;
    for (const char *absent : kAbsent)
      if (!std::strcmp(what, absent)) return false;
    if (!std::strcmp(what, "NoAuthorized"))
      NoteWhyAbout(
          "KWin refuses to serve this binary (no desktop entry lists it)");
    else if (!std::strcmp(what, "NoReply"))  // the call's own time-out
      NoteWhy("no screenshot within %d s",
              static_cast<int>(kTimeoutUs / 1000000));
    else
      NoteWhy("%s", what);
    return false;
  }
  if (!readable) return false;  // noted
  if (d->cb < need) {
    NoteWhy("the pixels did not all come");
    return false;
  }
  d->width = static_cast<int>(reply.width);
  d->height = static_cast<int>(reply.height);
  d->stride = reply.stride;
  d->format = reply.format;
  return true;
}

namespace {

void *OpenKWin(DisplayInfo *pInfo) {
  // KWin's absence shows on the bus.
  const SdBus *p;
  sd_bus *bus = OpenDesktopBus(&p);
  if (!bus) return nullptr;
  KWinDisplay *d = new (std::nothrow) KWinDisplay();
  if (!d) return nullptr;
  if (!CaptureKWin(*p, bus, d)) {
    if (d->pixels) munmap(d->pixels, d->cbMapped);
    delete d;
    return nullptr;
  }
  pInfo->cx = d->width;
  pInfo->cy = d->height;
  pInfo->nDibBits = 32;
  return d;
}

bool FetchKWin(void *pDisplay, void *, int start, int n, BYTE *pBits,
               size_t cbStride, RGBQUAD *) {
  const KWinDisplay *d = static_cast<KWinDisplay *>(pDisplay);
  // DIB lines count from the bottom; KWin's rows from the top.
  for (int i = 0; i < n; ++i) {
    int row = d->height - 1 - (start + i);
    ConvertKWinRow(d->format, d->pixels + d->stride * static_cast<size_t>(row),
                   pBits + cbStride * static_cast<size_t>(i), d->width);
  }
  return true;
}

}  // namespace

// The picture is taken when KWin is asked, which is when the system opens:
// it keeps no bitmaps of its own.
const DisplaySystem g_kwinSystem = {"KWin",  true,    OpenKWin,
                                    nullptr, nullptr, FetchKWin};
