// What the files of the X11 display system share: libxcb's procedures, the
// time limit on every wait for the server, the connection's setup checks,
// and the display and bitmap records.
//
// The server is not trusted: the connection setup is checked record by
// record against its length before any is read, and no wait lasts longer
// than kTimeoutMs. A connection that breaks or stalls only fails the calls
// that need it: XCB reports it instead of ending the process.
#ifndef TUSAK_PLATFORM_X11_X11_H
#define TUSAK_PLATFORM_X11_X11_H

#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstddef>
#include <cstdint>

#include "pixels.h"
#include "platform.h"

// For the connection and for each answer; past it the server is gone.
const int kTimeoutMs = 5000;
// Strips of the screen's rows kept in flight at a time by the fetch.
const int kSlots = 4;

// The procedures of libxcb and of libxcb-shm that are called (and the
// extension's id), named without "xcb_", looked up when the X11 system runs:
// a launch on Wayland never loads them.
// clang-format off
#define TUSAK_XCB_PROCS(X) \
  X(connect) X(connection_has_error) X(disconnect) X(flush) \
  X(get_file_descriptor) X(poll_for_reply) \
  X(prefetch_extension_data) X(get_extension_data) X(get_setup) \
  X(generate_id) X(get_input_focus) X(grab_server) \
  X(ungrab_server) X(get_image) X(get_image_data) X(query_colors) \
  X(query_colors_colors)
#define TUSAK_XCB_SHM_PROCS(X) \
  X(shm_query_version) X(shm_attach_fd_checked) X(shm_get_image) X(shm_id)
// clang-format on

struct XcbProcs {
#define TUSAK_PROC(name) decltype(&xcb_##name) name;
  TUSAK_XCB_PROCS(TUSAK_PROC) TUSAK_XCB_SHM_PROCS(TUSAK_PROC)
#undef TUSAK_PROC
};

extern XcbProcs g_xcb;
// Fills g_xcb, once; false if a library or a procedure is missing.
bool LoadXcb();

// Deadlines (deadline.cpp). libxcb waits without a limit in places; a
// watchdog thread shuts the connection's socket once an armed deadline
// passes, which ends any such wait.
bool StartWatchdog();
// From now on, the connection has kTimeoutMs; Disarm() ends the watch.
void Arm(xcb_connection_t *c);
void Disarm();
// The reply to request `sequence`, at least cbMin bytes of it as the reply
// says, within kTimeoutMs; or null (the connection then shut).
void *AwaitReply(xcb_connection_t *c, unsigned sequence, size_t cbMin);
// Whether a checked request without reply was carried out, once the reply
// to a later request has come (then asking does not wait).
bool CarriedOut(xcb_connection_t *c, unsigned sequence);
// Every request sent so far has been answered, within the time limit.
bool Sync(xcb_connection_t *c);
// Whether fd becomes readable within timeoutMs.
bool WaitReadable(int fd, int timeoutMs);

// What is read of the setup the server sent: the screen, its root visual,
// and the image format of its depth (each null when the setup has none).
struct ScreenSetup {
  const xcb_screen_t *screen;
  const xcb_visualtype_t *visual;
  const xcb_format_t *format;
};

// Reads the setup for screen screenNumber (setup.cpp); false when it does
// not hold together.
bool ReadSetup(const xcb_setup_t *setup, int screenNumber, ScreenSetup *p);

struct X11Display {
  const char *name;  // DISPLAY
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

// The capture (capture.cpp).
void *CreateX11Bitmap(void *pDisplay, int cx, int cy);
bool CopyX11(void *pDisplay, void *pBitmap, int x, int y);
bool FetchX11(void *pDisplay, void *pBitmap, int start, int n, BYTE *pBits,
              size_t cbStride, RGBQUAD *pPalette);

#endif
