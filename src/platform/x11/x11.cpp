// Reading an X11 screen over XCB. The copy into a bitmap notes the
// rectangle and checks that the screen can be read; the fetch reads its rows
// in strips, several kept in flight, through shared memory passed to the
// server as a file descriptor (MIT-SHM 1.2) where it has that, else through
// plain image requests, with the server grabbed so that the strips are of
// one moment. No pixmap holds the screen between the two: a new one costs
// the server a page fault for every 4 KiB of it, more than all the rest.
//
// The server is not trusted: the connection setup is checked record by
// record against its length before any is read, and no wait lasts longer
// than kTimeoutMs. A connection that breaks or stalls only fails the calls
// that need it: XCB reports it instead of ending the process.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "display.h"
#include "library.h"
#include "pixels.h"
#include "platform.h"

namespace {

// A strip is about this many bytes of the screen's rows, and kSlots of them
// are in flight at a time: the server fills the next while one is
// converted. New pages cost more than copying, so the memory is small and
// used over and over.
const size_t kStripBytes = 256 * 1024;
const int kSlots = 4;
// For the connection and for each answer; past it the server is gone.
const int kTimeoutMs = 5000;
// Pixels whose colours one request asks for: a request fits in the 16 KiB
// that every server takes.
const int kColorsPerRequest = 2048;

// The procedures of libxcb and libxcb-shm, looked up when the X11 system
// runs: a launch on Wayland never loads them.
struct Procs {
  decltype(&xcb_connect) connect;
  decltype(&xcb_connection_has_error) connection_has_error;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xcb_flush) flush;
  decltype(&xcb_get_file_descriptor) get_file_descriptor;
  decltype(&xcb_poll_for_reply) poll_for_reply;
  decltype(&xcb_prefetch_extension_data) prefetch_extension_data;
  decltype(&xcb_get_extension_data) get_extension_data;
  decltype(&xcb_get_setup) get_setup;
  decltype(&xcb_generate_id) generate_id;
  decltype(&xcb_get_input_focus) get_input_focus;
  decltype(&xcb_grab_server) grab_server;
  decltype(&xcb_ungrab_server) ungrab_server;
  decltype(&xcb_get_image) get_image;
  decltype(&xcb_get_image_data) get_image_data;
  decltype(&xcb_get_image_data_length) get_image_data_length;
  decltype(&xcb_query_colors) query_colors;
  decltype(&xcb_query_colors_colors) query_colors_colors;
  decltype(&xcb_shm_query_version) shm_query_version;
  decltype(&xcb_shm_attach_fd_checked) shm_attach_fd_checked;
  decltype(&xcb_shm_get_image) shm_get_image;
  xcb_extension_t *shm_id;
};

Procs g_xcb;

bool LoadProcs() {
  void *xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  void *shm = dlopen("libxcb-shm.so.0", RTLD_NOW | RTLD_LOCAL);
  Procs &p = g_xcb;
  return LookUp(xcb, "xcb_connect", &p.connect) &&
         LookUp(xcb, "xcb_connection_has_error", &p.connection_has_error) &&
         LookUp(xcb, "xcb_disconnect", &p.disconnect) &&
         LookUp(xcb, "xcb_flush", &p.flush) &&
         LookUp(xcb, "xcb_get_file_descriptor", &p.get_file_descriptor) &&
         LookUp(xcb, "xcb_poll_for_reply", &p.poll_for_reply) &&
         LookUp(xcb, "xcb_prefetch_extension_data",
                &p.prefetch_extension_data) &&
         LookUp(xcb, "xcb_get_extension_data", &p.get_extension_data) &&
         LookUp(xcb, "xcb_get_setup", &p.get_setup) &&
         LookUp(xcb, "xcb_generate_id", &p.generate_id) &&
         LookUp(xcb, "xcb_get_input_focus", &p.get_input_focus) &&
         LookUp(xcb, "xcb_grab_server", &p.grab_server) &&
         LookUp(xcb, "xcb_ungrab_server", &p.ungrab_server) &&
         LookUp(xcb, "xcb_get_image", &p.get_image) &&
         LookUp(xcb, "xcb_get_image_data", &p.get_image_data) &&
         LookUp(xcb, "xcb_get_image_data_length", &p.get_image_data_length) &&
         LookUp(xcb, "xcb_query_colors", &p.query_colors) &&
         LookUp(xcb, "xcb_query_colors_colors", &p.query_colors_colors) &&
         LookUp(shm, "xcb_shm_query_version", &p.shm_query_version) &&
         LookUp(shm, "xcb_shm_attach_fd_checked", &p.shm_attach_fd_checked) &&
         LookUp(shm, "xcb_shm_get_image", &p.shm_get_image) &&
         LookUp(shm, "xcb_shm_id", &p.shm_id);
}

double NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 +
         static_cast<double>(t.tv_nsec) / 1e6;
}

// libxcb itself waits without a time limit in places: once the start of a
// reply has come it reads the rest as one block, and it writes a request
// whole. So while tusak is in libxcb a watchdog on a thread of its own keeps
// the time: once it is up the watchdog shuts the connection's socket, which
// ends any wait on it, and libxcb reports the connection broken.
//
// Arming only moves the deadline, never earlier than it was, and wakes no
// one: the watchdog sleeps until the deadline it last saw (or a whole
// timeout while disarmed) and then looks again. A fetch arms it for every
// strip, and waking a thread each time cost more than the strip.
struct Watchdog {
  pthread_mutex_t lock;
  int fd;  // -1: not armed
  timespec deadline;
};

Watchdog g_watchdog = {PTHREAD_MUTEX_INITIALIZER, -1, {}};

timespec InMs(int ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += ms % 1000 * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

bool IsPast(const timespec &t) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > t.tv_sec ||
         (now.tv_sec == t.tv_sec && now.tv_nsec >= t.tv_nsec);
}

void *Watch(void *) {
  Watchdog &w = g_watchdog;
  for (;;) {
    pthread_mutex_lock(&w.lock);
    if (w.fd != -1 && IsPast(w.deadline)) {
      shutdown(w.fd, SHUT_RDWR);
      w.fd = -1;
    }
    timespec until = w.fd != -1 ? w.deadline : InMs(kTimeoutMs);
    pthread_mutex_unlock(&w.lock);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) ==
           EINTR) {
    }
  }
  return nullptr;
}

// Starts the watchdog's thread, once; false if it cannot be.
bool StartWatchdog() {
  static bool started = false;
  if (started) return true;
  pthread_t thread;
  started = pthread_create(&thread, nullptr, Watch, nullptr) == 0;
  if (started) pthread_detach(thread);
  return started;
}

// From now on, the connection has kTimeoutMs; Disarm() ends the watch.
void Arm(xcb_connection_t *c) {
  Watchdog &w = g_watchdog;
  pthread_mutex_lock(&w.lock);
  w.deadline = InMs(kTimeoutMs);
  w.fd = g_xcb.get_file_descriptor(c);
  pthread_mutex_unlock(&w.lock);
}

void Disarm() {
  pthread_mutex_lock(&g_watchdog.lock);
  g_watchdog.fd = -1;
  pthread_mutex_unlock(&g_watchdog.lock);
}

// Waits at most kTimeoutMs for the server to answer request `sequence`.
// True once it has, without an error: *ppReply is then its reply, to be
// freed (null for a request without one, which counts as answered once a
// later request's reply has come). A server that lets the time pass is
// taken for gone: its connection is shut, so that the calls after this one
// fail at once instead of waiting again.
bool Await(xcb_connection_t *c, unsigned sequence, void **ppReply) {
  *ppReply = nullptr;
  Arm(c);
  double deadline = NowMs() + kTimeoutMs;
  int fd = g_xcb.get_file_descriptor(c);
  bool ok = false, answered = g_xcb.flush(c) <= 0;
  while (!answered) {
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    if (g_xcb.poll_for_reply(c, sequence, &reply, &error)) {
      answered = true;
      ok = !error && !g_xcb.connection_has_error(c);
      std::free(error);
      if (ok)
        *ppReply = reply;
      else
        std::free(reply);
      break;
    }
    pollfd p = {fd, POLLIN, 0};
    int left = static_cast<int>(deadline - NowMs());
    int n = left > 0 ? poll(&p, 1, left) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // libxcb sees it shut when it next reads, which it does here.
      shutdown(fd, SHUT_RDWR);
      if (g_xcb.poll_for_reply(c, sequence, &reply, &error)) {
        std::free(reply);
        std::free(error);
      }
      break;
    }
  }
  Disarm();
  return ok;
}

// The reply to request `sequence`, at least cbMin bytes of it as the reply
// says, or null.
void *AwaitReply(xcb_connection_t *c, unsigned sequence, size_t cbMin) {
  void *reply;
  if (!Await(c, sequence, &reply)) return nullptr;
  const xcb_generic_reply_t *r = static_cast<xcb_generic_reply_t *>(reply);
  if (!r || 32 + 4 * static_cast<size_t>(r->length) < cbMin) {
    std::free(reply);
    return nullptr;
  }
  return reply;
}

// Whether a checked request without reply was carried out, once the reply
// to a later request has come (then asking does not wait).
bool CarriedOut(xcb_connection_t *c, unsigned sequence) {
  void *reply = nullptr;
  xcb_generic_error_t *error = nullptr;
  int answered = g_xcb.poll_for_reply(c, sequence, &reply, &error);
  bool ok = answered && !reply && !error && !g_xcb.connection_has_error(c);
  std::free(reply);
  std::free(error);
  return ok;
}

// Every request sent so far has been answered, within the time limit.
bool Sync(xcb_connection_t *c) {
  void *focus = AwaitReply(c, g_xcb.get_input_focus(c).sequence,
                           sizeof(xcb_generic_reply_t));
  std::free(focus);
  return focus != nullptr;
}

// A connection being made on a thread of its own, as libxcb waits for the
// server's setup without end: past the time limit it is left behind.
struct Connecting {
  xcb_connection_t *conn;
  int screen;
  int done[2];  // a byte is written once xcb_connect has returned
};

// Kept reachable for as long as the thread may use it.
Connecting *g_connecting;

void *ConnectAside(void *p) {
  Connecting *k = static_cast<Connecting *>(p);
  __atomic_store_n(&k->conn, g_xcb.connect(nullptr, &k->screen),
                   __ATOMIC_RELEASE);
  ssize_t written = write(k->done[1], "", 1);
  static_cast<void>(written);
  return nullptr;
}

bool WaitReadable(int fd, int timeoutMs) {
  double deadline = NowMs() + timeoutMs;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int left = static_cast<int>(deadline - NowMs());
    int n = left > 0 ? poll(&p, 1, left) : 0;
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// The file descriptors below 64 that are open.
uint64_t OpenDescriptors() {
  uint64_t open = 0;
  for (int fd = 0; fd < 64; ++fd)
    if (fcntl(fd, F_GETFD) != -1) open |= uint64_t(1) << fd;
  return open;
}

// Keeps the printable characters of the first line of what a pipe holds.
void ReadLine(int fd, char *psz, size_t cb) {
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf);
  size_t j = 0;
  for (ssize_t i = 0; i < n && buf[i] != '\n' && j + 1 < cb; ++i)
    if (buf[i] >= 0x20 && buf[i] < 0x7F) psz[j++] = buf[i];
  psz[j] = '\0';
}

// xcb_connect within the time limit: null if the server has not answered
// by then, else the connection (which may have failed). libxcb prints the
// reason a server gives for refusing on standard error; that is caught, and
// its printable part kept in pszRefusal, as it comes from the server.
xcb_connection_t *Connect(int *pScreen, char *pszRefusal, size_t cbRefusal) {
  *pszRefusal = '\0';
  Connecting *k = new (std::nothrow) Connecting();
  g_connecting = k;
  int caught[2];
  if (!k || pipe2(k->done, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(caught, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  int stderrSaved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  // What is open now is not the connection's (standard error may be a
  // socket too).
  uint64_t before = OpenDescriptors();
  dup2(caught[1], STDERR_FILENO);
  pthread_t thread;
  bool started = pthread_create(&thread, nullptr, ConnectAside, k) == 0;
  if (started)
    pthread_detach(thread);
  else
    ConnectAside(k);
  bool done = WaitReadable(k->done[0], kTimeoutMs);
  if (!done) {
    // Its socket is shut, which ends libxcb's wait (but a wait for a full
    // listen queue), so that it prints nothing once standard error is back.
    uint64_t opened = OpenDescriptors() & ~before;
    struct stat st;
    for (int fd = 0; fd < 64; ++fd)
      if ((opened >> fd & 1) && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        shutdown(fd, SHUT_RDWR);
    WaitReadable(k->done[0], 100);
  }
  if (stderrSaved != -1) {
    dup2(stderrSaved, STDERR_FILENO);
    close(stderrSaved);
  } else {
    close(STDERR_FILENO);
  }
  close(caught[1]);
  ReadLine(caught[0], pszRefusal, cbRefusal);
  close(caught[0]);
  if (!done) return nullptr;
  *pScreen = k->screen;
  return __atomic_load_n(&k->conn, __ATOMIC_ACQUIRE);
}

// What is read of the setup the server sent: the screen, its root visual,
// and the image format of its depth (each null when the setup has none).
struct ScreenSetup {
  const xcb_screen_t *screen;
  const xcb_visualtype_t *visual;
  const xcb_format_t *format;
};

bool IsUnit(int bits) { return bits == 8 || bits == 16 || bits == 32; }

// Reads the setup for screen screenNumber; false when it does not hold
// together. libxcb read as many bytes as the setup's length says, and takes
// the counts of its records as given: each record is checked here to lie
// within those bytes before it is read, and the fields that later steps
// divide by or hand to libxcb to be within what the protocol allows.
bool ReadSetup(const xcb_setup_t *setup, int screenNumber, ScreenSetup *p) {
  *p = ScreenSetup();
  const BYTE *base = reinterpret_cast<const BYTE *>(setup);
  size_t size = 8 + 4 * static_cast<size_t>(setup->length);
  if (size < sizeof *setup) return false;
  uint32_t mask = setup->resource_id_mask;
  uint32_t run = mask / (mask & -mask);  // the mask's bits, shifted down
  if (!mask || (run & (run + 1)) || run < (uint32_t(1) << 18) - 1 ||
      setup->maximum_request_length < 4096 || setup->image_byte_order > 1 ||
      setup->bitmap_format_bit_order > 1 ||
      !IsUnit(setup->bitmap_format_scanline_unit))
    return false;
  size_t at = sizeof *setup + (setup->vendor_len + 3u) / 4 * 4;
  if (at > size ||
      (size - at) / sizeof(xcb_format_t) < setup->pixmap_formats_len)
    return false;
  const xcb_format_t *formats =
      reinterpret_cast<const xcb_format_t *>(base + at);
  at += setup->pixmap_formats_len * sizeof(xcb_format_t);
  for (int i = 0; i < setup->roots_len; ++i) {
    if (size - at < sizeof(xcb_screen_t)) return false;
    const xcb_screen_t *s = reinterpret_cast<const xcb_screen_t *>(base + at);
    at += sizeof *s;
    for (int j = 0; j < s->allowed_depths_len; ++j) {
      if (size - at < sizeof(xcb_depth_t)) return false;
      const xcb_depth_t *d = reinterpret_cast<const xcb_depth_t *>(base + at);
      at += sizeof *d;
      if ((size - at) / sizeof(xcb_visualtype_t) < d->visuals_len) return false;
      const xcb_visualtype_t *v =
          reinterpret_cast<const xcb_visualtype_t *>(base + at);
      at += d->visuals_len * sizeof(xcb_visualtype_t);
      for (int k = 0;
           i == screenNumber && d->depth == s->root_depth && k < d->visuals_len;
           ++k)
        if (v[k].visual_id == s->root_visual) p->visual = &v[k];
    }
    if (i == screenNumber) p->screen = s;
  }
  for (int i = 0; p->screen && i < setup->pixmap_formats_len; ++i)
    if (formats[i].depth == p->screen->root_depth) p->format = &formats[i];
  return !p->format || IsUnit(p->format->scanline_pad);
}

struct X11Display {
  xcb_connection_t *conn;
  xcb_window_t root;
  xcb_colormap_t colormap;
  int depth;
  PixelLayout layout;
  int scanlinePad;  // bits an image row is padded to
  PixelMap map;     // without the colormap's tables
  bool shmByFd;
};

struct X11Bitmap {
  X11Display *display;
  int width, height;
  int x, y;       // where on the screen it was copied from
  size_t cbLine;  // bytes of an image row from the server
  int stripRows;
  xcb_shm_seg_t seg;  // 0: plain image requests
  unsigned attach;    // the request that gave the server seg, until known
  BYTE *shm;          // kSlots strips
  size_t cbShm;
  PixelMap map;  // with the colormap as it was at the copy
  RGBQUAD palette[256];
};

// MIT-SHM from version 1.2 takes memory as a file descriptor, which names
// the same memory in every namespace (a System V id may name another
// process's segment in the server's).
bool HasShmByFd(xcb_connection_t *c) {
  g_xcb.prefetch_extension_data(c, g_xcb.shm_id);
  // The extension's answer comes before this one: then asking for it does
  // not wait (and nor does any request of the extension).
  if (!Sync(c)) return false;
  const xcb_query_extension_reply_t *ext =
      g_xcb.get_extension_data(c, g_xcb.shm_id);
  if (!ext || !ext->present) return false;
  auto *v = static_cast<xcb_shm_query_version_reply_t *>(
      AwaitReply(c, g_xcb.shm_query_version(c).sequence,
                 sizeof(xcb_shm_query_version_reply_t)));
  bool ok = v && (v->major_version > 1 ||
                  (v->major_version == 1 && v->minor_version >= 2));
  std::free(v);
  return ok;
}

void *OpenX11(int *pcx, int *pcy, int *pnDibBits) {
  // No display named, none to connect to.
  const char *name = std::getenv("DISPLAY");
  if (!name || !*name) {
    NoteWhy("no X display named (DISPLAY is not set)");
    return nullptr;
  }
  if (!LoadProcs()) {
    NoteWhy("X11: libxcb cannot be loaded");
    return nullptr;
  }
  int screenNumber = 0;
  char refusal[100];
  xcb_connection_t *c = Connect(&screenNumber, refusal, sizeof refusal);
  if (!c || g_xcb.connection_has_error(c)) {
    if (*refusal)
      NoteWhy("X display %s refused the connection: %s", name, refusal);
    else
      NoteWhy("X display %s does not answer", name);
    if (c) g_xcb.disconnect(c);
    return nullptr;
  }
  if (!StartWatchdog()) {
    NoteWhy("X11: no thread to keep the time");
    g_xcb.disconnect(c);
    return nullptr;
  }
  const xcb_setup_t *setup = g_xcb.get_setup(c);
  ScreenSetup s;
  if (!ReadSetup(setup, screenNumber, &s)) {
    NoteWhy("X display %s sent a malformed connection setup", name);
    g_xcb.disconnect(c);
    return nullptr;
  }
  X11Display *d = new (std::nothrow) X11Display();
  if (d && s.visual && s.format) {
    const xcb_screen_t *screen = s.screen;
    d->layout.bitsPerPixel = s.format->bits_per_pixel;
    d->layout.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d->layout.bitMsbFirst =
        setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d->layout.bitmapUnit = setup->bitmap_format_scanline_unit;
    if (ChoosePixelMap(s.visual->_class, screen->root_depth, d->layout,
                       s.visual->red_mask, s.visual->green_mask,
                       s.visual->blue_mask, &d->map)) {
      d->conn = c;
      d->root = screen->root;
      d->colormap = screen->default_colormap;
      d->depth = screen->root_depth;
      d->scanlinePad = s.format->scanline_pad;
      d->shmByFd = HasShmByFd(c);
      if (g_xcb.connection_has_error(c)) {
        NoteWhy("X display %s stopped answering", name);
        delete d;
        g_xcb.disconnect(c);
        return nullptr;
      }
      *pcx = screen->width_in_pixels;
      *pcy = screen->height_in_pixels;
      *pnDibBits = d->map.dibBits;
      return d;
    }
  }
  // A visual whose pixels no DIB can carry: not served.
  NoteWhy("X display %s: its pixel format cannot be saved", name);
  delete d;
  g_xcb.disconnect(c);
  return nullptr;
}

// Gives the bitmap shared memory of kSlots strips for its fetches, in pages
// made at once (one call instead of a fault for each). Whether the server
// took it is known with the copy's answers; until then, and if not, the
// fetches use plain requests.
void AttachSharedStrips(X11Display *d, X11Bitmap *bm) {
  size_t size = kSlots * bm->cbLine * static_cast<size_t>(bm->stripRows);
  int fd = memfd_create("tusak-strips", MFD_CLOEXEC);
  if (fd == -1) return;
  void *p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0)
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return;
  }
#ifdef MADV_POPULATE_WRITE
  madvise(p, size, MADV_POPULATE_WRITE);
#endif
  // The connection takes the descriptor and closes it once it is sent.
  xcb_shm_seg_t seg = g_xcb.generate_id(d->conn);
  bm->attach = g_xcb.shm_attach_fd_checked(d->conn, seg, fd, 0).sequence;
  bm->seg = seg;
  bm->shm = static_cast<BYTE *>(p);
  bm->cbShm = size;
}

void *CreateX11Bitmap(void *pDisplay, int cx, int cy) {
  X11Display *d = static_cast<X11Display *>(pDisplay);
  if (g_xcb.connection_has_error(d->conn)) return nullptr;
  X11Bitmap *bm = new (std::nothrow) X11Bitmap();
  if (!bm) return nullptr;
  bm->display = d;
  bm->width = cx;
  bm->height = cy;
  size_t pad = static_cast<size_t>(d->scanlinePad);
  bm->cbLine = (static_cast<size_t>(cx) * d->layout.bitsPerPixel + pad - 1) /
               pad * pad / 8;
  size_t rows = kStripBytes / bm->cbLine;
  bm->stripRows = rows < 1            ? 1
                  : rows > size_t(cy) ? cy
                                      : static_cast<int>(rows);
  if (d->shmByFd) {
    Arm(d->conn);
    AttachSharedStrips(d, bm);
    Disarm();
  }
  return bm;
}

// The pixel values whose colours the copy reads from the colormap: every
// index of a palette, or each channel's values spread over its mask.
int ColorsToQuery(const X11Display *d, uint32_t *pixels) {
  const PixelMap &m = d->map;
  if (m.mapping == kIndexed) {
    int n = 1 << d->depth;
    for (int i = 0; i < n; ++i) pixels[i] = static_cast<uint32_t>(i);
    return n;
  }
  if (m.mapping != kLookup32) return 0;
  int bits = m.red.bits;
  if (m.green.bits > bits) bits = m.green.bits;
  if (m.blue.bits > bits) bits = m.blue.bits;
  auto spread = [](uint32_t i, Channel ch) {
    return (i & ((uint32_t(1) << ch.bits) - 1)) << ch.shift;
  };
  for (uint32_t i = 0; i < (uint32_t(1) << bits); ++i)
    pixels[i] = spread(i, m.red) | spread(i, m.green) | spread(i, m.blue);
  return 1 << bits;
}

// Keeps the colours of pixel values first .. first+n-1.
void KeepColors(X11Bitmap *bm, const xcb_rgb_t *rgb, int first, int n) {
  PixelMap &m = bm->map;
  for (int i = first; i < first + n; ++i, ++rgb) {
    if (m.mapping == kIndexed) {
      bm->palette[i].rgbRed = static_cast<BYTE>(rgb->red >> 8);
      bm->palette[i].rgbGreen = static_cast<BYTE>(rgb->green >> 8);
      bm->palette[i].rgbBlue = static_cast<BYTE>(rgb->blue >> 8);
      bm->palette[i].rgbReserved = 0;
      continue;
    }
    if (i < 1 << m.red.bits) m.redTable[i] = static_cast<BYTE>(rgb->red >> 8);
    if (i < 1 << m.green.bits)
      m.greenTable[i] = static_cast<BYTE>(rgb->green >> 8);
    if (i < 1 << m.blue.bits)
      m.blueTable[i] = static_cast<BYTE>(rgb->blue >> 8);
  }
}

void DetachSharedStrips(X11Bitmap *bm) {
  munmap(bm->shm, bm->cbShm);
  bm->seg = 0;
  bm->shm = nullptr;
}

bool CopyX11(void *pDisplay, void *pBitmap, int x, int y) {
  X11Display *d = static_cast<X11Display *>(pDisplay);
  X11Bitmap *bm = static_cast<X11Bitmap *>(pBitmap);
  xcb_connection_t *c = d->conn;
  Arm(c);  // until the answers are awaited
  // A root that cannot be read (Xwayland's, under a Wayland desktop) would
  // give black: one of its pixels is asked for, to know.
  unsigned probe = g_xcb
                       .get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, d->root,
                                  static_cast<int16_t>(x),
                                  static_cast<int16_t>(y), 1, 1, ~0u)
                       .sequence;
  // The pixels mean the colours the colormap gives them now.
  static uint32_t pixels[1 << kMaxLookupBits];
  int n = ColorsToQuery(d, pixels);
  unsigned colors[(1 << kMaxLookupBits) / kColorsPerRequest];
  for (int i = 0; i * kColorsPerRequest < n; ++i) {
    int count = n - i * kColorsPerRequest < kColorsPerRequest
                    ? n - i * kColorsPerRequest
                    : kColorsPerRequest;
    colors[i] = g_xcb
                    .query_colors(c, d->colormap, static_cast<uint32_t>(count),
                                  pixels + i * kColorsPerRequest)
                    .sequence;
  }

  bm->map = d->map;
  void *pixel = AwaitReply(c, probe, sizeof(xcb_get_image_reply_t));
  bool ok = pixel != nullptr;
  std::free(pixel);
  for (int i = 0; ok && i * kColorsPerRequest < n; ++i) {
    int count = n - i * kColorsPerRequest < kColorsPerRequest
                    ? n - i * kColorsPerRequest
                    : kColorsPerRequest;
    auto *reply = static_cast<xcb_query_colors_reply_t *>(AwaitReply(
        c, colors[i],
        sizeof(xcb_query_colors_reply_t) + count * sizeof(xcb_rgb_t)));
    ok = reply && reply->colors_len == count;
    if (ok)
      KeepColors(bm, g_xcb.query_colors_colors(reply), i * kColorsPerRequest,
                 count);
    std::free(reply);
  }
  // Answered before the probe: whether the server took the shared memory.
  if (ok && bm->attach && !CarriedOut(c, bm->attach)) DetachSharedStrips(bm);
  bm->attach = 0;
  // The pixels themselves are read by the fetch, from the screen.
  bm->x = x;
  bm->y = y;
  return ok;
}

// Asks for rows y0 .. y0+rows-1 of the bitmap, from the screen, into slot
// `slot` of its shared memory, or as a plain reply.
unsigned RequestStrip(X11Bitmap *bm, int y0, int rows, int slot) {
  X11Display *d = bm->display;
  int16_t x = static_cast<int16_t>(bm->x);
  int16_t y = static_cast<int16_t>(bm->y + y0);
  uint16_t w = static_cast<uint16_t>(bm->width);
  uint16_t h = static_cast<uint16_t>(rows);
  if (bm->seg)
    return g_xcb
        .shm_get_image(d->conn, d->root, x, y, w, h, ~0u,
                       XCB_IMAGE_FORMAT_Z_PIXMAP, bm->seg,
                       static_cast<uint32_t>(slot * bm->cbLine * bm->stripRows))
        .sequence;
  return g_xcb
      .get_image(d->conn, XCB_IMAGE_FORMAT_Z_PIXMAP, d->root, x, y, w, h, ~0u)
      .sequence;
}

// The rows of a strip once the server has them there, or null; *ppReply is
// what to free afterwards.
const BYTE *ReceiveStrip(X11Bitmap *bm, unsigned sequence, int rows, int slot,
                         void **ppReply) {
  xcb_connection_t *c = bm->display->conn;
  size_t need = bm->cbLine * static_cast<size_t>(rows);
  if (bm->seg) {
    auto *r = static_cast<xcb_shm_get_image_reply_t *>(
        AwaitReply(c, sequence, sizeof(xcb_shm_get_image_reply_t)));
    *ppReply = r;
    if (!r || r->size < need) return nullptr;
    return bm->shm + slot * bm->cbLine * static_cast<size_t>(bm->stripRows);
  }
  auto *r = static_cast<xcb_get_image_reply_t *>(
      AwaitReply(c, sequence, sizeof(xcb_get_image_reply_t) + need));
  *ppReply = r;
  return r ? g_xcb.get_image_data(r) : nullptr;
}

bool FetchX11(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
              RGBQUAD *pPalette) {
  X11Bitmap *bm = static_cast<X11Bitmap *>(pBitmap);
  xcb_connection_t *c = bm->display->conn;
  const PixelMap &m = bm->map;
  if (m.mapping == kIndexed)
    std::memcpy(pPalette, bm->palette, sizeof(RGBQUAD) << m.dibBits);
  if (n == 0) return true;
  size_t rowBytes = (static_cast<size_t>(bm->width) * m.dibBits + 7) / 8;
  // Image rows top .. top+n-1, top-down; image row y is DIB line
  // height-1-y, so it goes at line height-1-y-start of the buffer.
  int top = bm->height - start - n, end = top + n;
  int count = (n + bm->stripRows - 1) / bm->stripRows;
  auto rowsOf = [&](int k) {
    int y0 = top + k * bm->stripRows;
    return y0 + bm->stripRows < end ? bm->stripRows : end - y0;
  };
  // No other client draws while the strips are read: they are one picture.
  Arm(c);
  g_xcb.grab_server(c);
  unsigned sequences[kSlots];
  for (int k = 0; k < kSlots && k < count; ++k)
    sequences[k] = RequestStrip(bm, top + k * bm->stripRows, rowsOf(k), k);
  bool ok = true;
  for (int k = 0; ok && k < count; ++k) {
    int y0 = top + k * bm->stripRows, y1 = y0 + rowsOf(k);
    void *reply;
    const BYTE *strip =
        ReceiveStrip(bm, sequences[k % kSlots], y1 - y0, k % kSlots, &reply);
    for (int y = y0; strip && y < y1; ++y) {
      BYTE *line =
          pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride;
      ConvertRow(bm->display->layout, m,
                 strip + static_cast<size_t>(y - y0) * bm->cbLine, line,
                 bm->width);
      std::memset(line + rowBytes, 0, cbStride - rowBytes);
    }
    std::free(reply);
    ok = strip != nullptr;
    // Its slot is free again: the server fills it while the next are
    // converted.
    int next = k + kSlots;
    if (ok && next < count) {
      Arm(c);
      sequences[k % kSlots] = RequestStrip(bm, top + next * bm->stripRows,
                                           rowsOf(next), k % kSlots);
    }
  }
  FinishRows();
  Arm(c);
  g_xcb.ungrab_server(c);
  g_xcb.flush(c);
  Disarm();
  return ok;
}

}  // namespace

const DisplaySystem g_x11System = {false, OpenX11, CreateX11Bitmap, CopyX11,
                                   FetchX11};
