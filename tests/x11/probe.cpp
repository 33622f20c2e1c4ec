// Calls into the X11 layer that tusak itself never makes, for the rows of
// x11_test.py: each scenario prints its results on one line. Built with the
// sanitizers, a write past a buffer or a record ends it with a report.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pixels.h"
#include "platform.h"

// Gives the free cells of a DirectColor screen's default colormap ramps
// that differ from the channels' own values and from one channel to the
// next, so that a capture which took either for the colours would show.
// The picture's viewer keeps its cells for good: its client is ended (the
// picture stays on the screen), then every free cell is taken, written and
// kept after this client goes. Prints how many.
static int StoreRamps() {
  xcb_connection_t *c = xcb_connect(NULL, NULL);
  const xcb_screen_t *s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_intern_atom_reply_t *atom =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 12, "_XSETROOT_ID"), NULL);
  xcb_atom_t name = atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
  xcb_get_property_reply_t *id = xcb_get_property_reply(
      c, xcb_get_property(c, 0, s->root, name, XCB_ATOM_PIXMAP, 0, 1), NULL);
  if (id && xcb_get_property_value_length(id) == 4)
    xcb_kill_client(c, *static_cast<uint32_t *>(xcb_get_property_value(id)));
  int stored = 0;
  for (uint16_t n = 4096; n > 0; n /= 2) {  // as many as are free
    xcb_alloc_color_cells_reply_t *r = xcb_alloc_color_cells_reply(
        c, xcb_alloc_color_cells(c, 0, s->default_colormap, n, 0), NULL);
    for (int i = 0; r && i < r->pixels_len; ++i, ++stored) {
      uint16_t k = uint16_t(257 * (stored % 256));
      xcb_coloritem_t item = {};
      item.pixel = xcb_alloc_color_cells_pixels(r)[i];
      item.red = uint16_t(65535 - k);  // falls
      item.green = k;                  // rises
      item.blue = uint16_t(7 * k);     // jumps about
      item.flags =
          XCB_COLOR_FLAG_RED | XCB_COLOR_FLAG_GREEN | XCB_COLOR_FLAG_BLUE;
      xcb_store_colors(c, s->default_colormap, 1, &item);
    }
    std::free(r);
  }
  xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
  int failed = xcb_connection_has_error(c);
  std::printf("%d\n", stored);
  std::free(id);
  std::free(atom);
  xcb_disconnect(c);
  return failed;
}

// Rows of pixel layouts that no test server offers (1 and 4 bits a pixel,
// packed 24-bit pixels, MSB-first servers), converted to DIB rows: prints
// each row's bytes in hex.
static int ConvertLayouts() {
  struct Case {
    int visualClass, depth;
    PixelLayout layout;
    uint32_t red, green, blue;
    int width;
    BYTE src[4];
  } cases[] = {
      // clang-format off
      // Pixels 1011 0001 0100 1110: in LSB units, in MSB units, and MSB
      // first within LSB-ordered 32-bit units (the second byte pair last).
      {kStaticGray, 1, {1, false, false, 32}, 0, 0, 0, 16, {0x8D, 0x72}},
      {kStaticGray, 1, {1, true, true, 32}, 0, 0, 0, 16, {0xB1, 0x4E}},
      {kStaticGray, 1, {1, false, true, 32}, 0, 0, 0, 16, {0, 0, 0x4E, 0xB1}},
      // Pixels 1 2 3 4: nibbles in image byte order, and bytes.
      {kPseudoColor, 4, {4, true, true, 32}, 0, 0, 0, 4, {0x12, 0x34}},
      {kPseudoColor, 4, {4, false, false, 32}, 0, 0, 0, 4, {0x21, 0x43}},
      {kPseudoColor, 4, {8, false, false, 32}, 0, 0, 0, 4, {1, 2, 3, 4}},
      // Red 0x11, green 0x22, blue 0x33: packed, and a word of the other
      // byte order; full red at 5-6-5, most significant byte first.
      {kTrueColor, 24, {24, true, true, 32}, 0xFF0000, 0xFF00, 0xFF, 1,
       {0x11, 0x22, 0x33}},
      {kTrueColor, 24, {24, false, false, 32}, 0xFF0000, 0xFF00, 0xFF, 1,
       {0x33, 0x22, 0x11}},
      {kTrueColor, 24, {32, true, true, 32}, 0xFF0000, 0xFF00, 0xFF, 1,
       {0, 0x11, 0x22, 0x33}},
      {kTrueColor, 16, {16, true, true, 32}, 0xF800, 0x7E0, 0x1F, 1, {0xF8, 0}},
      // clang-format on
  };
  for (const Case &c : cases) {
    static PixelMap map;
    BYTE dst[4] = {};
    if (!ChoosePixelMap(c.visualClass, c.depth, c.layout, c.red, c.green,
                        c.blue, &map))
      return 1;
    ConvertServerRow(c.layout, map, c.src, dst, c.width);
    int n = (c.width * map.dibBits + 7) / 8;
    for (int i = 0; i < n; ++i) std::printf("%02x", dst[i]);
    std::printf(" ");
  }
  std::printf("\n");
  return 0;
}

int main(int argc, char **argv) {
  const char *what = argc > 1 ? argv[1] : "";
  if (!std::strcmp(what, "ramps")) return StoreRamps();
  if (!std::strcmp(what, "layouts")) return ConvertLayouts();
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
