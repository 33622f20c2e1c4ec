// The pixel formats KWin hands its pictures over in (QImage formats), as
// the DIB's 32-bit pixels.
#include <cstring>

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

// KWin hands over its memory as it is: the words of the packed formats and
// the 16-bit channels are in the machine's own byte order.
uint32_t Word32(const BYTE *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

BYTE High8Of16(const BYTE *p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  // Rounded as Qt narrows 16-bit channels.
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
        uint32_t v = Word32(in);
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
      default: {  // 0xAARRGGBB words
        uint32_t v = Word32(in);
        b = static_cast<BYTE>(v), g = static_cast<BYTE>(v >> 8);
        r = static_cast<BYTE>(v >> 16);
        in += 4;
        break;
      }
    }
    out[0] = b;
    out[1] = g;
    out[2] = r;
    out[3] = 0;
  }
}
