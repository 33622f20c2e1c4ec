// The whole run against the fake platform: the header record, the file's
// bytes as an independent reader sees them, the notices and the call order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bmpfile/bmpfile.h"
#include "common/notices.h"
#include "fake/fake_platform.h"
#include "fake/in_temp_dir.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

using Capture = InTempDir;

FakeScreen MakeScreen(int width, int height, int bitsPixel, int planes = 1) {
  FakeScreen s;
  s.width = width;
  s.height = height;
  s.bitsPixel = bitsPixel;
  s.planes = planes;
  std::mt19937 rng(width * 131 + height * 7 + bitsPixel);
  if (bitsPixel <= 8 && bitsPixel >= 1)
    for (int i = 0; i < (1 << bitsPixel); ++i)
      s.palette.push_back(rng() & 0xFFFFFF);
  for (int i = 0; i < width * height; ++i)
    s.pixels.push_back(bitsPixel <= 8 ? rng() % (1u << bitsPixel)
                                      : rng() & 0xFFFFFF);
  return s;
}

int RunTusak() { return WinMain(nullptr, nullptr, nullptr, 0); }

std::vector<unsigned char> ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

unsigned U32(const std::vector<unsigned char> &b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | unsigned(b[at + 3]) << 24;
}

// The file as Pillow reads it: "BMP width height", then RGB rows as hex.
std::vector<std::string> ReadWithPillow(const fs::path &path) {
  std::string cmd = "/usr/bin/python3 " TUSAK_TESTS_DIR "/common/bmp.py '" +
                    path.string() + "' 2>&1";
  std::vector<std::string> lines;
  FILE *p = popen(cmd.c_str(), "r");
  std::string line;
  for (int c; (c = std::fgetc(p)) != EOF;)
    if (c == '\n')
      lines.push_back(line), line.clear();
    else
      line += static_cast<char>(c);
  pclose(p);
  return lines;
}

// What the screen's row looks like to a reader, as RGB hex.
std::string ExpectedRow(const FakeScreen &s, int y) {
  std::string hex;
  char buf[32];
  for (int x = 0; x < s.width; ++x) {
    std::uint32_t v = s.pixels[std::size_t(y) * s.width + x];
    if (s.bitsPixel <= 8) v = s.palette[v];
    unsigned r = v >> 16 & 255, g = v >> 8 & 255, b = v & 255;
    if (s.bitsPixel == 16)  // 5 bits a channel, widened as readers do
      r = (r >> 3) * 255 / 31, g = (g >> 3) * 255 / 31, b = (b >> 3) * 255 / 31;
    std::snprintf(buf, sizeof buf, "%02x%02x%02x", r, g, b);
    hex += buf;
  }
  return hex;
}

// The grab's calls, the description's, the name's, the cursor's and the
// writer's.
// clang-format off
const std::vector<std::string> kCleanRun = {
    "GetModuleHandleA", "GetProcAddress", "SetProcessDpiAwarenessContext",
    "CreateDCA DISPLAY", "CreateCompatibleDC", "GetDeviceCaps",
    "GetDeviceCaps", "CreateCompatibleBitmap", "SelectObject",
    "GetDeviceCaps", "GetDeviceCaps", "BitBlt",
    "GetObjectA", "LocalAlloc",
    "ProbeFileName",
    "ShowCursor 0",
    "GlobalAlloc", "GetDIBits", "CreateFileA", "WriteFile", "WriteFile",
    "WriteFile", "CloseHandle", "GlobalFree"};
// clang-format on

// The call names alone, without their arguments (ShowCursor keeps its one).
std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const std::string &c : g_fake.calls)
    names.push_back(c.rfind("ShowCursor", 0) == 0 ||
                            c.rfind("CreateDCA", 0) == 0
                        ? c
                        : c.substr(0, c.find(' ')));
  return names;
}

TEST_F(Capture, DescribesTheBitmapByItsRoundedDepth) {
  struct Row {
    int planes, bits, width, height;
    long clrUsed, recordBytes, sizeImage;
    int biWidth, biHeight;  // as described
  } rows[] = {
      {1, 32, 1920, 1080, 0, 40, 8294400, 1920, 1080},
      {1, 24, 1366, 768, 0, 40, 3148800, 1366, 768},
      {1, 16, 1024, 768, 65536, 262184, 1572864, 1024, 768},
      {1, 8, 800, 600, 256, 1064, 480000, 800, 600},
      {1, 1, 1, 1, 2, 48, 4, 1, 1},
      {1, 2, 7, 3, 16, 104, 12, 7, 3},  // 2 and 3 round to 4
      {1, 3, 7, 3, 16, 104, 12, 7, 3},
      {1, 4, 9, 2, 16, 104, 16, 9, 2},
      {1, 5, 5, 1, 256, 1064, 8, 5, 1},       // 5 to 8 round to 8
      {1, 9, 3, 2, 65536, 262184, 16, 3, 2},  // 9 to 16 round to 16
      {1, 15, 3, 2, 65536, 262184, 16, 3, 2},
      {1, 17, 3, 2, 0, 40, 24, 3, 2},  // 17 to 24 round to 24
      {1, 24, 3, 2, 0, 40, 24, 3, 2},
      {1, 25, 3, 2, 0, 40, 24, 3, 2},  // above 24 rounds to 32
      {1, 4, 1, 1, 16, 104, 4, 1, 1},
      {2, 8, 3, 2, 65536, 262184, 16, 3, 2},  // planes times bits
      // Pixels the format cannot count in 32 bits: an empty image.
      {1, 32, 32768, 32768, 0, 40, 0, 0, 0},
      // Zero planes would let 32-bit rows overrun 4-bit ones: empty.
      {0, 32, 64, 64, 16, 104, 0, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.planes) + "x" + std::to_string(row.bits) +
                 " " + std::to_string(row.width));
    FakeReset(MakeScreen(0, 0, row.bits, row.planes));
    HBITMAP hbm = CreateCompatibleBitmap(CreateDCA("DISPLAY", 0, 0, 0),
                                         row.width, row.height);
    const BITMAPINFOHEADER &h = DescribeBitmap(hbm)->bmiHeader;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, row.biWidth);
    EXPECT_EQ(h.biHeight, row.biHeight);
    EXPECT_EQ(h.biPlanes, row.planes);
    EXPECT_EQ(h.biBitCount, row.bits);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, unsigned(row.sizeImage));
    EXPECT_EQ(h.biClrUsed, unsigned(row.clrUsed));
    EXPECT_EQ(h.biClrImportant, 0u);
    EXPECT_EQ(g_fake.calls.back(),
              "LocalAlloc 64 " + std::to_string(row.recordBytes));
    EXPECT_TRUE(g_fake.notices.empty());
  }
}

TEST_F(Capture, ReaderSeesTheScreenAtEveryDepth) {
  struct Row {
    int bits, width, height;
    long clrUsedAfterFetch;  // -1: the fetch leaves it as built
    unsigned offBits;
  } rows[] = {
      {1, 13, 5, -1, 62},
      {4, 13, 5, -1, 118},
      {8, 13, 5, -1, 1078},
      {16, 13, 5, -1, 262198},
      {24, 13, 5, -1, 54},
      {32, 13, 5, -1, 54},
      // Fetches that clear biClrUsed still give a full colour table.
      {1, 9, 3, 0, 62},
      {4, 9, 3, 0, 118},
      {8, 9, 3, 0, 1078},
      {16, 9, 3, 0, 54},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.bits) + " bits, biClrUsed after fetch " +
                 std::to_string(row.clrUsedAfterFetch));
    fs::remove("tusak0000.bmp");
    FakeScreen screen = MakeScreen(row.width, row.height, row.bits);
    FakeReset(screen);
    g_fake.clrUsedAfterFetch = row.clrUsedAfterFetch;
    ASSERT_EQ(RunTusak(), 0);
    EXPECT_TRUE(g_fake.notices.empty());

    std::vector<unsigned char> file = ReadAll("tusak0000.bmp");
    ASSERT_GE(file.size(), 54u);
    unsigned stride = (row.width * row.bits + 31) / 32 * 4;
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(U32(file, 2), file.size());
    EXPECT_EQ(U32(file, 6), 0u);
    EXPECT_EQ(U32(file, 10), row.offBits);
    EXPECT_EQ(U32(file, 14), 40u);  // the info header little-endian too
    EXPECT_EQ(U32(file, 34), stride * row.height);
    EXPECT_EQ(file.size(), row.offBits + stride * row.height);

    std::vector<std::string> seen = ReadWithPillow("tusak0000.bmp");
    ASSERT_EQ(seen.size(), std::size_t(row.height) + 1) << seen[0];
    EXPECT_EQ(seen[0], "BMP " + std::to_string(row.width) + " " +
                           std::to_string(row.height));
    for (int y = 0; y < row.height; ++y)
      EXPECT_EQ(seen[y + 1], ExpectedRow(screen, y)) << "row " << y;
  }
}

TEST_F(Capture, EachFailureShowsItsNoticeInStepOrderAndTheRunGoesOn) {
  struct Row {
    std::set<std::string> failing;
    std::vector<std::string> notices;
    long fileBytes;  // -1: no file
  } rows[] = {
      {{}, {}, 54 + 8 * 8 * 4},
      // A failed bitmap takes the selection, the query and the fetch down
      // with it; the copy lands in the memory context's stock bitmap.
      {{"CreateCompatibleBitmap"},
       {"hbmScreen", "Compatible Bitmap Selection", "error", "GetDIBits"},
       14 + 40 + 16 * 4},
      {{"SelectObject"}, {"Compatible Bitmap Selection"}, 54 + 8 * 8 * 4},
      {{"BitBlt"}, {"Screen to Compat Blt Failed"}, 54 + 8 * 8 * 4},
      // A failed query describes an empty image, which the fetch refuses.
      {{"GetObjectA"}, {"error", "GetDIBits"}, 14 + 40 + 16 * 4},
      // No record could be had: an empty one without a palette stands in.
      {{"LocalAlloc"}, {"GetDIBits"}, 54},
      // Without a buffer nothing is written for the pixels.
      {{"GlobalAlloc"}, {"GlobalAlloc", "error"}, 54},
      {{"GetDIBits"}, {"GetDIBits"}, 54 + 8 * 8 * 4},
      // No file: its creation's notice, then the three writes' (and the
      // closing's).
      {{"CreateFileA"}, Steps(6, 4), -1},
      {{"CreateFileA", "CloseHandle"}, Steps(6, 5), -1},
      {{"WriteFile#1"}, {"error"}, 40 + 8 * 8 * 4},
      {{"WriteFile#2"}, {"error"}, 14 + 8 * 8 * 4},
      {{"WriteFile#3"}, {"error"}, 54},
      {{"CloseHandle"}, {"error"}, 54 + 8 * 8 * 4},
      // Done but short is failed too.
      {{"ShortWrite#1"}, {"error"}, 7 + 40 + 8 * 8 * 4},
      {{"ShortWrite#3"}, {"error"}, 54 + 8 * 8 * 2},
      {{"CreateCompatibleBitmap", "SelectObject", "BitBlt", "GetObjectA",
        "LocalAlloc", "GlobalAlloc", "GetDIBits", "CreateFileA", "WriteFile#1",
        "WriteFile#2", "WriteFile#3", "CloseHandle"},
       Steps(0, 11),  // every one
       -1},
  };
  for (const Row &row : rows) {
    std::string name;
    for (const std::string &f : row.failing) name += f + " ";
    SCOPED_TRACE("failing: " + name);
    fs::remove("tusak0000.bmp");
    FakeReset(MakeScreen(8, 8, 32));
    g_fake.failing = row.failing;
    ASSERT_EQ(RunTusak(), 0);

    std::vector<std::string> expected;
    for (const std::string &t : row.notices) expected.push_back("Error: " + t);
    EXPECT_EQ(g_fake.notices, expected);
    for (const std::string &c : g_fake.calls)  // each box is a plain MB_OK
      if (c.rfind("MessageBoxA", 0) == 0) {
        EXPECT_EQ(c.back(), '0') << c;
      }
    EXPECT_FALSE(g_fake.nullBufferWritten);
    // Every stage ran, in order, with the cursor hidden once before the
    // writer (MessageBoxA calls left aside).
    std::vector<std::string> names;
    for (const std::string &c : CallNames())
      if (c != "MessageBoxA") names.push_back(c);
    std::vector<std::string> expectedCalls = kCleanRun;
    if (row.failing.count("GlobalAlloc"))  // no buffer: no pixel write
      expectedCalls.erase(expectedCalls.end() - 3);
    EXPECT_EQ(names, expectedCalls);

    std::error_code ec;
    auto size = fs::file_size("tusak0000.bmp", ec);
    EXPECT_EQ(ec ? -1 : long(size), row.fileBytes);
    if (row.failing == std::set<std::string>{"GetDIBits"}) {
      // No stale memory in the file: the rows of a failed fetch are black.
      std::vector<unsigned char> file = ReadAll("tusak0000.bmp");
      EXPECT_EQ(std::count(file.begin() + 54, file.end(), 0),
                long(file.size()) - 54);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator("."), {}),
              row.fileBytes < 0 ? 0 : 1);
  }
}

TEST_F(Capture, PassesTheStagesWhatTheyNeed) {
  FakeReset(MakeScreen(1366, 768, 24));
  ASSERT_EQ(RunTusak(), 0);
  auto has = [](const std::string &call) {
    for (const std::string &c : g_fake.calls)
      if (c == call) return true;
    return false;
  };
  EXPECT_TRUE(has("CreateCompatibleBitmap 1366x768"));
  EXPECT_TRUE(has("BitBlt 1366x768 13369376"));  // SRCCOPY
  EXPECT_TRUE(has("GetDIBits 768"));
  EXPECT_TRUE(has("GlobalAlloc 0 3148800"));
  // Read-write, not shared, only if new, normal attributes.
  EXPECT_TRUE(has("CreateFileA tusak0000.bmp 3221225472 0 1 128"));
  EXPECT_TRUE(has("WriteFile 3148800"));
  EXPECT_EQ(fs::file_size("tusak0000.bmp"), 3148854u);
}

// The screen is copied before the name is chosen, and the cursor hidden
// after it: a file that appears at either moment shows which name the
// search had already settled on. One that appears after the search (a launch
// running alongside) costs only the name: the next one is used.
TEST_F(Capture, CopiesTheScreenBeforeTheSearchAndHidesTheCursorAfterIt) {
  struct Row {
    const char *when;
    std::vector<std::string> notices;
    const char *written;
  } rows[] = {
      {"BitBlt", {}, "tusak0001.bmp"},
      {"ShowCursor", {}, "tusak0001.bmp"},
      {"CreateFileA", {}, "tusak0001.bmp"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.when);
    for (const auto &e : fs::directory_iterator(".")) fs::remove(e.path());
    FakeReset(MakeScreen(4, 4, 32));
    std::string when = row.when;
    g_fake.onCall = [when](const std::string &call) {
      if (call == when) std::ofstream("tusak0000.bmp") << "not ours";
    };
    ASSERT_EQ(RunTusak(), 0);
    EXPECT_EQ(g_fake.notices, row.notices);
    EXPECT_EQ(fs::file_size("tusak0000.bmp"), 8u);  // never replaced
    EXPECT_EQ(fs::file_size(row.written), 54u + 4 * 4 * 4);
  }
}

// On a display scaled to 150 % a process that is not DPI aware is told 2/3
// of the size, while the copy is in physical pixels: the run declares itself
// aware first, by whichever call the system has, so the file holds the whole
// screen.
TEST_F(Capture, DeclaresItselfDpiAwareBeforeMakingTheDisplayContext) {
  struct Row {
    std::set<std::string> procs, failing;
    const char *declared;  // the call that made the process aware, if any
    int width, height;     // of the file
  } rows[] = {
      // clang-format off
      {{"SetProcessDpiAwarenessContext", "SetProcessDPIAware"}, {},
       "SetProcessDpiAwarenessContext -4", 12, 6},
      {{"SetProcessDPIAware"}, {}, "SetProcessDPIAware", 12, 6},
      // A system that has the call but not the awareness asked for.
      {{"SetProcessDpiAwarenessContext", "SetProcessDPIAware"},
       {"SetProcessDpiAwarenessContext"}, "SetProcessDPIAware", 12, 6},
      // Nothing to call: no notice, and the size the system tells.
      {{}, {}, nullptr, 8, 4},
      // clang-format on
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.declared ? row.declared : "neither");
    fs::remove("tusak0000.bmp");
    FakeScreen screen = MakeScreen(12, 6, 32);
    screen.scalePercent = 150;
    FakeReset(screen);
    g_fake.user32Procs = row.procs;
    g_fake.failing = row.failing;
    ASSERT_EQ(RunTusak(), 0);
    EXPECT_TRUE(g_fake.notices.empty());

    auto at = [](const std::string &call) {
      return std::find(g_fake.calls.begin(), g_fake.calls.end(), call) -
             g_fake.calls.begin();
    };
    if (row.declared) {
      EXPECT_LT(at(row.declared), at("CreateDCA DISPLAY"));
    }
    EXPECT_TRUE(g_fake.dpiAware == (row.declared != nullptr));

    std::vector<std::string> seen = ReadWithPillow("tusak0000.bmp");
    ASSERT_EQ(seen.size(), std::size_t(row.height) + 1) << seen[0];
    EXPECT_EQ(seen[0], "BMP " + std::to_string(row.width) + " " +
                           std::to_string(row.height));
    for (int y = 0; y < row.height; ++y)
      EXPECT_EQ(seen[y + 1], ExpectedRow(screen, y).substr(0, 6 * row.width))
          << "row " << y;
  }
}

}  // namespace
