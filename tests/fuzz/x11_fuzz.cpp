// An X server as a hostile one may answer: the connection's setup, then the
// replies to the copy (a pixel, the colormap) and to the fetch's strips, as
// plain images or through the shared memory it was handed. A stand-in for
// libxcb's table serves them from the fuzzer's bytes: each request's reply
// is the next chunk (its kind, then a length in 4-byte units and the bytes),
// and an image asked for in shared memory is written there first.
//
// Input: setup length (2 bytes), the setup, the screen number, flags (1:
// MIT-SHM by descriptor), the bitmap's width and height less one (1 byte
// each, up to 64) and its place on the screen (1 byte each), then the
// chunks.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bmpfile/dib.h"
#include "bytes.h"
#include "why.h"
#include "x11.h"

XcbProcs g_xcb;

namespace {

Bytes g_in;
unsigned g_sequence;
BYTE *g_shm;  // the server's own mapping of the shared memory
size_t g_cbShm;
xcb_extension_t g_shmExtension;
char g_conn;

xcb_connection_t *Conn() {
  return reinterpret_cast<xcb_connection_t *>(&g_conn);
}

int Zero(xcb_connection_t *) { return 0; }
int One(xcb_connection_t *) { return 1; }
int NoFd(xcb_connection_t *) { return -1; }
uint32_t NewId(xcb_connection_t *) { return ++g_sequence; }
template <typename Cookie>
Cookie Next() {
  return {++g_sequence};
}
xcb_void_cookie_t Grab(xcb_connection_t *) { return Next<xcb_void_cookie_t>(); }

// Kind 0 (and any other): a reply; 1: an error; 2: done, without a reply.
int PollForReply(xcb_connection_t *, unsigned sequence, void **ppReply,
                 xcb_generic_error_t **ppError) {
  *ppReply = nullptr;
  *ppError = nullptr;
  int kind = g_in.n ? static_cast<int>(Take(&g_in, 1) % 4) : 1;
  if (kind == 1) {
    *ppError = static_cast<xcb_generic_error_t *>(std::calloc(1, 32));
  } else if (kind != 2) {
    // As libxcb hands it over: 32 bytes and as many words as it says.
    uint32_t words = Take(&g_in, 3) % (1 << 18);
    size_t cb = 32 + 4 * size_t(words);
    BYTE *r = static_cast<BYTE *>(std::malloc(cb));
    size_t n = cb < g_in.n ? cb : g_in.n;
    std::memset(r, 0, cb);
    std::memcpy(r, g_in.p, n);
    g_in.p += n, g_in.n -= n;
    auto *h = reinterpret_cast<xcb_generic_reply_t *>(r);
    h->response_type = 1;
    h->sequence = static_cast<uint16_t>(sequence);
    h->length = words;
    *ppReply = r;
  }
  return 1;
}

xcb_get_image_cookie_t GetImage(xcb_connection_t *, uint8_t, xcb_drawable_t,
                                int16_t, int16_t, uint16_t, uint16_t,
                                uint32_t) {
  return Next<xcb_get_image_cookie_t>();
}
uint8_t *ImageData(const xcb_get_image_reply_t *r) {
  return reinterpret_cast<uint8_t *>(const_cast<xcb_get_image_reply_t *>(r) +
                                     1);
}
xcb_query_colors_cookie_t QueryColors(xcb_connection_t *, xcb_colormap_t,
                                      uint32_t, const uint32_t *) {
  return Next<xcb_query_colors_cookie_t>();
}
xcb_rgb_t *Colors(const xcb_query_colors_reply_t *r) {
  return reinterpret_cast<xcb_rgb_t *>(
      const_cast<xcb_query_colors_reply_t *>(r) + 1);
}

// The server maps what it is handed, and the descriptor is the
// connection's to close.
xcb_void_cookie_t AttachFd(xcb_connection_t *, xcb_shm_seg_t, int32_t fd,
                           uint8_t) {
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    void *p = mmap(nullptr, static_cast<size_t>(st.st_size),
                   PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      g_shm = static_cast<BYTE *>(p);
      g_cbShm = static_cast<size_t>(st.st_size);
    }
  }
  close(fd);
  return Next<xcb_void_cookie_t>();
}

// Writes the image (2 bytes of length, then its bytes) where it was asked.
xcb_shm_get_image_cookie_t ShmGetImage(xcb_connection_t *, xcb_drawable_t,
                                       int16_t, int16_t, uint16_t, uint16_t,
                                       uint32_t, uint8_t, xcb_shm_seg_t,
                                       uint32_t offset) {
  size_t cb = Take(&g_in, 2);
  if (cb > g_in.n) cb = g_in.n;
  if (g_shm && offset < g_cbShm)
    std::memcpy(g_shm + offset, g_in.p,
                cb < g_cbShm - offset ? cb : g_cbShm - offset);
  g_in.p += cb, g_in.n -= cb;
  return Next<xcb_shm_get_image_cookie_t>();
}

}  // namespace

bool LoadXcb() {
  XcbProcs &p = g_xcb;
  p.connection_has_error = Zero;
  p.flush = One;
  p.get_file_descriptor = NoFd;
  p.poll_for_reply = PollForReply;
  p.generate_id = NewId;
  p.grab_server = Grab;
  p.ungrab_server = Grab;
  p.get_image = GetImage;
  p.get_image_data = ImageData;
  p.query_colors = QueryColors;
  p.query_colors_colors = Colors;
  p.shm_attach_fd_checked = AttachFd;
  p.shm_get_image = ShmGetImage;
  p.shm_id = &g_shmExtension;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  LoadXcb();
  g_in = {data, size};
  // As libxcb keeps it: 8 bytes, then as many words as they say.
  size_t cb = Take(&g_in, 2);
  if (cb > g_in.n) cb = g_in.n;
  if (cb < 8) return 0;
  cb = 8 + (cb - 8) / 4 * 4;
  auto *setup = static_cast<xcb_setup_t *>(std::malloc(cb));
  std::memcpy(setup, g_in.p, cb);
  setup->length = static_cast<uint16_t>((cb - 8) / 4);
  g_in.p += cb, g_in.n -= cb;
  int screen = static_cast<int>(Take(&g_in, 1));
  uint32_t flags = Take(&g_in, 1);
  int cx = 1 + static_cast<int>(Take(&g_in, 1) % 64);
  int cy = 1 + static_cast<int>(Take(&g_in, 1) % 64);
  int x = static_cast<int>(Take(&g_in, 1)),
      y = static_cast<int>(Take(&g_in, 1));
  ScreenSetup s;
  X11Display d = {};
  // As the connection reads its screen.
  if (cb >= sizeof *setup && ReadSetup(setup, screen, &s) && s.visual &&
      s.format) {
    d.layout.bitsPerPixel = s.format->bits_per_pixel;
    d.layout.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d.layout.bitMsbFirst =
        setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_MSB_FIRST;
    d.layout.bitmapUnit = setup->bitmap_format_scanline_unit;
    if (ChoosePixelMap(s.visual->_class, s.screen->root_depth, d.layout,
                       s.visual->red_mask, s.visual->green_mask,
                       s.visual->blue_mask, &d.map)) {
      d.conn = Conn();
      d.root = s.screen->root;
      d.colormap = s.screen->default_colormap;
      d.depth = s.screen->root_depth;
      d.scanlinePad = s.format->scanline_pad;
      d.shmByFd = flags & 1;
      auto *bm = static_cast<X11Bitmap *>(CreateX11Bitmap(&d, cx, cy));
      size_t cbStride = static_cast<size_t>(DibRowBytes(cx, d.map.dibBits));
      BYTE *lines = static_cast<BYTE *>(std::malloc(cbStride * cy));
      RGBQUAD palette[256];
      if (bm && CopyX11(&d, bm, x, y))
        FetchX11(&d, bm, 0, cy, lines, cbStride, palette);
      std::free(lines);
      if (bm && bm->shm) munmap(bm->shm, bm->cbShm);
      delete bm;
    }
  }
  if (g_shm) munmap(g_shm, g_cbShm);
  g_shm = nullptr;
  std::free(setup);
  TellWhy(false);
  return 0;
}
