#include "layout.h"

#include <cmath>

#include "bmpfile/dib.h"

LayoutResult LayOutOutputs(OutputPlace *const *ppPlaces, int n, int64_t *pcx,
                           int64_t *pcy) {
  *pcx = *pcy = 0;
  if (n == 0) return kNoOutputs;
  double scale = 0;
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (int i = 0; i < n; ++i) {
    OutputPlace *o = ppPlaces[i];
    int32_t seenW = o->transform & 1 ? o->modeH : o->modeW;
    int32_t seenH = o->transform & 1 ? o->modeW : o->modeH;
    if (!o->logicalW || !o->logicalH) {  // no xdg-output: the whole scale
      o->x = o->geometryX;
      o->y = o->geometryY;
      o->logicalW = seenW / (o->scale > 0 ? o->scale : 1);
      o->logicalH = seenH / (o->scale > 0 ? o->scale : 1);
    }
    if (seenW <= 0 || seenH <= 0 || o->logicalW <= 0 || o->logicalH <= 0)
      return kOutputWithoutSize;
    double s = double(seenW) / o->logicalW;
    if (s > scale) scale = s;
    int64_t right = int64_t(o->x) + o->logicalW;
    int64_t bottom = int64_t(o->y) + o->logicalH;
    if (i == 0 || o->x < x0) x0 = o->x;
    if (i == 0 || o->y < y0) y0 = o->y;
    if (i == 0 || right > x1) x1 = right;
    if (i == 0 || bottom > y1) y1 = bottom;
  }
  // Both sides are below 2^33 logical pixels and the scale below 2^31:
  // exact enough in a double, and compared before any is narrowed.
  double w = std::ceil(double(x1 - x0) * scale);
  double h = std::ceil(double(y1 - y0) * scale);
  *pcx = w < 9e18 ? static_cast<int64_t>(w) : INT64_MAX;
  *pcy = h < 9e18 ? static_cast<int64_t>(h) : INT64_MAX;
  if (!DibFits(*pcx, *pcy, 32)) return kLayoutTooLarge;
  for (int i = 0; i < n; ++i) {
    OutputPlace *o = ppPlaces[i];
    o->destX = static_cast<int32_t>(std::lround(double(o->x - x0) * scale));
    o->destY = static_cast<int32_t>(std::lround(double(o->y - y0) * scale));
    o->destW = static_cast<int32_t>(std::lround(o->logicalW * scale));
    o->destH = static_cast<int32_t>(std::lround(o->logicalH * scale));
  }
  return kLaidOut;
}

bool BufferFitsOutput(const OutputPlace &place, uint32_t width,
                      uint32_t height) {
  int64_t side = place.modeW;
  if (place.modeH > side) side = place.modeH;
  if (place.destW > side) side = place.destW;
  if (place.destH > side) side = place.destH;
  return width <= 2 * side && height <= 2 * side;
}
