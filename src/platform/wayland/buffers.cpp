// The pixels of a Wayland capture: the shared memory pool every output is
// copied into, and the fetch that puts each output's pixels in place as DIB
// rows, turned, scaled and converted as needed, with the gaps of a layout
// that is not a rectangle black.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "wayland.h"

namespace {

// Pixel x of a buffer row as 0x00RRGGBB. The formats are little-endian.
inline uint32_t ReadPixel(uint32_t format, const BYTE *row, int x) {
  const BYTE *p = row + static_cast<size_t>(x) * BytesPerPixel(format);
  uint32_t v = p[0] | p[1] << 8;
  if (format != WL_SHM_FORMAT_RGB565) v |= uint32_t(p[2]) << 16;
  if (BytesPerPixel(format) == 4) v |= uint32_t(p[3]) << 24;
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
    // Already blue, green, red: only the fourth byte is cleared.
    const BYTE *src = row + static_cast<size_t>(first) * 4;
    for (int i = 0; i < count; ++i) {
      uint32_t p;
      std::memcpy(&p, src + 4 * i, 4);
      p &= 0x00FFFFFF;
      if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) p = __builtin_bswap32(p);
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
  int left = o.destX - bm->x, right = left + o.destW;
  *x0 = left > 0 ? left : 0;
  *x1 = right < bm->width ? right : bm->width;
}

bool Shows(const Output &o) { return o.ready && !o.gone; }

// The pool's pages from..to, widened to whole pages: mapped here in one go
// rather than a fault at a time (Linux 5.14 and later; elsewhere this does
// nothing).
void MapPages(const BYTE *from, const BYTE *to) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t a = reinterpret_cast<uintptr_t>(from) & ~(page - 1);
  uintptr_t b = (reinterpret_cast<uintptr_t>(to) + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void *>(a), b - a, MADV_POPULATE_READ);
}

// The pool's whole pages within from..to, read: out of this process's map
// again, so that it never holds the pool and the DIB rows whole at once.
// The compositor's copy stays in the pool, should they be read again.
void UnmapPages(const BYTE *from, const BYTE *to) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t a = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (a < b) madvise(reinterpret_cast<void *>(a), b - a, MADV_DONTNEED);
}

// Bitmap rows y0 .. y1-1 of an output seen as it is (not turned, not
// scaled): each a run of its buffer row, taken a strip at a time.
void PlaceStraight(const WaylandBitmap *bm, const Output &o, int y0, int y1,
                   int x0, int x1, BYTE *pBits, size_t cbStride, int start) {
  const BYTE *pixels = bm->pool + o.offset;
  int h = static_cast<int>(o.height);
  int first = o.destY - bm->y, left = o.destX - bm->x;
  const int kStripBytes = 1 << 20;
  int rows = kStripBytes / static_cast<int>(o.stride);
  if (rows < 1) rows = 1;
  for (int y = y0; y < y1; y += rows) {
    int end = y1 - y < rows ? y1 : y + rows;
    // The strip's buffer rows, upwards when the buffer is upside down.
    int a = y - first, b = end - 1 - first;
    if (o.yInvert) a = h - 1 - a, b = h - 1 - b;
    const BYTE *from = pixels + size_t(a < b ? a : b) * o.stride;
    const BYTE *to = pixels + size_t((a < b ? b : a) + 1) * o.stride;
    MapPages(from, to);
    for (int yy = y; yy < end; ++yy) {
      int by = yy - first;
      if (o.yInvert) by = h - 1 - by;
      ConvertRun(
          o.format, pixels + size_t(by) * o.stride, x0 - left, x1 - x0,
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
  int w = static_cast<int>(o.width), h = static_cast<int>(o.height);
  int32_t transform = o.bufferTransform;
  int seenW = transform & 1 ? h : w, seenH = transform & 1 ? w : h;
  const BYTE *pixels = bm->pool + o.offset;
  int left = o.destX - bm->x;
  int first = o.destY - bm->y, last = first + o.destH;
  int x0, x1;
  Columns(bm, o, &x0, &x1);
  int y0 = first > top ? first : top;
  int y1 = last < top + n ? last : top + n;
  if (x0 >= x1 || y0 >= y1) return;
  if (transform == 0 && seenW == o.destW && seenH == o.destH) {
    PlaceStraight(bm, o, y0, y1, x0, x1, pBits, cbStride, start);
    return;
  }
  // Turned or scaled: a line may take from any buffer row.
  MapPages(pixels, pixels + size_t(o.stride) * o.height);
  for (int y = y0; y < y1; ++y) {
    BYTE *line =
        pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride;
    // The row of what is seen, scaled to the box.
    int t = static_cast<int>(int64_t(y - first) * seenH / o.destH);
    for (int x = x0; x < x1; ++x) {
      int s = static_cast<int>(int64_t(x - left) * seenW / o.destW);
      int bx, by;
      ToBuffer(transform, seenW, seenH, s, t, &bx, &by);
      if (o.yInvert) by = h - 1 - by;
      Put32(line + 4 * x,
            ReadPixel(o.format, pixels + size_t(by) * o.stride, bx));
    }
  }
}

// Clears what no output shows of bitmap row y (DIB line `line`): the
// columns outside every box, found from the boxes themselves, so that
// outputs which overlap are never taken for ones that cover the gaps.
void ClearGaps(const WaylandBitmap *bm, int y, BYTE *line, int (*spans)[2]) {
  const WaylandDisplay *d = bm->d;
  int n = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    const Output &o = *d->outputs[i];
    int top = o.destY - bm->y;
    if (!Shows(o) || y < top || y >= top + o.destH) continue;
    int x0, x1;
    Columns(bm, o, &x0, &x1);
    if (x0 >= x1) continue;
    // In order of their left edge (a handful of outputs).
    int j = n++;
    for (; j > 0 && spans[j - 1][0] > x0; --j) {
      spans[j][0] = spans[j - 1][0];
      spans[j][1] = spans[j - 1][1];
    }
    spans[j][0] = x0;
    spans[j][1] = x1;
  }
  int x = 0;
  for (int i = 0; i < n; ++i) {
    if (spans[i][0] > x)
      std::memset(line + 4 * size_t(x), 0, 4 * size_t(spans[i][0] - x));
    if (spans[i][1] > x) x = spans[i][1];
  }
  if (x < bm->width)
    std::memset(line + 4 * size_t(x), 0, 4 * size_t(bm->width - x));
}

}  // namespace

bool IsKnownFormat(uint32_t format) {
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

int BytesPerPixel(uint32_t format) {
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

wl_shm_pool *MakePool(WaylandDisplay *d, WaylandBitmap *bm) {
  size_t size = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    if (o->gone) continue;
    if (!o->haveBuffer || o->width == 0 || o->height == 0 || o->width > 65535 ||
        o->height > 65535 || o->stride < o->width * BytesPerPixel(o->format))
      return nullptr;
    o->offset = size;
    size += size_t(o->stride) * o->height;
  }
  // A pool's size is a signed 32-bit number.
  if (size == 0 || size > INT32_MAX) return nullptr;
  // One pool for every output, in memory the compositor writes into.
  int fd = memfd_create("tusak-capture", MFD_CLOEXEC);
  if (fd == -1) return nullptr;
  void *p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0)
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  wl_shm_pool *pool =
      p == MAP_FAILED
          ? nullptr
          : wl_shm_create_pool(d->shm, fd, static_cast<int32_t>(size));
  if (!pool) {
    close(fd);
    if (p != MAP_FAILED) munmap(p, size);
    return nullptr;
  }
  if (bm->pool) munmap(bm->pool, bm->poolSize);
  if (bm->poolFd >= 0) close(bm->poolFd);
  bm->pool = static_cast<BYTE *>(p);
  bm->poolSize = size;
  bm->poolFd = fd;
  return pool;
}

void FillPool(WaylandDisplay *d, WaylandBitmap *bm) {
  wl_display_flush(d->display);
  if (bm->poolFd < 0) return;
  // Each page the compositor's copy finds missing costs it a fault that
  // allocates and clears it, one at a time; given here, on the other core,
  // the copy is that much shorter. From the end, as the copy starts at the
  // top: the two meet rather than both wanting the same pages.
  const size_t kChunk = size_t(1) << 20;
  for (size_t end = bm->poolSize; end > 0;) {
    size_t begin = end > kChunk ? end - kChunk : 0;
    if (fallocate(bm->poolFd, 0, static_cast<off_t>(begin),
                  static_cast<off_t>(end - begin)) != 0)
      break;  // no matter: the compositor's faults give them
    end = begin;
  }
  close(bm->poolFd);
  bm->poolFd = -1;
}

wl_buffer *PoolBuffer(wl_shm_pool *pool, const Output &o) {
  return wl_shm_pool_create_buffer(
      pool, static_cast<int32_t>(o.offset), static_cast<int32_t>(o.width),
      static_cast<int32_t>(o.height), static_cast<int32_t>(o.stride), o.format);
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

bool FetchWayland(void *pBitmap, int start, int n, BYTE *pBits, size_t cbStride,
                  RGBQUAD *) {
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  const WaylandDisplay *d = bm->d;
  if (n == 0) return true;
  if (!bm->pool) return false;
  int(*spans)[2] =
      static_cast<int(*)[2]>(std::malloc(sizeof(int[2]) * d->nOutputs));
  if (!spans) return false;
  int top = bm->height - start - n;
  for (int y = top; y < top + n; ++y)
    ClearGaps(
        bm, y,
        pBits + static_cast<size_t>(bm->height - 1 - y - start) * cbStride,
        spans);
  std::free(spans);
  for (int i = 0; i < d->nOutputs; ++i)
    if (Shows(*d->outputs[i]))
      PlaceOutput(bm, *d->outputs[i], top, n, pBits, cbStride, start);
  return true;
}
