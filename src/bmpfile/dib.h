// The numbers of a device-independent bitmap and of its file, in one place
// for the stages and for every display system that must know beforehand
// whether a picture can be saved.
#ifndef TUSAK_BMPFILE_DIB_H
#define TUSAK_BMPFILE_DIB_H

#include <cstdint>

// "BM", the file's size, two reserved words and the pixels' offset.
const std::uint32_t kFileHeaderBytes = 14;
// BITMAPINFOHEADER.
const std::uint32_t kInfoHeaderBytes = 40;
// The pixels are fetched in a 16-bit count of lines, and the file counts
// their bytes in a signed 32-bit size (biSizeImage, bfSize): no larger
// bitmap can be saved whole.
const std::int64_t kMaxDibLines = 65535;
const std::int64_t kMaxDibBytes = INT32_MAX;

// Bytes of a row of cx pixels at bits per pixel, padded to 4 bytes.
inline std::int64_t DibRowBytes(std::int64_t cx, int bits) {
  return (cx * bits + 31) / 32 * 4;
}

// Palette entries a depth implies: 2^bits up to 8 bits, none above.
inline std::uint32_t DibPaletteEntries(int bits) {
  return bits >= 1 && bits <= 8 ? std::uint32_t(1) << bits : 0;
}

// The file's numbers are little-endian on every machine: put byte by byte.
inline void DibPut16(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void DibPut32(std::uint8_t *p, std::uint32_t v) {
  DibPut16(p, v);
  DibPut16(p + 2, v >> 16);
}

// Whether a cx x cy bitmap at bits per pixel fits in a file whole.
inline bool DibFits(std::int64_t cx, std::int64_t cy, int bits) {
  return cx > 0 && cy > 0 && cx <= kMaxDibBytes && cy <= kMaxDibLines &&
         DibRowBytes(cx, bits) * cy <= kMaxDibBytes;
}

#endif
