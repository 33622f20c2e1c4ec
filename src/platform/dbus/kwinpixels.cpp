// The pixel formats KWin hands its pictures over in (QImage formats), as
// the DIB's 32-bit pixels.
#include "kwin.h"

size_t KWinBytesPerPixel(uint32_t format) {
  switch (format) {
    case kRGB32:
    case kARGB32:
    case kARGB32Premultiplied:
    case kRGBX8888:
    case kRGBA8888:
    case kRGBA8888Premultiplied:
    case kBGR30:
    case kA2BGR30Premultiplied:
    case kRGB30:
    case kA2RGB30Premultiplied:
      return 4;
    case kRGB888:
    case kBGR888:
      return 3;
    case kRGBX64:
    case kRGBA64:
    case kRGBA64Premultiplied:
      return 8;
    default:
      return 0;
  }
}

namespace {

BYTE High8Of16(const BYTE *p) {
  // Rounded as Qt narrows 16-bit channels.
  unsigned v = p[0] | p[1] << 8;
  return static_cast<BYTE>((v - (v >> 8) + 0x80) >> 8);
}

}  // namespace

// Premultiplied colours are kept: they are what the screen shows.
void ConvertKWinRow(uint32_t format, const BYTE *in, BYTE *out, int width) {
  for (int x = 0; x < width; ++x, out += 4) {
    BYTE b, g, r;
    switch (format) {
      case kRGBX8888:
      case kRGBA8888:
      case kRGBA8888Premultiplied:
        r = in[0], g = in[1], b = in[2];
        in += 4;
        break;
      case kRGB888:
        r = in[0], g = in[1], b = in[2];
        in += 3;
        break;
      case kBGR888:
        b = in[0], g = in[1], r = in[2];
        in += 3;
        break;
      case kRGB30:
      case kA2RGB30Premultiplied:
      case kBGR30:
      case kA2BGR30Premultiplied: {
        uint32_t v = static_cast<uint32_t>(in[0]) | uint32_t(in[1]) << 8 |
                     uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
        BYTE high = static_cast<BYTE>(v >> 22), low = static_cast<BYTE>(v >> 2);
        g = static_cast<BYTE>(v >> 12);
        bool redHigh = format == kRGB30 || format == kA2RGB30Premultiplied;
        r = redHigh ? high : low;
        b = redHigh ? low : high;
        in += 4;
        break;
      }
      case kRGBX64:
      case kRGBA64:
      case kRGBA64Premultiplied:
        r = High8Of16(in), g = High8Of16(in + 2), b = High8Of16(in + 4);
        in += 8;
        break;
      default:  // 0xAARRGGBB words, little-endian
        b = in[0], g = in[1], r = in[2];
        in += 4;
        break;
    }
    out[0] = b;
    out[1] = g;
    out[2] = r;
    out[3] = 0;
  }
}
