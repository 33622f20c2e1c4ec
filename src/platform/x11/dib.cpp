// GetDIBits over X11: a bitmap's pixels, as the X server laid them out, turned
// into the rows of a device-independent bitmap.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gdi_objects.h"
#include "platform.h"

namespace {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

struct Channel {
  int shift;
  int bits;
};

Channel ChannelOf(unsigned long mask) {
  Channel c = {0, 0};
  if (!mask) return c;
  while (!(mask & 1)) {
    mask >>= 1;
    ++c.shift;
  }
  for (; mask & 1; mask >>= 1) ++c.bits;
  return c;
}

// The channel's n most significant bits.
inline std::uint32_t Top(std::uint32_t pixel, Channel c, int n) {
  return ((pixel >> c.shift) & ((std::uint32_t(1) << c.bits) - 1)) >>
         (c.bits - n);
}

struct Channels {
  Channel red, green, blue;
};

// 8-bit channels to B, G, R, 0. kSwap: the image's byte order is not the
// host's. src may be dst: each pixel is read before it is written.
template <bool kSwap>
void Row32(const BYTE *src, BYTE *dst, int width, const Channels &c) {
  for (int x = 0; x < width; ++x) {
    std::uint32_t p;
    std::memcpy(&p, src + 4 * x, 4);
    if (kSwap) p = __builtin_bswap32(p);
    std::uint32_t q =
        Top(p, c.red, 8) << 16 | Top(p, c.green, 8) << 8 | Top(p, c.blue, 8);
    if (kHostBigEndian) q = __builtin_bswap32(q);
    std::memcpy(dst + 4 * x, &q, 4);
  }
}

// 5-6-5 or 5-5-5 to the DIB's 5-5-5 little-endian words (red highest); a
// sixth green bit is dropped.
template <bool kSwap>
void Row16(const BYTE *src, BYTE *dst, int width, const Channels &c) {
  for (int x = 0; x < width; ++x) {
    std::uint16_t p;
    std::memcpy(&p, src + 2 * x, 2);
    if (kSwap) p = __builtin_bswap16(p);
    std::uint32_t q =
        Top(p, c.red, 5) << 10 | Top(p, c.green, 5) << 5 | Top(p, c.blue, 5);
    dst[2 * x] = static_cast<BYTE>(q);
    dst[2 * x + 1] = static_cast<BYTE>(q >> 8);
  }
}

void ConvertRow(int byteOrder, int dibBits, const Channels &c, const BYTE *src,
                BYTE *dst, int width) {
  bool swap = (byteOrder == MSBFirst) != kHostBigEndian;
  if (dibBits == 32) {
    swap ? Row32<true>(src, dst, width, c) : Row32<false>(src, dst, width, c);
  } else if (dibBits == 16) {
    swap ? Row16<true>(src, dst, width, c) : Row16<false>(src, dst, width, c);
  } else {
    std::memmove(dst, src, static_cast<size_t>(width));
  }
}

// Where the rows of a fetch go: DIB lines start .. start+n-1, counted from
// the bottom, one stride apart; image row y is line height-1-y.
struct Target {
  BYTE *bits;
  size_t stride;
  size_t rowBytes;  // a DIB pixel takes as many bits as the display's
  int height, start;
};

BYTE *RowOf(const Target &t, int y) {
  return t.bits + static_cast<size_t>(t.height - 1 - t.start - y) * t.stride;
}

// Puts rows y0 .. y1-1 of the bitmap's pixmap as they are where their lines
// go; false if the server failed the request.
bool FetchStrip(HGDIOBJ__ *bm, int y0, int y1, const Target &t) {
  XImage *strip;
  if (bm->shm) {
    strip = bm->strip;
    strip->height = y1 - y0;  // the last strip may be short
    if (!XShmGetImage(bm->dpy, bm->pixmap, strip, 0, y0, AllPlanes))
      return false;
  } else {
    strip =
        XGetImage(bm->dpy, bm->pixmap, 0, y0, static_cast<unsigned>(bm->width),
                  static_cast<unsigned>(y1 - y0), AllPlanes, ZPixmap);
    if (!strip) return false;
  }
  bool ok = strip->bits_per_pixel == bm->format.bitsPerPixel &&
            strip->byte_order == bm->format.byteOrder;
  for (int y = y0; ok && y < y1; ++y)
    std::memcpy(
        RowOf(t, y),
        strip->data + static_cast<size_t>(y - y0) * strip->bytes_per_line,
        t.rowBytes);
  if (!bm->shm) XDestroyImage(strip);
  return ok;
}

// Writes DIB lines start .. start+n-1 to dst, each padded with zeros; false
// if the server failed a request. A bitmap not yet copied into is black.
bool CopyLines(HGDIOBJ__ *bm, int start, int n, BYTE *dst, size_t stride) {
  int bits = bm->format.dibBits;
  Target t = {dst, stride, static_cast<size_t>(bm->width) * bits / 8,
              bm->height, start};
  if (!bm->captured) {
    std::memset(dst, 0, stride * static_cast<size_t>(n));
    return true;
  }
  Channels c = {ChannelOf(bm->format.redMask), ChannelOf(bm->format.greenMask),
                ChannelOf(bm->format.blueMask)};
  // Top-down in strips; each row is fetched into its place and converted
  // there.
  int top = bm->height - start - n;
  for (int y0 = top; y0 < top + n; y0 += bm->stripRows) {
    int y1 = y0 + bm->stripRows < top + n ? y0 + bm->stripRows : top + n;
    if (!FetchStrip(bm, y0, y1, t)) return false;
    for (int y = y0; y < y1; ++y) {
      ConvertRow(bm->format.byteOrder, bits, c, RowOf(t, y), RowOf(t, y),
                 bm->width);
      std::memset(RowOf(t, y) + t.rowBytes, 0, stride - t.rowBytes);
    }
  }
  return true;
}

}  // namespace

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              BITMAPINFO *lpbmi, UINT usage) {
  if (!IsLiveDc(hdc) || !IsLiveBitmap(hbm) || hbm == &g_stockBitmap || !lpbmi ||
      usage != DIB_RGB_COLORS)
    return 0;
  HGDIOBJ__ *bm = hbm;
  BITMAPINFOHEADER *bih = &lpbmi->bmiHeader;
  int bits = bm->format.dibBits;
  // Served: the bitmap's own depth, uncompressed.
  if (bih->biSize != sizeof(BITMAPINFOHEADER) || bih->biPlanes != 1 ||
      bih->biBitCount != bits || bih->biCompression != BI_RGB)
    return 0;

  int lines = bm->height;  // without a buffer, only the record is completed
  if (lpvBits) {
    // Bottom-up rows of the bitmap's own size, within the buffer the record
    // says it has.
    if (bih->biWidth != bm->width || bih->biHeight != bm->height) return 0;
    size_t stride = (static_cast<size_t>(bm->width) * bits + 31) / 32 * 4;
    UINT height = static_cast<UINT>(bm->height);
    if (start >= height) return 0;
    UINT n = cLines < height - start ? cLines : height - start;
    if (n > bih->biSizeImage / stride) n = bih->biSizeImage / stride;
    if (n == 0) return 0;
    if (!CopyLines(bm, static_cast<int>(start), static_cast<int>(n),
                   static_cast<BYTE *>(lpvBits), stride))
      return 0;
    lines = static_cast<int>(n);
  }

  if (bits == 8) {
    // The table follows the header; no more entries than the record holds.
    DWORD n = bih->biClrUsed < 256 ? bih->biClrUsed : 256;
    std::memcpy(reinterpret_cast<BYTE *>(lpbmi) + bih->biSize, bm->palette,
                n * sizeof(RGBQUAD));
  } else {
    // Uncompressed 16- and 32-bit pixels carry their colors: no table.
    bih->biClrUsed = 0;
  }
  return lines;
}
