// The fetch of a Wayland capture: each output's pixels put in place as DIB
// rows from its buffer in the pool, turned, scaled and converted from its
// format as needed, with the gaps of a layout that is not a rectangle black.
#include <wayland-client.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sharedpages.h"
#include "wayland.h"
#include "why.h"

namespace {

// Pixel x of a buffer row as 0x00RRGGBB. The formats are little-endian.
inline uint32_t ReadPixel(uint32_t format, const BYTE *row, int x) {
  const BYTE *p = row + static_cast<size_t>(x) * ShmBytesPerPixel(format);
  uint32_t v = p[0] | p[1] << 8;
  if (format != WL_SHM_FORMAT_RGB565) v |= uint32_t(p[2]) << 16;
  if (ShmBytesPerPixel(format) == 4) v |= uint32_t(p[3]) << 24;
  switch (format) {
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_BGR888:
      return (v & 0xFF) << 16 | (v & 0xFF00) | (v >> 16 & 0xFF);
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
      return (v >> 22 & 0xFF) << 16 | (v >> 12 & 0xFF) << 8 | (v >> 2 & 0xFF);
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
      return (v >> 2 & 0xFF) << 16 | (v >> 12 & 0xFF) << 8 | (v >> 22 & 0xFF);
    case WL_SHM_FORMAT_RGB565: {
      // Each channel widened, its top bits repeated below.
      uint32_t r = v >> 11 & 31, g = v >> 5 & 63, b = v & 31;
      return (r << 3 | r >> 2) << 16 | (g << 2 | g >> 4) << 8 |
             (b << 3 | b >> 2);
    }
    default:  // XRGB8888, ARGB8888, RGB888
      return v & 0xFFFFFF;
  }
}

// Blue, green, red, 0: the DIB's 32-bit pixel.
inline void Put32(BYTE *dst, uint32_t rgb) {
  dst[0] = static_cast<BYTE>(rgb);
  dst[1] = static_cast<BYTE>(rgb >> 8);
  dst[2] = static_cast<BYTE>(rgb >> 16);
  dst[3] = 0;
}

// Pixels first .. first+count-1 of a buffer row, in order, as DIB pixels.
void ConvertRun(uint32_t format, const BYTE *row, int first, int count,
                BYTE *dst) {
  if (format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888) {
    // Already blue, green, red in memory: only the fourth byte is cleared,
    // which is the word's low end on a big-endian machine.
    const uint32_t kColours =
        __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 0xFFFFFF00 : 0x00FFFFFF;
    const BYTE *src = row + static_cast<size_t>(first) * 4;
    for (int i = 0; i < count; ++i) {
      uint32_t p;
      std::memcpy(&p, src + 4 * i, 4);
      p &= kColours;
      std::memcpy(dst + 4 * i, &p, 4);
    }
    return;
  }
  for (int i = 0; i < count; ++i)
    Put32(dst + 4 * i, ReadPixel(format, row, first + i));
}

// The buffer pixel that shows at (s, t) of an output seen w x h. The
// compositor draws into the buffer what is seen, turned by the transform
// (flipped first, then rotated counter-clockwise).
inline void ToBuffer(int32_t transform, int w, int h, int s, int t, int *bx,
                     int *by) {
  if (transform & 4) s = w - 1 - s;  // WL_OUTPUT_TRANSFORM_FLIPPED
  switch (transform & 3) {
    case 1:  // 90
      *bx = t, *by = w - 1 - s;
      return;
    case 2:  // 180
      *bx = w - 1 - s, *by = h - 1 - t;
      return;
    case 3:  // 270
      *bx = h - 1 - t, *by = s;
      return;
    default:
      *bx = s, *by = t;
  }
}

// The output's box in bitmap columns, cut to the bitmap; empty if x0 >= x1.
void Columns(const WaylandBitmap *bm, const Output &o, int *x0, int *x1) {
  int left = o.place.destX - bm->x, right = left + o.place.destW;
  *x0 = left > 0 ? left : 0;
  *x1 = right < bm->width ? right : bm->width;
}

bool Shows(const Output &o) { return o.ready && !o.gone; }

// Bitmap rows y0 .. y1-1 of an output seen as it is (not turned, not
// scaled): each a run of its buffer row, taken a strip at a time.
void PlaceStraight(const WaylandBitmap *bm, const Output &o, int y0, int y1,
                   int x0, int x1, BYTE *pBits, size_t cbStride, int start) {
  const BYTE *pixels = bm->pool + o.buffer.offset;
  int h = static_cast<int>(o.buffer.height);
  int first = o.place.destY - bm->y, left = o.place.destX - bm->x;
  const int kStripBytes = 1 << 20;
  int rows = kStripBytes / static_cast<int>(o.buffer.stride);
  if (rows < 1) rows = 1;
  for (int y = y0; y < y1; y += rows) {
    int end = y1 - y < rows ? y1 : y + rows;
    // The strip's buffer rows, upwards when the buffer is upside down.
    int a = y - first, b = end - 1 - first;
    if (o.buffer.yInvert) a = h - 1 - a, b = h - 1 - b;
    const BYTE *from = pixels + size_t(a < b ? a : b) * o.buffer.stride;
    const BYTE *to = pixels + size_t((a < b ? b : a) + 1) * o.buffer.stride;
    MapPages(from, to);
    for (int yy = y; yy < end; ++yy) {
      int by = yy - first;
      if (o.buffer.yInvert) by = h - 1 - by;
      ConvertRun(
          o.buffer.format, pixels + size_t(by) * o.buffer.stride, x0 - left,
          x1 - x0,
          pBits + static_cast<size_t>(bm->height - 1 - yy - start) * cbStride +
              4 * x0);
    }
    UnmapPages(from, to);
  }
}

// Puts an output's pixels that fall in image rows top .. top+n-1 into the
// DIB lines (bitmap row y is line height-1-y, counted from start).
void PlaceOutput(const WaylandBitmap *bm, const Output &o, int top, int n,
                 BYTE *pBits, size_t cbStride, int start) {
  int w = static_cast<int>(o.buffer.width),
      h = static_cast<int>(o.buffer.height);
  int32_t transform = o.buffer.transform;
  int seenW = transform & 1 ? h : w, seenH = transform & 1 ? w : h;
  const BYTE *pixels = bm->pool + o.buffer.offset;
  int left = o.place.destX - bm->x;
  int first = o.place.destY - bm->y, last = first + o.place.destH;
  int x0, x1;
  Columns(bm, o, &x0, &x1);
  int y0 = first > top ? first : top;
  int y1 = last < top + n ? last : top + n;
  if (x0 >= x1 || y0 >= y1) return;
  if (transform == 0 && seenW == o.place.destW && seenH == o.place.destH) {
    PlaceStraight(bm, o, y0, y1, x0, x1, pBits, cbStride, start);
    return;
  }
  // Turned or scaled: a line may take from any buffer row.
  MapPages(pixels, pixels + size_t(o.buffer.stride) * o.buffer.height);
  for (int y = y0; y < y1; ++y) {
    BYTE *line =
        pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride;
    // The row of what is seen, scaled to the box.
    int t = static_cast<int>(int64_t(y - first) * seenH / o.place.destH);
    for (int x = x0; x < x1; ++x) {
      int s = static_cast<int>(int64_t(x - left) * seenW / o.place.destW);
      int bx, by;
      ToBuffer(transform, seenW, seenH, s, t, &bx, &by);
      if (o.buffer.yInvert) by = h - 1 - by;
      Put32(line + 4 * x, ReadPixel(o.buffer.format,
                                    pixels + size_t(by) * o.buffer.stride, bx));
    }
  }
}

// A shown output's box in the bitmap: its columns (cut to the bitmap) and
// its rows.
struct Span {
  int x0, x1, top, bottom;
};

// The boxes of the outputs that show, in order of their left edge: sorted
// once for the whole fetch, so that a row costs one look at each box
// whatever the number and order of the outputs.
int SortedSpans(const WaylandBitmap *bm, Span *spans) {
  const WaylandDisplay *d = bm->d;
  int n = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    const Output &o = *d->outputs[i];
    int x0, x1;
    Columns(bm, o, &x0, &x1);
    if (!Shows(o) || x0 >= x1) continue;
    int top = o.place.destY - bm->y;
    spans[n++] = {x0, x1, top, top + o.place.destH};
  }
  std::sort(spans, spans + n,
            [](const Span &a, const Span &b) { return a.x0 < b.x0; });
  return n;
}

// Clears what no output shows of bitmap row y (DIB line `line`): the
// columns outside every box, found from the boxes themselves, so that
// outputs which overlap are never taken for ones that cover the gaps.
void ClearGaps(const WaylandBitmap *bm, int y, BYTE *line, const Span *spans,
               int n) {
  int x = 0;
  for (int i = 0; i < n; ++i) {
    if (y < spans[i].top || y >= spans[i].bottom) continue;
    if (spans[i].x0 > x)
      std::memset(line + 4 * size_t(x), 0, 4 * size_t(spans[i].x0 - x));
    if (spans[i].x1 > x) x = spans[i].x1;
  }
  if (x < bm->width)
    std::memset(line + 4 * size_t(x), 0, 4 * size_t(bm->width - x));
}

// What the fetch puts in place: image rows top .. top+n-1 of every output
// shown, from the pool the compositor shares.
struct Placing {
  const WaylandBitmap *bm;
  int top, n;
  BYTE *pBits;
  size_t cbStride;
  int start;
};

void PlaceOutputs(void *pv) {
  const Placing &p = *static_cast<const Placing *>(pv);
  const WaylandDisplay *d = p.bm->d;
  for (int i = 0; i < d->nOutputs; ++i)
    if (Shows(*d->outputs[i]))
      PlaceOutput(p.bm, *d->outputs[i], p.top, p.n, p.pBits, p.cbStride,
                  p.start);
}

}  // namespace

bool IsKnownShmFormat(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
    case WL_SHM_FORMAT_RGB888:
    case WL_SHM_FORMAT_BGR888:
    case WL_SHM_FORMAT_RGB565:
      return true;
    default:
      return false;
  }
}

int ShmBytesPerPixel(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_RGB888:
    case WL_SHM_FORMAT_BGR888:
      return 3;
    case WL_SHM_FORMAT_RGB565:
      return 2;
    default:
      return 4;
  }
}

void *CreateWaylandBitmap(void *pDisplay, int cx, int cy) {
  WaylandBitmap *bm = new (std::nothrow) WaylandBitmap();
  if (!bm) return nullptr;
  bm->d = static_cast<WaylandDisplay *>(pDisplay);
  bm->width = cx;
  bm->height = cy;
  bm->poolFd = -1;
  return bm;
}

bool FetchWayland(void *, void *pBitmap, int start, int n, BYTE *pBits,
                  size_t cbStride, RGBQUAD *) {
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  const WaylandDisplay *d = bm->d;
  if (n == 0) return true;
  if (!bm->pool) return false;
  Span *spans = static_cast<Span *>(
      std::malloc(sizeof(Span) * (d->nOutputs ? d->nOutputs : 1)));
  if (!spans) return false;
  int nSpans = SortedSpans(bm, spans);
  int top = bm->height - start - n;
  for (int y = top; y < top + n; ++y)
    ClearGaps(
        bm, y,
        pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride,
        spans, nSpans);
  std::free(spans);
  Placing placing = {bm, top, n, pBits, cbStride, start};
  if (!ReadSharedPages(PlaceOutputs, &placing)) {
    NoteWhyAbout("%s cut the capture's shared memory short", d->name);
    return false;
  }
  return true;
}
