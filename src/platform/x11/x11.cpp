// Reading an X11 screen over XCB. The bitmap is a pixmap on the server: the
// copy of the root into it is one request, and the fetch reads it back in
// strips, through shared memory passed to the server as a file descriptor
// (MIT-SHM 1.2) where it has that, else through plain image requests. A
// connection that breaks only fails the calls that need it: XCB reports it
// instead of ending the process.
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "display.h"
#include "library.h"
#include "pixels.h"
#include "platform.h"

namespace {

// A fetch reads about this many bytes of the screen's rows at a time: one
// strip in the shared memory while the server writes the next into the
// other half. New pages cost more than copying, so the memory is small and
// used over and over.
const size_t kStripBytes = 256 * 1024;

// The procedures of libxcb and libxcb-shm, looked up when the X11 system
// runs: a launch on Wayland never loads them.
struct Procs {
  decltype(&xcb_connect) connect;
  decltype(&xcb_connection_has_error) connection_has_error;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xcb_prefetch_extension_data) prefetch_extension_data;
  decltype(&xcb_get_extension_data) get_extension_data;
  decltype(&xcb_get_setup) get_setup;
  decltype(&xcb_setup_roots_iterator) setup_roots_iterator;
  decltype(&xcb_screen_next) screen_next;
  decltype(&xcb_screen_allowed_depths_iterator) screen_allowed_depths_iterator;
  decltype(&xcb_depth_next) depth_next;
  decltype(&xcb_depth_visuals_iterator) depth_visuals_iterator;
  decltype(&xcb_visualtype_next) visualtype_next;
  decltype(&xcb_setup_pixmap_formats) setup_pixmap_formats;
  decltype(&xcb_setup_pixmap_formats_length) setup_pixmap_formats_length;
  decltype(&xcb_generate_id) generate_id;
  decltype(&xcb_request_check) request_check;
  decltype(&xcb_create_pixmap_checked) create_pixmap_checked;
  decltype(&xcb_create_gc_checked) create_gc_checked;
  decltype(&xcb_free_pixmap) free_pixmap;
  decltype(&xcb_copy_area_checked) copy_area_checked;
  decltype(&xcb_get_image) get_image;
  decltype(&xcb_get_image_reply) get_image_reply;
  decltype(&xcb_get_image_data) get_image_data;
  decltype(&xcb_get_image_data_length) get_image_data_length;
  decltype(&xcb_query_colors) query_colors;
  decltype(&xcb_query_colors_reply) query_colors_reply;
  decltype(&xcb_query_colors_colors) query_colors_colors;
  decltype(&xcb_query_colors_colors_length) query_colors_colors_length;
  decltype(&xcb_shm_query_version) shm_query_version;
  decltype(&xcb_shm_query_version_reply) shm_query_version_reply;
  decltype(&xcb_shm_attach_fd_checked) shm_attach_fd_checked;
  decltype(&xcb_shm_get_image) shm_get_image;
  decltype(&xcb_shm_get_image_reply) shm_get_image_reply;
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
         LookUp(xcb, "xcb_prefetch_extension_data",
                &p.prefetch_extension_data) &&
         LookUp(xcb, "xcb_get_extension_data", &p.get_extension_data) &&
         LookUp(xcb, "xcb_get_setup", &p.get_setup) &&
         LookUp(xcb, "xcb_setup_roots_iterator", &p.setup_roots_iterator) &&
         LookUp(xcb, "xcb_screen_next", &p.screen_next) &&
         LookUp(xcb, "xcb_screen_allowed_depths_iterator",
                &p.screen_allowed_depths_iterator) &&
         LookUp(xcb, "xcb_depth_next", &p.depth_next) &&
         LookUp(xcb, "xcb_depth_visuals_iterator", &p.depth_visuals_iterator) &&
         LookUp(xcb, "xcb_visualtype_next", &p.visualtype_next) &&
         LookUp(xcb, "xcb_setup_pixmap_formats", &p.setup_pixmap_formats) &&
         LookUp(xcb, "xcb_setup_pixmap_formats_length",
                &p.setup_pixmap_formats_length) &&
         LookUp(xcb, "xcb_generate_id", &p.generate_id) &&
         LookUp(xcb, "xcb_request_check", &p.request_check) &&
         LookUp(xcb, "xcb_create_pixmap_checked", &p.create_pixmap_checked) &&
         LookUp(xcb, "xcb_create_gc_checked", &p.create_gc_checked) &&
         LookUp(xcb, "xcb_free_pixmap", &p.free_pixmap) &&
         LookUp(xcb, "xcb_copy_area_checked", &p.copy_area_checked) &&
         LookUp(xcb, "xcb_get_image", &p.get_image) &&
         LookUp(xcb, "xcb_get_image_reply", &p.get_image_reply) &&
         LookUp(xcb, "xcb_get_image_data", &p.get_image_data) &&
         LookUp(xcb, "xcb_get_image_data_length", &p.get_image_data_length) &&
         LookUp(xcb, "xcb_query_colors", &p.query_colors) &&
         LookUp(xcb, "xcb_query_colors_reply", &p.query_colors_reply) &&
         LookUp(xcb, "xcb_query_colors_colors", &p.query_colors_colors) &&
         LookUp(xcb, "xcb_query_colors_colors_length",
                &p.query_colors_colors_length) &&
         LookUp(shm, "xcb_shm_query_version", &p.shm_query_version) &&
         LookUp(shm, "xcb_shm_query_version_reply",
                &p.shm_query_version_reply) &&
         LookUp(shm, "xcb_shm_attach_fd_checked", &p.shm_attach_fd_checked) &&
         LookUp(shm, "xcb_shm_get_image", &p.shm_get_image) &&
         LookUp(shm, "xcb_shm_get_image_reply", &p.shm_get_image_reply) &&
         LookUp(shm, "xcb_shm_id", &p.shm_id);
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
  xcb_pixmap_t pixmap;
  xcb_gcontext_t gc;
  size_t cbLine;  // bytes of an image row from the server
  int stripRows;
  xcb_shm_seg_t seg;  // 0: plain image requests
  BYTE *shm;          // two strips
  PixelMap map;       // with the colormap as it was at the copy
  RGBQUAD palette[256];
};

// Whether a checked request was carried out; a broken connection answers
// no error, so that is asked as well.
bool Done(xcb_connection_t *c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t *error = g_xcb.request_check(c, cookie);
  std::free(error);
  return !error && !g_xcb.connection_has_error(c);
}

const xcb_visualtype_t *VisualOf(const xcb_screen_t *screen) {
  for (xcb_depth_iterator_t d = g_xcb.screen_allowed_depths_iterator(screen);
       d.rem; g_xcb.depth_next(&d))
    for (xcb_visualtype_iterator_t v = g_xcb.depth_visuals_iterator(d.data);
         v.rem; g_xcb.visualtype_next(&v))
      if (v.data->visual_id == screen->root_visual) return v.data;
  return nullptr;
}

const xcb_format_t *FormatOf(const xcb_setup_t *setup, int depth) {
  const xcb_format_t *f = g_xcb.setup_pixmap_formats(setup);
  for (int i = g_xcb.setup_pixmap_formats_length(setup); i > 0; --i, ++f)
    if (f->depth == depth) return f;
  return nullptr;
}

// MIT-SHM from version 1.2 takes memory as a file descriptor, which names
// the same memory in every namespace (a System V id may name another
// process's segment in the server's).
bool HasShmByFd(xcb_connection_t *c) {
  const xcb_query_extension_reply_t *ext =
      g_xcb.get_extension_data(c, g_xcb.shm_id);
  if (!ext || !ext->present) return false;
  xcb_shm_query_version_reply_t *v =
      g_xcb.shm_query_version_reply(c, g_xcb.shm_query_version(c), nullptr);
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
  xcb_connection_t *c = g_xcb.connect(nullptr, &screenNumber);
  if (g_xcb.connection_has_error(c)) {
    NoteWhy("X display %s does not answer", name);
    g_xcb.disconnect(c);
    return nullptr;
  }
  g_xcb.prefetch_extension_data(c, g_xcb.shm_id);
  const xcb_setup_t *setup = g_xcb.get_setup(c);
  const xcb_screen_t *screen = nullptr;
  for (xcb_screen_iterator_t s = g_xcb.setup_roots_iterator(setup); s.rem;
       g_xcb.screen_next(&s), --screenNumber)
    if (screenNumber == 0) screen = s.data;
  const xcb_visualtype_t *visual = screen ? VisualOf(screen) : nullptr;
  const xcb_format_t *format =
      screen ? FormatOf(setup, screen->root_depth) : nullptr;
  X11Display *d = new (std::nothrow) X11Display();
  if (d && visual && format) {
    d->layout.bitsPerPixel = format->bits_per_pixel;
    d->layout.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d->layout.bitMsbFirst =
        setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d->layout.bitmapUnit = setup->bitmap_format_scanline_unit;
    if (ChoosePixelMap(visual->_class, screen->root_depth, d->layout,
                       visual->red_mask, visual->green_mask, visual->blue_mask,
                       &d->map)) {
      d->conn = c;
      d->root = screen->root;
      d->colormap = screen->default_colormap;
      d->depth = screen->root_depth;
      d->scanlinePad = format->scanline_pad;
      d->shmByFd = HasShmByFd(c);
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

// Gives the bitmap shared memory of two strips for its fetches; false
// leaves them to plain requests.
bool AttachSharedStrips(X11Display *d, X11Bitmap *bm) {
  size_t size = 2 * bm->cbLine * static_cast<size_t>(bm->stripRows);
  int fd = memfd_create("tusak-strips", MFD_CLOEXEC);
  if (fd == -1) return false;
  void *p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0)
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return false;
  }
  // The connection takes the descriptor and closes it once it is sent.
  xcb_shm_seg_t seg = g_xcb.generate_id(d->conn);
  if (!Done(d->conn, g_xcb.shm_attach_fd_checked(d->conn, seg, fd, 0))) {
    munmap(p, size);
    return false;
  }
  bm->seg = seg;
  bm->shm = static_cast<BYTE *>(p);
  return true;
}

void *CreateX11Bitmap(void *pDisplay, int cx, int cy) {
  X11Display *d = static_cast<X11Display *>(pDisplay);
  xcb_connection_t *c = d->conn;
  X11Bitmap *bm = new (std::nothrow) X11Bitmap();
  if (!bm) return nullptr;
  bm->display = d;
  bm->width = cx;
  bm->height = cy;
  bm->pixmap = g_xcb.generate_id(c);
  bm->gc = g_xcb.generate_id(c);
  xcb_void_cookie_t pixmap = g_xcb.create_pixmap_checked(
      c, static_cast<uint8_t>(d->depth), bm->pixmap, d->root,
      static_cast<uint16_t>(cx), static_cast<uint16_t>(cy));
  // The windows on the root are part of the screen; no exposure events.
  const uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
  xcb_void_cookie_t gc = g_xcb.create_gc_checked(
      c, bm->gc, bm->pixmap, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES,
      values);
  bool made = Done(c, pixmap);
  if (!Done(c, gc) || !made) {
    if (made) g_xcb.free_pixmap(c, bm->pixmap);
    delete bm;
    return nullptr;
  }
  size_t pad = static_cast<size_t>(d->scanlinePad);
  bm->cbLine = (static_cast<size_t>(cx) * d->layout.bitsPerPixel + pad - 1) /
               pad * pad / 8;
  size_t rows = kStripBytes / bm->cbLine;
  bm->stripRows = rows < 1            ? 1
                  : rows > size_t(cy) ? cy
                                      : static_cast<int>(rows);
  if (d->shmByFd) AttachSharedStrips(d, bm);
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

void KeepColors(X11Bitmap *bm, const xcb_rgb_t *rgb, int n) {
  PixelMap &m = bm->map;
  for (int i = 0; i < n; ++i) {
    if (m.mapping == kIndexed) {
      bm->palette[i].rgbRed = static_cast<BYTE>(rgb[i].red >> 8);
      bm->palette[i].rgbGreen = static_cast<BYTE>(rgb[i].green >> 8);
      bm->palette[i].rgbBlue = static_cast<BYTE>(rgb[i].blue >> 8);
      bm->palette[i].rgbReserved = 0;
      continue;
    }
    if (i < 1 << m.red.bits) m.redTable[i] = static_cast<BYTE>(rgb[i].red >> 8);
    if (i < 1 << m.green.bits)
      m.greenTable[i] = static_cast<BYTE>(rgb[i].green >> 8);
    if (i < 1 << m.blue.bits)
      m.blueTable[i] = static_cast<BYTE>(rgb[i].blue >> 8);
  }
}

bool CopyX11(void *pDisplay, void *pBitmap, int x, int y) {
  X11Display *d = static_cast<X11Display *>(pDisplay);
  X11Bitmap *bm = static_cast<X11Bitmap *>(pBitmap);
  xcb_connection_t *c = d->conn;
  // One request: the bitmap holds the screen as it was at that moment.
  xcb_void_cookie_t copy = g_xcb.copy_area_checked(
      c, d->root, bm->pixmap, bm->gc, static_cast<int16_t>(x),
      static_cast<int16_t>(y), 0, 0, static_cast<uint16_t>(bm->width),
      static_cast<uint16_t>(bm->height));
  // A root that cannot be read (Xwayland's, under a Wayland desktop) copies
  // as black without complaint: one of its pixels is asked for, to know.
  xcb_get_image_cookie_t probe = g_xcb.get_image(
      c, XCB_IMAGE_FORMAT_Z_PIXMAP, d->root, static_cast<int16_t>(x),
      static_cast<int16_t>(y), 1, 1, ~0u);
  // The pixels mean the colours the colormap gives them now.
  static uint32_t pixels[1 << kMaxLookupBits];
  int n = ColorsToQuery(d, pixels);
  xcb_query_colors_cookie_t colors = {};
  if (n)
    colors =
        g_xcb.query_colors(c, d->colormap, static_cast<uint32_t>(n), pixels);

  bm->map = d->map;
  xcb_get_image_reply_t *pixel = g_xcb.get_image_reply(c, probe, nullptr);
  bool ok = pixel != nullptr;
  std::free(pixel);
  if (n) {
    xcb_query_colors_reply_t *reply =
        g_xcb.query_colors_reply(c, colors, nullptr);
    ok = ok && reply && g_xcb.query_colors_colors_length(reply) == n;
    if (ok) KeepColors(bm, g_xcb.query_colors_colors(reply), n);
    std::free(reply);
  }
  return Done(c, copy) && ok;
}

// Asks for image rows y0 .. y0+rows-1 of the bitmap, into half `half` of
// its shared memory, or as a plain reply.
unsigned RequestStrip(X11Bitmap *bm, int y0, int rows, int half) {
  xcb_connection_t *c = bm->display->conn;
  if (bm->seg)
    return g_xcb
        .shm_get_image(c, bm->pixmap, 0, static_cast<int16_t>(y0),
                       static_cast<uint16_t>(bm->width),
                       static_cast<uint16_t>(rows), ~0u,
                       XCB_IMAGE_FORMAT_Z_PIXMAP, bm->seg,
                       static_cast<uint32_t>(half * bm->cbLine * bm->stripRows))
        .sequence;
  return g_xcb
      .get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, bm->pixmap, 0,
                 static_cast<int16_t>(y0), static_cast<uint16_t>(bm->width),
                 static_cast<uint16_t>(rows), ~0u)
      .sequence;
}

// The rows of a strip once the server has them there, or null; *ppReply is
// what to free afterwards.
const BYTE *ReceiveStrip(X11Bitmap *bm, unsigned sequence, int rows, int half,
                         void **ppReply) {
  xcb_connection_t *c = bm->display->conn;
  size_t need = bm->cbLine * static_cast<size_t>(rows);
  *ppReply = nullptr;
  if (bm->seg) {
    xcb_shm_get_image_reply_t *r =
        g_xcb.shm_get_image_reply(c, {sequence}, nullptr);
    *ppReply = r;
    if (!r || r->size < need) return nullptr;
    return bm->shm + half * bm->cbLine * static_cast<size_t>(bm->stripRows);
  }
  xcb_get_image_reply_t *r = g_xcb.get_image_reply(c, {sequence}, nullptr);
  *ppReply = r;
  if (!r || static_cast<size_t>(g_xcb.get_image_data_length(r)) < need)
    return nullptr;
  return g_xcb.get_image_data(r);
}

bool FetchX11(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
              RGBQUAD *pPalette) {
  X11Bitmap *bm = static_cast<X11Bitmap *>(pBitmap);
  const PixelMap &m = bm->map;
  if (m.mapping == kIndexed)
    std::memcpy(pPalette, bm->palette, sizeof(RGBQUAD) << m.dibBits);
  if (n == 0) return true;
  size_t rowBytes = (static_cast<size_t>(bm->width) * m.dibBits + 7) / 8;
  // Image rows top .. top+n-1, top-down; image row y is DIB line
  // height-1-y, so it goes at line height-1-y-start of the buffer.
  int top = bm->height - start - n, end = top + n;
  int k = 0;
  int rows = bm->stripRows < n ? bm->stripRows : n;
  unsigned next = RequestStrip(bm, top, rows, 0);
  for (int y0 = top; y0 < end; y0 += bm->stripRows, ++k) {
    int y1 = y0 + bm->stripRows < end ? y0 + bm->stripRows : end;
    void *reply;
    const BYTE *strip = ReceiveStrip(bm, next, y1 - y0, k % 2, &reply);
    // The server fills the next strip while this one is converted.
    if (strip && y1 < end) {
      int nextRows = y1 + bm->stripRows < end ? bm->stripRows : end - y1;
      next = RequestStrip(bm, y1, nextRows, (k + 1) % 2);
    }
    for (int y = y0; strip && y < y1; ++y) {
      BYTE *line =
          pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride;
      ConvertRow(bm->display->layout, m,
                 strip + static_cast<size_t>(y - y0) * bm->cbLine, line,
                 bm->width);
      std::memset(line + rowBytes, 0, cbStride - rowBytes);
    }
    std::free(reply);
    if (!strip) return false;
  }
  return true;
}

}  // namespace

const DisplaySystem g_x11System = {false, OpenX11, CreateX11Bitmap, CopyX11,
                                   FetchX11};
