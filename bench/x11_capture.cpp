// The capture alone, in one process: the copy of the screen into the bitmap
// (BitBlt), the fetch of its rows as a DIB (GetDIBits), and, as the floor, a
// plain memcpy of as many bytes. Prints the median of each in milliseconds.
// Usage: x11_capture_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.h"

static double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(
             Clock::now().time_since_epoch())
      .count();
}

static double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int main(int argc, char **argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  if (runs < 1) runs = 1;
  HDC hdcScreen = CreateDCA("DISPLAY", NULL, NULL, NULL);
  HDC hdcCompat = CreateCompatibleDC(hdcScreen);
  int w = GetDeviceCaps(hdcScreen, HORZRES);
  int h = GetDeviceCaps(hdcScreen, VERTRES);
  HBITMAP hbm = CreateCompatibleBitmap(hdcScreen, w, h);
  if (!hbm || !SelectObject(hdcCompat, hbm)) {
    std::fprintf(stderr, "no bitmap of the screen\n");
    return 1;
  }
  BITMAP bm;
  GetObjectA(hbm, sizeof bm, &bm);
  size_t stride = (size_t(w) * bm.bmBitsPixel + 31) / 32 * 4;
  size_t bytes = stride * h;
  // Room for a full palette, whatever the depth.
  static BYTE record[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)];
  BITMAPINFO *pbmi = reinterpret_cast<BITMAPINFO *>(record);
  // Fresh blocks, as the program's own buffer is.
  BYTE *bits = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED, bytes));
  BYTE *source = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED, bytes));
  BYTE *target = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED, bytes));
  if (!bits || !source || !target) return 1;
  std::memset(source, 2, bytes);

  std::vector<double> blt, fetch, both, copy;
  for (int i = 0; i < runs; ++i) {
    pbmi->bmiHeader = {40, w, h,   1, bm.bmBitsPixel, BI_RGB, DWORD(bytes),
                       0,  0, 256, 0};
    double t0 = Now();
    if (!BitBlt(hdcCompat, 0, 0, w, h, hdcScreen, 0, 0, SRCCOPY)) return 1;
    double t1 = Now();
    if (!GetDIBits(hdcScreen, hbm, 0, h, bits, pbmi, DIB_RGB_COLORS)) return 1;
    double t2 = Now();
    std::memcpy(target, source, bytes);
    double t3 = Now();
    blt.push_back(t1 - t0);
    fetch.push_back(t2 - t1);
    both.push_back(t2 - t0);
    copy.push_back(t3 - t2);
  }
  std::printf("%dx%d, %d bits, %zu bytes, median of %d runs (ms)\n", w, h,
              bm.bmBitsPixel, bytes, runs);
  // The first run is the one a launch of tusak pays: every page new.
  std::printf("%-28s %8s %8s\n", "", "first", "median");
  std::printf("%-28s %8.2f %8.2f\n", "BitBlt (screen to bitmap)", blt[0],
              Median(blt));
  std::printf("%-28s %8.2f %8.2f\n", "GetDIBits (bitmap to DIB)", fetch[0],
              Median(fetch));
  std::printf("%-28s %8.2f %8.2f\n", "capture (both)", both[0], Median(both));
  std::printf("%-28s %8.2f %8.2f\n", "memcpy of as many bytes", copy[0],
              Median(copy));
  return 0;
}
