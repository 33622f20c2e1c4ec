// Reading an X11 screen over XCB. The copy into a bitmap notes the
// rectangle and checks that the screen can be read; the fetch reads its rows
// in strips, several kept in flight, through shared memory passed to the
// server as a file descriptor (MIT-SHM 1.2) where it has that, else through
// plain image requests, with the server grabbed so that the strips are of
// one moment. No pixmap holds the screen between the two: a new one costs
// the server a page fault for every 4 KiB of it, more than all the rest.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sharedpages.h"
#include "why.h"
#include "x11.h"

namespace {

// A strip is about this many bytes of the screen's rows, and kSlots of them
// are in flight at a time: the server fills the next while one is
// converted. New pages cost more than copying, so the memory is small and
// used over and over.
const size_t kStripBytes = 256 * 1024;
// Pixels whose colours one request asks for: a request fits in the 16 KiB
// that every server takes.
const int kColorsPerRequest = 2048;

// Gives the bitmap shared memory of kSlots strips for its fetches, in pages
// made at once (one call instead of a fault for each). Whether the server
// took it is known with the copy's answers; until then, and if not, the
// fetches use plain requests.
void AttachSharedStrips(X11Display *d, X11Bitmap *bm) {
  size_t size = kSlots * bm->cbLine * static_cast<size_t>(bm->stripRows);
  int fd = MakeSharedMemory("tusak-strips", size);
  if (fd == -1) return;
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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

// A strip's image rows y0 .. y1-1, as received, to convert into DIB lines.
struct Strip {
  const X11Bitmap *bm;
  const BYTE *rows;
  int y0, y1, start;
  BYTE *pBits;
  size_t cbStride, rowBytes;
};

void ConvertStrip(void *pv) {
  const Strip &s = *static_cast<const Strip *>(pv);
  const X11Bitmap *bm = s.bm;
  for (int y = s.y0; y < s.y1; ++y) {
    BYTE *line = s.pBits +
                 static_cast<size_t>(bm->height - 1 - y - s.start) * s.cbStride;
    ConvertServerRow(bm->display->layout, bm->map,
                     s.rows + static_cast<size_t>(y - s.y0) * bm->cbLine, line,
                     bm->width);
    std::memset(line + s.rowBytes, 0, s.cbStride - s.rowBytes);
  }
}

}  // namespace

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

bool FetchX11(void *, void *pBitmap, int start, int n, BYTE *pBits,
              size_t cbStride, RGBQUAD *pPalette) {
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
    Strip s = {bm, nullptr, y0, y1, start, pBits, cbStride, rowBytes};
    s.rows =
        ReceiveStrip(bm, sequences[k % kSlots], y1 - y0, k % kSlots, &reply);
    ok = s.rows != nullptr;
    if (ok && !ReadSharedPages(ConvertStrip, &s)) {
      // The server cut the shared memory short: nothing more is read there.
      NoteWhyAbout("X display %s cut the capture's shared memory short",
                   bm->display->name);
      DetachSharedStrips(bm);
      ok = false;
    }
    std::free(reply);
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
