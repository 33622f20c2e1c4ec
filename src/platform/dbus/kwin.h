// KWin's screenshot interface, org.kde.KWin.ScreenShot2: what the call and
// the pixel formats of its pictures share.
#ifndef TUSAK_PLATFORM_DBUS_KWIN_H
#define TUSAK_PLATFORM_DBUS_KWIN_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct SdBus;
typedef struct sd_bus sd_bus;

// QImage::Format values that KWin may hand over, by their numbers.
enum KWinFormat : uint32_t {
  kRGB32 = 4,  // 0xffRRGGBB words, in the machine's byte order
  kARGB32 = 5,
  kARGB32Premultiplied = 6,
  kRGB888 = 13,
  kRGBX8888 = 16,  // R G B A bytes
  kRGBA8888 = 17,
  kRGBA8888Premultiplied = 18,
  kBGR30 = 19,  // 2-10-10-10 words, blue in the high bits
  kA2BGR30Premultiplied = 20,
  kRGB30 = 21,  // 2-10-10-10 words, red in the high bits
  kA2RGB30Premultiplied = 22,
  kRGBX64 = 25,  // 16-bit R G B A, each a word
  kRGBA64 = 26,
  kRGBA64Premultiplied = 27,
  kBGR888 = 29,
};

// The workspace as KWin handed it over.
struct KWinDisplay {
  BYTE *pixels;  // the rows as KWin wrote them, mapped
  size_t cb, cbMapped;
  int width, height;
  size_t stride;
  uint32_t format;
};

// Asks KWin on bus for the workspace and reads its reply and the pixels as
// they come, into *d (pixels to be unmapped, cbMapped bytes, even on a
// failure); false, with a why line, if KWin refuses or the exchange fails.
bool CaptureKWin(const SdBus &p, sd_bus *bus, KWinDisplay *d);

// Bytes per pixel of the formats that can be read; 0 for any other.
size_t KWinBytesPerPixel(uint32_t format);

// One row of width pixels in a KWin format as a DIB's blue, green, red, 0.
void ConvertKWinRow(uint32_t format, const BYTE *in, BYTE *out, int width);

#endif
