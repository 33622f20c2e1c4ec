#include "pixels.h"

#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

Channel ChannelOf(std::uint32_t mask) {
  Channel c = {0, 0};
  if (!mask) return c;
  while (!(mask & 1)) {
    mask >>= 1;
    ++c.shift;
  }
  for (; mask & 1; mask >>= 1) ++c.bits;
  return c;
}

// The channel's value.
inline std::uint32_t ValueOf(std::uint32_t pixel, Channel c) {
  return (pixel >> c.shift) & ((std::uint32_t(1) << c.bits) - 1);
}

// The channel's n most significant bits.
inline std::uint32_t Top(std::uint32_t pixel, Channel c, int n) {
  return ValueOf(pixel, c) >> (c.bits - n);
}

// Pixel x of an image row.
inline std::uint32_t PixelAt(const PixelLayout &l, const BYTE *row, int x) {
  switch (l.bitsPerPixel) {
    case 1: {
      // Bit b of a unit whose bytes are in image byte order.
      int unit = l.bitmapUnit, i = x % unit;
      int b = l.bitMsbFirst ? unit - 1 - i : i;
      int k = b / 8;
      int byte = x / unit * (unit / 8) + (l.msbFirst ? unit / 8 - 1 - k : k);
      return (row[byte] >> b % 8) & 1;
    }
    case 4: {
      bool high = (x % 2 == 0) == l.msbFirst;
      return (row[x / 2] >> (high ? 4 : 0)) & 15;
    }
    case 8:
      return row[x];
    default: {
      int n = l.bitsPerPixel / 8;
      const BYTE *p = row + x * n;
      std::uint32_t v = 0;
      for (int i = 0; i < n; ++i)
        v |= std::uint32_t(p[l.msbFirst ? i : n - 1 - i]) << (8 * (n - 1 - i));
      return v;
    }
  }
}

// Whether the image's pixels are packed as a DIB's of that depth: most
// significant bits first.
bool PackedAsDib(const PixelLayout &l, int dibBits) {
  if (l.bitsPerPixel != dibBits) return false;
  if (dibBits == 8) return true;
  if (dibBits == 4) return l.msbFirst;
  return l.bitMsbFirst && (l.msbFirst || l.bitmapUnit == 8);
}

// The common case, 32-bit pixels with 8-bit channels or wider, a word at a
// time. kSwap: the image's byte order is not the host's. The channels are
// copied first: the rows could alias the map, and the loop would re-read it.
template <bool kSwap>
void Row32(const BYTE *src, BYTE *dst, int width, const PixelMap &m) {
  const Channel r = m.red, g = m.green, b = m.blue;
  if (!kSwap && !kHostBigEndian && r.shift == 16 && g.shift == 8 &&
      b.shift == 0 && r.bits == 8 && g.bits == 8 && b.bits == 8) {
    // Already blue, green, red: only the unused byte is cleared.
    int x = 0;
#ifdef __SSE2__
    // A screen's rows are more than the caches hold and are not read again
    // before the file is written: stored past the caches, they are not read
    // in first (which doubled the time). FinishRows() orders them.
    if (reinterpret_cast<std::uintptr_t>(dst) % 4 == 0) {
      for (; x < width && reinterpret_cast<std::uintptr_t>(dst + 4 * x) % 16;
           ++x) {
        std::uint32_t p;
        std::memcpy(&p, src + 4 * x, 4);
        p &= 0x00FFFFFF;
        std::memcpy(dst + 4 * x, &p, 4);
      }
      const __m128i mask = _mm_set1_epi32(0x00FFFFFF);
      for (; x + 4 <= width; x += 4) {
        __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * x));
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 4 * x),
                         _mm_and_si128(v, mask));
      }
    }
#endif
    for (; x < width; ++x) {
      std::uint32_t p;
      std::memcpy(&p, src + 4 * x, 4);
      p &= 0x00FFFFFF;
      std::memcpy(dst + 4 * x, &p, 4);
    }
    return;
  }
  for (int x = 0; x < width; ++x) {
    std::uint32_t p;
    std::memcpy(&p, src + 4 * x, 4);
    if (kSwap) p = __builtin_bswap32(p);
    std::uint32_t q = Top(p, r, 8) << 16 | Top(p, g, 8) << 8 | Top(p, b, 8);
    if (kHostBigEndian) q = __builtin_bswap32(q);
    std::memcpy(dst + 4 * x, &q, 4);
  }
}

// Blue, green, red, 0: a 32-bit DIB pixel.
inline void Put32(BYTE *dst, int x, std::uint32_t r, std::uint32_t g,
                  std::uint32_t b) {
  dst[4 * x] = static_cast<BYTE>(b);
  dst[4 * x + 1] = static_cast<BYTE>(g);
  dst[4 * x + 2] = static_cast<BYTE>(r);
  dst[4 * x + 3] = 0;
}

}  // namespace

bool ChoosePixelMap(int visualClass, int depth, const PixelLayout &layout,
                    std::uint32_t redMask, std::uint32_t greenMask,
                    std::uint32_t blueMask, PixelMap *pMap) {
  PixelMap &m = *pMap;
  m.red = ChannelOf(redMask);
  m.green = ChannelOf(greenMask);
  m.blue = ChannelOf(blueMask);
  int bpp = layout.bitsPerPixel;
  if (depth < 1 || depth > bpp ||
      (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32))
    return false;
  bool decomposed = visualClass == kTrueColor || visualClass == kDirectColor;
  if (decomposed && (!m.red.bits || !m.green.bits || !m.blue.bits))
    return false;
  // Channels that share bits or reach past the depth describe no pixel
  // (and a channel of 32 bits would be shifted out of its word).
  std::uint64_t all = std::uint64_t(redMask) | greenMask | blueMask;
  if (decomposed && ((redMask & greenMask) || (redMask & blueMask) ||
                     (greenMask & blueMask) || all >> depth))
    return false;

  if (depth <= 8) {
    // Every pixel value stands for a colormap entry, whatever the class: the
    // palette holds the colours the server gives them.
    m.mapping = kIndexed;
    m.dibBits = depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    return true;
  }
  if (!decomposed) return false;  // no colormap of more than 256 entries
  if (visualClass == kTrueColor) {
    int r = m.red.bits, g = m.green.bits, b = m.blue.bits;
    if (bpp == 16 && r == 5 && b == 5 && (g == 5 || g == 6)) {
      m.mapping = kMasked16;
      m.dibBits = 16;
      return true;
    }
    if (r >= 8 && g >= 8 && b >= 8) {
      m.mapping = kMasked32;
      m.dibBits = 32;
      return true;
    }
  }
  // DirectColor, or TrueColor channels that do not fill 8 bits: the
  // colormap says what each channel's value means.
  if (m.red.bits > kMaxLookupBits || m.green.bits > kMaxLookupBits ||
      m.blue.bits > kMaxLookupBits)
    return false;
  m.mapping = kLookup32;
  m.dibBits = 32;
  return true;
}

void ConvertServerRow(const PixelLayout &l, const PixelMap &m, const BYTE *src,
                      BYTE *dst, int width) {
  switch (m.mapping) {
    case kIndexed: {
      size_t cb = (static_cast<size_t>(width) * m.dibBits + 7) / 8;
      if (PackedAsDib(l, m.dibBits)) {
        std::memcpy(dst, src, cb);
        return;
      }
      std::memset(dst, 0, cb);
      std::uint32_t mask = (std::uint32_t(1) << m.dibBits) - 1;
      for (int x = 0; x < width; ++x) {
        int bit = x * m.dibBits;
        dst[bit / 8] |= static_cast<BYTE>((PixelAt(l, src, x) & mask)
                                          << (8 - m.dibBits - bit % 8));
      }
      return;
    }
    case kMasked16:
      // 5-6-5 or 5-5-5 to the DIB's 5-5-5 little-endian words (red highest);
      // a sixth green bit is dropped.
      for (int x = 0; x < width; ++x) {
        std::uint32_t p = PixelAt(l, src, x);
        std::uint32_t q = Top(p, m.red, 5) << 10 | Top(p, m.green, 5) << 5 |
                          Top(p, m.blue, 5);
        dst[2 * x] = static_cast<BYTE>(q);
        dst[2 * x + 1] = static_cast<BYTE>(q >> 8);
      }
      return;
    case kMasked32:
      if (l.bitsPerPixel == 32) {
        bool swap = l.msbFirst != kHostBigEndian;
        swap ? Row32<true>(src, dst, width, m)
             : Row32<false>(src, dst, width, m);
        return;
      }
      for (int x = 0; x < width; ++x) {
        std::uint32_t p = PixelAt(l, src, x);
        Put32(dst, x, Top(p, m.red, 8), Top(p, m.green, 8), Top(p, m.blue, 8));
      }
      return;
    case kLookup32:
      for (int x = 0; x < width; ++x) {
        std::uint32_t p = PixelAt(l, src, x);
        Put32(dst, x, m.redTable[ValueOf(p, m.red)],
              m.greenTable[ValueOf(p, m.green)],
              m.blueTable[ValueOf(p, m.blue)]);
      }
      return;
  }
}

void FinishRows() {
#ifdef __SSE2__
  _mm_sfence();
#endif
}
