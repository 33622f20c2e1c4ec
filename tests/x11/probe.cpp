// Calls into the X11 layer that tusak itself never makes, for the rows of
// x11_test.py: each scenario prints its results on one line. Built with the
// sanitizers, a write past a buffer or a record ends it with a report.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

int main(int argc, char **argv) {
  const char *what = argc > 1 ? argv[1] : "";
  HDC hdcScreen = CreateDCA("DISPLAY", NULL, NULL, NULL);
  HDC hdcCompat = CreateCompatibleDC(hdcScreen);
  int w = GetDeviceCaps(hdcScreen, HORZRES);
  int h = GetDeviceCaps(hdcScreen, VERTRES);
  HBITMAP hbm = CreateCompatibleBitmap(hdcScreen, w, h);
  SelectObject(hdcCompat, hbm);
  if (!BitBlt(hdcCompat, 0, 0, w, h, hdcScreen, 0, 0, SRCCOPY)) return 1;
  BITMAP bm;
  GetObjectA(hbm, sizeof bm, &bm);
  size_t stride = (size_t(w) * bm.bmBitsPixel + 31) / 32 * 4;
  BITMAPINFO bmi = {};
  BITMAPINFOHEADER &bih = bmi.bmiHeader;
  bih = {40, w, h, 1, bm.bmBitsPixel, BI_RGB, DWORD(stride * h), 0, 0, 0, 0};

  if (!std::strcmp(what, "bounds")) {
    // A record with room for 3 colors and a buffer of two and a half rows,
    // each allocated to the byte.
    BITMAPINFO *small = static_cast<BITMAPINFO *>(
        std::malloc(sizeof(BITMAPINFOHEADER) + 3 * sizeof(RGBQUAD)));
    small->bmiHeader = bih;
    small->bmiHeader.biClrUsed = 3;
    small->bmiHeader.biSizeImage = DWORD(stride * 5 / 2);
    BYTE *bits = static_cast<BYTE *>(std::malloc(stride * 5 / 2));
    int lines = GetDIBits(hdcScreen, hbm, 0, h, bits, small, DIB_RGB_COLORS);
    int record = GetDIBits(hdcScreen, hbm, 0, h, NULL, small, DIB_RGB_COLORS);
    std::printf("%d %d %u\n", lines, record, small->bmiHeader.biClrUsed);
    std::free(bits);
    std::free(small);
  } else if (!std::strcmp(what, "lines")) {
    // Lines 10..14 from the bottom are the same rows of a whole fetch.
    BYTE *all = static_cast<BYTE *>(std::malloc(stride * h));
    BYTE *part = static_cast<BYTE *>(std::malloc(stride * 5));
    GetDIBits(hdcScreen, hbm, 0, h, all, &bmi, DIB_RGB_COLORS);
    BITMAPINFO five = bmi;
    five.bmiHeader.biSizeImage = DWORD(stride * 5);
    int lines = GetDIBits(hdcScreen, hbm, 10, 5, part, &five, DIB_RGB_COLORS);
    int past = GetDIBits(hdcScreen, hbm, h, 5, part, &five, DIB_RGB_COLORS);
    std::printf("%d %d %d\n", lines,
                std::memcmp(all + 10 * stride, part, 5 * stride) == 0, past);
    std::free(part);
    std::free(all);
  } else if (!std::strcmp(what, "refused")) {
    // Records the layer cannot serve, and handles that are not its own.
    BYTE *bits = static_cast<BYTE *>(std::malloc(stride * h));
    BITMAPINFO r[4] = {bmi, bmi, bmi, bmi};
    r[0].bmiHeader.biBitCount = 24;
    r[1].bmiHeader.biCompression = 3;  // BI_BITFIELDS
    r[2].bmiHeader.biWidth = w - 1;
    r[3].bmiHeader.biHeight = -h;
    int got[4];
    for (int i = 0; i < 4; ++i)
      got[i] = GetDIBits(hdcScreen, hbm, 0, h, bits, &r[i], DIB_RGB_COLORS);
    HDC hdcOther = CreateCompatibleDC(hdcScreen);
    std::printf(
        "%d %d %d %d %d %d %d %d %d %d %d %d\n", got[0], got[1], got[2], got[3],
        GetDIBits(hdcScreen, hbm, 0, h, bits, &bmi, 1),
        GetDIBits(hdcScreen, (HBITMAP)&bm, 0, h, bits, &bmi, 0),
        GetObjectA(&bm, sizeof bm, &bm), SelectObject(hdcOther, hbm) != NULL,
        BitBlt(hdcCompat, 0, 0, w, h + 1, hdcScreen, 0, 0, SRCCOPY),
        CloseHandle(INVALID_HANDLE_VALUE), GlobalFree(&bm) == (HGLOBAL)&bm,
        GetDIBits(hdcScreen, hbm, 0, h, bits, &bmi, DIB_RGB_COLORS));
    std::free(bits);
  }
  return 0;
}
