// How an X server's pixels become the pixels of a device-independent bitmap.
// Kept apart from the connection so that layouts no test server offers (1
// and 4 bits per pixel, packed 24-bit pixels, MSB-first servers) can be
// checked row by row.
#ifndef TUSAK_PLATFORM_X11_PIXELS_H
#define TUSAK_PLATFORM_X11_PIXELS_H

#include <cstdint>

#include "platform.h"

// How a pixel is laid out in an image from the server (ZPixmap format).
struct PixelLayout {
  int bitsPerPixel;  // 1, 4, 8, 16, 24 or 32
  bool msbFirst;     // image byte order, which also orders 4-bit nibbles
  bool bitMsbFirst;  // bit order of 1-bit pixels within a bitmap unit
  int bitmapUnit;    // 8, 16 or 32: 1-bit pixels come in units this wide
};

// A run of set bits in a pixel: a color channel of a TrueColor or
// DirectColor visual.
struct Channel {
  int shift;
  int bits;
};

enum PixelMapping {
  kIndexed,   // the pixel is a palette index: DIB of 1, 4 or 8 bits
  kMasked16,  // 5-5-5 or 5-6-5 channels: 16-bit DIB (5-5-5)
  kMasked32,  // channels of 8 bits or more: 32-bit DIB, their top 8 bits
  kLookup32,  // each channel through a table: 32-bit DIB
};

const int kMaxLookupBits = 12;

struct PixelMap {
  PixelMapping mapping;
  int dibBits;
  Channel red, green, blue;
  // kLookup32: each channel's value as the colormap gives it, 8 bits.
  BYTE redTable[1 << kMaxLookupBits];
  BYTE greenTable[1 << kMaxLookupBits];
  BYTE blueTable[1 << kMaxLookupBits];
};

enum VisualClass {  // as the X protocol numbers them
  kStaticGray,
  kGrayScale,
  kStaticColor,
  kPseudoColor,
  kTrueColor,
  kDirectColor
};

// Chooses how a visual's pixels map to a DIB; false when none can carry
// them. Fills mapping, dibBits and the channels; the tables are filled from
// the colormap later.
bool ChoosePixelMap(int visualClass, int depth, const PixelLayout &layout,
                    std::uint32_t redMask, std::uint32_t greenMask,
                    std::uint32_t blueMask, PixelMap *pMap);

// Converts one row of width pixels from an image row to a DIB row (which it
// fills up to the last pixel's byte; the caller pads it). Rows may be
// written past the caches: FinishRows() after the last, before they are
// read.
void ConvertServerRow(const PixelLayout &layout, const PixelMap &map,
                      const BYTE *src, BYTE *dst, int width);
void FinishRows();

#endif
