// A Wayland compositor as a hostile one may describe its outputs: what its
// events told of each (position, mode, scale, transform, logical size, and
// whether it was unplugged), the buffer its capture protocol asked for
// (format, size, stride, transform, flipped rows) and the pixels it copied.
// They are laid out, checked and placed in one pool as the connection and
// the capture do, then fetched into DIB lines.
//
// Input: the count of outputs (up to 8), each 20 bytes (24 with a logical
// size from xdg-output), the bitmap's place
// and size within the image (2 bytes each), then the pool's bytes,
// repeated.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "wayland.h"

namespace {

const uint32_t kFormats[] = {
    WL_SHM_FORMAT_XRGB8888,    WL_SHM_FORMAT_ARGB8888,
    WL_SHM_FORMAT_XBGR8888,    WL_SHM_FORMAT_ABGR8888,
    WL_SHM_FORMAT_XRGB2101010, WL_SHM_FORMAT_ARGB2101010,
    WL_SHM_FORMAT_XBGR2101010, WL_SHM_FORMAT_ABGR2101010,
    WL_SHM_FORMAT_RGB888,      WL_SHM_FORMAT_BGR888,
    WL_SHM_FORMAT_RGB565,      WL_SHM_FORMAT_NV12};

// What the pool and the bitmap may each cost here: the fuzzer's time goes
// to more inputs rather than larger ones.
const size_t kMaxBytes = size_t(4) << 20;

void ReadOutput(Bytes *in, Output *o) {
  uint32_t flags = Take(in, 1);
  o->gone = flags & 1;
  o->ready = !(flags & 2);
  OutputPlace &p = o->place;
  p.transform = static_cast<int32_t>(Take(in, 1) % 8);
  p.scale = static_cast<int8_t>(Take(in, 1));
  p.modeW = static_cast<int16_t>(Take(in, 2));
  p.modeH = static_cast<int16_t>(Take(in, 2));
  p.geometryX = p.x = static_cast<int16_t>(Take(in, 2));
  p.geometryY = p.y = static_cast<int16_t>(Take(in, 2));
  // Without xdg-output, no logical size.
  p.logicalW = flags & 4 ? static_cast<int16_t>(Take(in, 2)) : 0;
  p.logicalH = flags & 4 ? static_cast<int16_t>(Take(in, 2)) : 0;
  OutputBuffer &b = o->buffer;
  uint32_t format = Take(in, 1) % 12;
  b.readable = format < 11;
  b.format = kFormats[format];
  b.width = Take(in, 2);
  b.height = Take(in, 2);
  b.stride = Take(in, 3);
  b.transform = static_cast<int32_t>(Take(in, 1) % 8);
  b.yInvert = flags & 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Bytes in = {data, size};
  WaylandDisplay d = {};
  Output outputs[8] = {};
  Output *list[8];
  OutputPlace *places[8];
  d.nOutputs = static_cast<int>(Take(&in, 1) % 9);
  d.outputs = list;
  int n = 0;
  for (int i = 0; i < d.nOutputs; ++i) {
    list[i] = &outputs[i];
    ReadOutput(&in, &outputs[i]);
    if (!outputs[i].gone) places[n++] = &outputs[i].place;
  }
  int64_t cx, cy;
  if (LayOutOutputs(places, n, &cx, &cy) != kLaidOut) return 0;
  // The capture asks for no buffer an output could not fill.
  for (int i = 0; i < d.nOutputs; ++i)
    if (!outputs[i].gone &&
        (!outputs[i].buffer.readable ||
         !BufferFitsOutput(outputs[i].place, outputs[i].buffer.width,
                           outputs[i].buffer.height)))
      return 0;
  size_t cbPool = PlaceBuffers(&d);
  int x = static_cast<int>(Take(&in, 2) % cx);
  int y = static_cast<int>(Take(&in, 2) % cy);
  int w = static_cast<int>(1 + Take(&in, 2) % (cx - x));
  int h = static_cast<int>(1 + Take(&in, 2) % (cy - y));
  size_t cbStride = static_cast<size_t>(w) * 4;
  if (cbPool == 0 || cbPool > kMaxBytes || cbStride * h > kMaxBytes) return 0;
  auto *bm = static_cast<WaylandBitmap *>(CreateWaylandBitmap(&d, w, h));
  bm->x = x;
  bm->y = y;
  bm->pool = static_cast<BYTE *>(std::malloc(cbPool));
  bm->poolSize = cbPool;
  Fill(in, bm->pool, cbPool);
  BYTE *lines = static_cast<BYTE *>(std::malloc(cbStride * h));
  FetchWayland(&d, bm, 0, h, lines, cbStride, nullptr);
  // And lines from the middle alone, as a fetch of a part asks.
  if (h > 2) FetchWayland(&d, bm, 1, h - 2, lines, cbStride, nullptr);
  std::free(lines);
  std::free(bm->pool);
  delete bm;
  return 0;
}
