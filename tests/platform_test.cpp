// The parts of the Linux layer that need no display: the layout of a
// Wayland desktop's outputs, the buffers a compositor may ask for, the
// checks of an X server's setup, KWin's pixel formats, the BMP's limits and
// the reads of memory a peer shares.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "bmpfile/dib.h"
#include "kwin.h"
#include "layout.h"
#include "sharedpages.h"
#include "x11.h"

namespace {

// An output: its logical position and size (0 x 0: no xdg-output), its
// mode, transform and scale, and the box it must get in the image.
struct Place {
  int32_t x, y, logicalW, logicalH, modeW, modeH, transform, scale;
  int32_t destX, destY, destW, destH;
};

struct LayoutCase {
  const char *what;
  LayoutResult result;
  int64_t cx, cy;
  std::vector<Place> outputs;
};

TEST(Layout, PlacesEveryOutputAtTheLargestScaleIn64Bits) {
  // clang-format off
  const LayoutCase cases[] = {
      {"one output", kLaidOut, 1024, 768,
       {{0, 0, 1024, 768, 1024, 768, 0, 1, 0, 0, 1024, 768}}},
      {"a second output turned a quarter", kLaidOut, 1264, 768,
       {{0, 0, 1024, 768, 1024, 768, 0, 1, 0, 0, 1024, 768},
        {1024, 0, 240, 320, 320, 240, 1, 1, 1024, 0, 240, 320}}},
      {"a second output at scale 2: every output at 2", kLaidOut, 3072, 1536,
       {{0, 0, 1024, 768, 1024, 768, 0, 1, 0, 0, 2048, 1536},
        {1024, 0, 512, 384, 1024, 768, 0, 2, 2048, 0, 1024, 768}}},
      {"no xdg-output: wl_output's position, its mode at its scale",
       kLaidOut, 800, 600, {{0, 0, 0, 0, 800, 600, 0, 2, 0, 0, 800, 600}}},
      {"one output far out, where x + width overflows 32 bits",
       kLaidOut, 64, 48, {{2147483600, 0, 64, 48, 64, 48, 0, 1, 0, 0, 64, 48}}},
      {"two outputs 2^31 apart", kLayoutTooLarge, 2147483664, 48,
       {{0, 0, 64, 48, 64, 48, 0, 1, 0, 0, 0, 0},
        {2147483600, 0, 64, 48, 64, 48, 0, 1, 0, 0, 0, 0}}},
      {"65,535 lines", kLaidOut, 8, 65535,
       {{0, 0, 8, 65535, 8, 65535, 0, 1, 0, 0, 8, 65535}}},
      {"65,536 lines", kLayoutTooLarge, 8, 65536,
       {{0, 0, 8, 65536, 8, 65536, 0, 1, 0, 0, 0, 0}}},
      {"an output without a mode", kOutputWithoutSize, 0, 0,
       {{0, 0, 64, 48, 0, 0, 0, 1, 0, 0, 0, 0}}},
      {"no outputs", kNoOutputs, 0, 0, {}},
  };
  // clang-format on
  for (const LayoutCase &c : cases) {
    std::vector<OutputPlace> places;
    for (const Place &p : c.outputs) {
      OutputPlace o = {};
      o.x = o.geometryX = p.x;
      o.y = o.geometryY = p.y;
      o.logicalW = p.logicalW, o.logicalH = p.logicalH;
      o.modeW = p.modeW, o.modeH = p.modeH;
      o.transform = p.transform, o.scale = p.scale;
      places.push_back(o);
    }
    std::vector<OutputPlace *> pointers;
    for (OutputPlace &o : places) pointers.push_back(&o);
    int64_t cx, cy;
    EXPECT_EQ(LayOutOutputs(pointers.data(), int(pointers.size()), &cx, &cy),
              c.result)
        << c.what;
    EXPECT_EQ(cx, c.cx) << c.what;
    EXPECT_EQ(cy, c.cy) << c.what;
    for (size_t i = 0; c.result == kLaidOut && i < places.size(); ++i) {
      const Place &p = c.outputs[i];
      EXPECT_EQ(places[i].destX, p.destX) << c.what << ", output " << i;
      EXPECT_EQ(places[i].destY, p.destY) << c.what << ", output " << i;
      EXPECT_EQ(places[i].destW, p.destW) << c.what << ", output " << i;
      EXPECT_EQ(places[i].destH, p.destH) << c.what << ", output " << i;
    }
  }
}

TEST(Layout, RefusesBuffersNoOutputOfItsModeFills) {
  OutputPlace o = {};
  o.modeW = 1024, o.modeH = 768, o.destW = 1024, o.destH = 768;
  const struct {
    uint32_t w, h;
    bool fits;
  } cases[] = {{1024, 768, true},     {768, 1024, true},
               {2048, 2048, true},    {2049, 768, false},
               {1024, 2049, false},   {20000, 20000, false},
               {0xFFFFFFFF, 1, false}};
  for (const auto &c : cases)
    EXPECT_EQ(BufferFitsOutput(o, c.w, c.h), c.fits) << c.w << " x " << c.h;
}

TEST(Dib, KnowsWhatAFileHolds) {
  const struct {
    int64_t cx, cy;
    int bits;
    int64_t rowBytes;
    bool fits;
  } cases[] = {
      {1, 1, 1, 4, true},
      {33, 1, 1, 8, true},
      {3, 1, 24, 12, true},
      {1920, 1080, 32, 7680, true},
      {1, 65535, 8, 4, true},
      {1, 65536, 8, 4, false},            // lines are counted in 16 bits
      {32767, 16384, 32, 131068, true},   // 2,147,418,112 bytes
      {32768, 16384, 32, 131072, false},  // 2^31 bytes
      {0, 1, 32, 0, false},
      {INT64_MAX, 1, 32, -1, false},
  };
  for (const auto &c : cases) {
    if (c.rowBytes >= 0) {
      EXPECT_EQ(DibRowBytes(c.cx, c.bits), c.rowBytes);
    }
    EXPECT_EQ(DibFits(c.cx, c.cy, c.bits), c.fits)
        << c.cx << " x " << c.cy << " at " << c.bits;
  }
}

// A setup of one screen at depth 24 with one visual, as a server sends it,
// after change() has had its say.
bool ReadChangedSetup(void (*change)(std::vector<BYTE> &), std::vector<BYTE> &b,
                      ScreenSetup *p) {
  xcb_setup_t setup = {};
  setup.status = 1;
  setup.resource_id_mask = 0x001FFFFF;
  setup.maximum_request_length = 65535;
  setup.vendor_len = 3;  // padded to 4
  setup.roots_len = 1;
  setup.pixmap_formats_len = 1;
  setup.bitmap_format_scanline_unit = 32;
  xcb_format_t format = {24, 32, 32, {}};
  xcb_screen_t screen = {};
  screen.root = 0x100;
  screen.root_visual = 0x21;
  screen.root_depth = 24;
  screen.width_in_pixels = 1024;
  screen.height_in_pixels = 768;
  screen.allowed_depths_len = 1;
  xcb_depth_t depth = {24, 0, 1, {}};
  xcb_visualtype_t visual = {
      0x21, XCB_VISUAL_CLASS_TRUE_COLOR, 8, 256, 0xFF0000, 0xFF00, 0xFF, {}};
  b.assign(sizeof setup + 4, 0);
  auto put = [&b](const void *p, size_t n) {
    b.insert(b.end(), static_cast<const BYTE *>(p),
             static_cast<const BYTE *>(p) + n);
  };
  put(&format, sizeof format);
  put(&screen, sizeof screen);
  put(&depth, sizeof depth);
  put(&visual, sizeof visual);
  setup.length = static_cast<uint16_t>((b.size() - 8) / 4);
  std::memcpy(b.data(), &setup, sizeof setup);
  change(b);
  return ReadSetup(reinterpret_cast<xcb_setup_t *>(b.data()), 0, p);
}

xcb_setup_t &HeaderOf(std::vector<BYTE> &b) {
  return *reinterpret_cast<xcb_setup_t *>(b.data());
}

TEST(X11Setup, ReadsOnlyWhatLiesWithinTheSetup) {
  const struct {
    const char *what;
    void (*change)(std::vector<BYTE> &);
    bool ok;
  } cases[] = {
      {"as sent", [](std::vector<BYTE> &) {}, true},
      {"a length short of the visual",
       [](std::vector<BYTE> &b) { HeaderOf(b).length -= 6; }, false},
      {"a length short of the header itself",
       [](std::vector<BYTE> &b) { HeaderOf(b).length = 2; }, false},
      {"more formats than there are bytes",
       [](std::vector<BYTE> &b) { HeaderOf(b).pixmap_formats_len = 255; },
       false},
      {"a vendor string past the end",
       [](std::vector<BYTE> &b) { HeaderOf(b).vendor_len = 0xFFFF; }, false},
      {"a second screen that is not there",
       [](std::vector<BYTE> &b) { HeaderOf(b).roots_len = 2; }, false},
      {"no resource id bits",
       [](std::vector<BYTE> &b) { HeaderOf(b).resource_id_mask = 0; }, false},
      {"resource id bits with a hole",
       [](std::vector<BYTE> &b) { HeaderOf(b).resource_id_mask = 0x001EFFFF; },
       false},
      {"a bitmap unit of 7 bits",
       [](std::vector<BYTE> &b) {
         HeaderOf(b).bitmap_format_scanline_unit = 7;
       },
       false},
      {"a scanline pad of 12 bits",
       [](std::vector<BYTE> &b) { b[sizeof(xcb_setup_t) + 4 + 2] = 12; },
       false},
  };
  for (const auto &c : cases) {
    ScreenSetup s;
    std::vector<BYTE> bytes;
    EXPECT_EQ(ReadChangedSetup(c.change, bytes, &s), c.ok) << c.what;
    if (!c.ok) continue;
    ASSERT_TRUE(s.screen && s.visual && s.format) << c.what;
    EXPECT_EQ(s.screen->width_in_pixels, 1024) << c.what;
    EXPECT_EQ(s.visual->red_mask, 0xFF0000u) << c.what;
    EXPECT_EQ(s.format->bits_per_pixel, 32) << c.what;
  }
}

TEST(KWinPixels, EveryFormatReadsAsBlueGreenRedZero) {
  // Red 0x11, green 0x22, blue 0x33 in each format, as KWin's memory holds
  // it: words of `size` bytes in the machine's own order (1: bytes), each
  // word's bytes different.
  const struct {
    uint32_t format;
    size_t size;
    std::vector<uint32_t> words;
  } cases[] = {
      {kRGB32, 4, {0xFF112233}},
      {kARGB32Premultiplied, 4, {0x80112233}},
      {kRGBX8888, 1, {0x11, 0x22, 0x33, 0xFF}},
      {kRGB888, 1, {0x11, 0x22, 0x33}},
      {kBGR888, 1, {0x33, 0x22, 0x11}},
      // 2-10-10-10 with each channel's 8 bits on top of its 10.
      {kRGB30, 4, {0xC44220CC}},
      {kBGR30, 4, {0xCCC22044}},
      {kRGBX64, 2, {0x1122, 0x2233, 0x3344, 0xFFFF}},
  };
  for (const auto &c : cases) {
    std::vector<BYTE> bytes;
    for (uint32_t w : c.words) {
      uint16_t half = static_cast<uint16_t>(w);
      BYTE byte = static_cast<BYTE>(w);
      BYTE *p = static_cast<BYTE *>(c.size == 4   ? &w
                                    : c.size == 2 ? &half
                                                  : static_cast<void *>(&byte));
      bytes.insert(bytes.end(), p, p + c.size);
    }
    ASSERT_EQ(KWinBytesPerPixel(c.format), bytes.size()) << c.format;
    BYTE out[4] = {1, 1, 1, 1};
    ConvertKWinRow(c.format, bytes.data(), out, 1);
    EXPECT_EQ(std::vector<BYTE>(out, out + 4),
              (std::vector<BYTE>{0x33, 0x22, 0x11, 0}))
        << "format " << c.format;
  }
  EXPECT_EQ(KWinBytesPerPixel(3), 0u);  // Mono: not read
}

void ReadSecondPage(void *pv) {
  volatile BYTE b = static_cast<const BYTE *>(pv)[sysconf(_SC_PAGESIZE)];
  static_cast<void>(b);
}

// Sealed, the cut is refused; unsealed, the read of the page gone fails
// alone, and so does the next.
TEST(SharedPages, ACutIsRefusedOrFailsTheReadAlone) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (bool sealed : {true, false, false}) {
    int fd = sealed ? MakeSharedMemory("test", 2 * page)
                    : memfd_create("test", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(2 * page)), 0);
    void *p = mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(page)) == 0, !sealed);
    EXPECT_EQ(ReadSharedPages(ReadSecondPage, p), sealed);
    munmap(p, 2 * page);
    close(fd);
  }
}

}  // namespace
