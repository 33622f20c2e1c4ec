// The layout of a Wayland desktop's outputs in one image: each output at its
// logical position (xdg-output), turned the way it is seen (its transform),
// all at the largest output scale, so the image is the picture the user
// sees and no output loses detail. Arithmetic only, in 64 bits: whatever
// the compositor announces, nothing overflows.
#ifndef TUSAK_PLATFORM_WAYLAND_LAYOUT_H
#define TUSAK_PLATFORM_WAYLAND_LAYOUT_H

#include <cstdint>

// What the compositor tells of an output, and where it goes in the image.
struct OutputPlace {
  int32_t x, y;                  // position in the layout, logical pixels
  int32_t logicalW, logicalH;    // 0 until xdg-output tells them
  int32_t geometryX, geometryY;  // wl_output's position, for want of it
  int32_t modeW, modeH;          // the current mode, physical pixels
  int32_t transform;             // wl_output_transform
  int32_t scale;                 // integer scale, for want of xdg-output
  // Its box in the image, in pixels; set by LayOutOutputs.
  int32_t destX, destY, destW, destH;
};

enum LayoutResult {
  kLaidOut,
  kNoOutputs,
  kOutputWithoutSize,
  kLayoutTooLarge,  // *pcx x *pcy pixels, past what a BMP file holds
};

// Places the n outputs: their boxes, and the image's size in *pcx, *pcy
// (told also when it is too large).
LayoutResult LayOutOutputs(OutputPlace *const *ppPlaces, int n, int64_t *pcx,
                           int64_t *pcy);

// Whether a buffer of width x height pixels is one the output can fill: no
// side larger than twice the output's largest side, seen or in its mode (a
// compositor asking for more is not copying this output).
bool BufferFitsOutput(const OutputPlace &place, uint32_t width,
                      uint32_t height);

#endif
