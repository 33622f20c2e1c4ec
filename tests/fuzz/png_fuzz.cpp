// The desktop portal's PNG as a hostile portal may write it: decoded once
// and copied out as the portal's fetch does. An input of even length is
// held to the outputs of a 1024 x 1024 desktop, an odd one only to a BMP's
// limit, as when no compositor told its outputs.
#include <cstdint>
#include <cstdlib>

#include "portal.h"
#include "why.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int64_t most = size % 2 ? 0 : 1024;
  PngPicture picture;
  if (ReadPng(data, size, "fuzz.png", most, most, &picture)) {
    size_t cbStride = static_cast<size_t>(picture.width) * 4;
    BYTE *lines = static_cast<BYTE *>(std::malloc(cbStride * picture.rows));
    // Lines from the middle alone, as a fetch of a part asks; then all.
    if (lines && picture.rows > 2)
      CopyPngLines(&picture, 1, picture.rows - 2, lines, cbStride);
    if (lines) CopyPngLines(&picture, 0, picture.rows, lines, cbStride);
    std::free(lines);
    FreePng(&picture);
  }
  TellWhy(false);
  return 0;
}
