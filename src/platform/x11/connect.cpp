// The connection to the X server named by DISPLAY, made within the time
// limit, and its setup read and checked: the X11 display system's Open.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "display.h"
#include "why.h"
#include "x11.h"

namespace {

// A connection being made on a thread of its own, as libxcb waits for the
// server's setup without end: past the time limit it is left behind. Its
// return is told through a condition, not a pipe: every descriptor counts
// under a low limit on open files.
struct Connecting {
  pthread_mutex_t lock;
  pthread_cond_t returned;
  bool done;
  xcb_connection_t *conn;
  int screen;
  int error;  // errno as xcb_connect left it
};

// Kept reachable for as long as the thread may use it.
Connecting *g_connecting;

void *ConnectAside(void *p) {
  Connecting *k = static_cast<Connecting *>(p);
  xcb_connection_t *c = g_xcb.connect(nullptr, &k->screen);
  int error = errno;
  pthread_mutex_lock(&k->lock);
  k->conn = c;
  k->error = error;
  k->done = true;
  pthread_cond_signal(&k->returned);
  pthread_mutex_unlock(&k->lock);
  return nullptr;
}

// Whether xcb_connect has returned, waiting up to ms for it.
bool AwaitConnect(Connecting *k, int ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += ms % 1000 * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&k->lock);
  while (!k->done &&
         pthread_cond_timedwait(&k->returned, &k->lock, &t) != ETIMEDOUT) {
  }
  bool done = k->done;
  pthread_mutex_unlock(&k->lock);
  return done;
}

// The file descriptors below 64 that are open.
uint64_t OpenDescriptors() {
  uint64_t open = 0;
  for (int fd = 0; fd < 64; ++fd)
    if (fcntl(fd, F_GETFD) != -1) open |= uint64_t(1) << fd;
  return open;
}

// Keeps the printable characters of the first line of what a file holds.
void ReadLine(int fd, char *psz, size_t cb) {
  char buf[256];
  ssize_t n = pread(fd, buf, sizeof buf, 0);
  size_t j = 0;
  for (ssize_t i = 0; i < n && buf[i] != '\n' && j + 1 < cb; ++i)
    if (buf[i] >= 0x20 && buf[i] < 0x7F) psz[j++] = buf[i];
  psz[j] = '\0';
}

// Why no connection was tried, if none was: empty otherwise.
char g_unconnected[128];

void NoteUnconnected(int error) {
  std::snprintf(g_unconnected, sizeof g_unconnected, "%s",
                error == EMFILE || error == ENFILE
                    ? "no file descriptor is free to connect with"
                : error == ENOMEM ? "no memory to connect with"
                                  : std::strerror(error));
}

// xcb_connect within the time limit: null if the server has not answered
// by then, or if the connection could not be tried (g_unconnected says
// why), else the connection (which may have failed; *pError is errno as
// xcb_connect left it). libxcb prints the reason a server gives for
// refusing on standard error; that is caught in a file of its own for the
// while, and its printable part kept in pszRefusal, as it comes from the
// server.
xcb_connection_t *Connect(int *pScreen, int *pError, char *pszRefusal,
                          size_t cbRefusal) {
  *pszRefusal = '\0';
  Connecting *k = new (std::nothrow) Connecting();
  g_connecting = k;
  pthread_condattr_t attr;
  if (!k || pthread_condattr_init(&attr) != 0 ||
      pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
      pthread_cond_init(&k->returned, &attr) != 0 ||
      pthread_mutex_init(&k->lock, nullptr) != 0) {
    NoteUnconnected(ENOMEM);
    return nullptr;
  }
  // Standard error is open (main holds it): it is set aside, never closed.
  int caught = memfd_create("tusak-refusal", MFD_CLOEXEC);
  int stderrSaved =
      caught == -1 ? -1 : fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (stderrSaved == -1 || dup2(caught, STDERR_FILENO) == -1) {
    NoteUnconnected(errno);
    if (stderrSaved != -1) close(stderrSaved);
    if (caught != -1) close(caught);
    return nullptr;
  }
  // What is open now is not the connection's (standard error may be a
  // socket too).
  uint64_t before = OpenDescriptors();
  pthread_t thread;
  bool started = pthread_create(&thread, nullptr, ConnectAside, k) == 0;
  if (started)
    pthread_detach(thread);
  else
    ConnectAside(k);
  bool done = AwaitConnect(k, kTimeoutMs);
  if (!done) {
    // Its socket is shut, which ends libxcb's wait (but a wait for a full
    // listen queue), so that it prints nothing once standard error is back.
    uint64_t opened = OpenDescriptors() & ~before;
    struct stat st;
    for (int fd = 0; fd < 64; ++fd)
      if ((opened >> fd & 1) && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        shutdown(fd, SHUT_RDWR);
    AwaitConnect(k, 100);
  }
  dup2(stderrSaved, STDERR_FILENO);
  close(stderrSaved);
  ReadLine(caught, pszRefusal, cbRefusal);
  close(caught);
  if (!done) return nullptr;
  *pScreen = k->screen;
  *pError = k->error;
  return k->conn;
}

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

void *OpenX11(DisplayInfo *pInfo) {
  // No display named, none to connect to.
  const char *name = std::getenv("DISPLAY");
  if (!name || !*name) {
    NoteWhyAbout("no X display named (DISPLAY is not set)");
    return nullptr;
  }
  if (!LoadXcb()) {
    NoteWhy("libxcb cannot be loaded");
    return nullptr;
  }
  int screenNumber = 0, error = 0;
  char refusal[100];
  g_unconnected[0] = '\0';
  xcb_connection_t *c = Connect(&screenNumber, &error, refusal, sizeof refusal);
  int failure = c ? g_xcb.connection_has_error(c) : 0;
  // libxcb's socket was refused a descriptor: the limit, not the server.
  if (failure == XCB_CONN_ERROR && (error == EMFILE || error == ENFILE))
    NoteUnconnected(error);
  // Every server has a screen 0: one it lacks means a setup that came short,
  // which libxcb takes for no answer.
  if (!c || failure) {
    if (*g_unconnected)
      NoteWhyAbout("X display %s: %s", name, g_unconnected);
    else if (*refusal)
      NoteWhyAbout("X display %s refused the connection: %s", name, refusal);
    else if (failure == XCB_CONN_CLOSED_INVALID_SCREEN && screenNumber > 0)
      NoteWhyAbout("X display %s has no screen %d", name, screenNumber);
    else
      NoteWhyAbout("X display %s does not answer", name);
    if (c) g_xcb.disconnect(c);
    return nullptr;
  }
  if (!StartWatchdog()) {
    NoteWhy("no thread to keep the time");
    g_xcb.disconnect(c);
    return nullptr;
  }
  const xcb_setup_t *setup = g_xcb.get_setup(c);
  ScreenSetup s;
  if (!ReadSetup(setup, screenNumber, &s)) {
    NoteWhyAbout("X display %s sent a malformed connection setup", name);
    g_xcb.disconnect(c);
    return nullptr;
  }
  // A screen number libxcb lets through (a negative one) names no screen.
  if (!s.screen) {
    NoteWhyAbout("X display %s has no screen %d", name, screenNumber);
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
      d->name = name;
      d->conn = c;
      d->root = screen->root;
      d->colormap = screen->default_colormap;
      d->depth = screen->root_depth;
      d->scanlinePad = s.format->scanline_pad;
      d->shmByFd = HasShmByFd(c);
      if (g_xcb.connection_has_error(c)) {
        NoteWhyAbout("X display %s stopped answering", name);
        delete d;
        g_xcb.disconnect(c);
        return nullptr;
      }
      pInfo->cx = screen->width_in_pixels;
      pInfo->cy = screen->height_in_pixels;
      pInfo->nDibBits = d->map.dibBits;
      return d;
    }
  }
  // A visual whose pixels no DIB can carry: not served.
  NoteWhyAbout("X display %s: its pixel format cannot be saved", name);
  delete d;
  g_xcb.disconnect(c);
  return nullptr;
}

}  // namespace

const DisplaySystem g_x11System = {"X11",           false,   OpenX11,
                                   CreateX11Bitmap, CopyX11, FetchX11};
