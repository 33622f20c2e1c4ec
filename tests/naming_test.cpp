// The name search in a real directory, and the run's refusal to replace the
// file that the search falls back on.
#include "naming/naming.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "fake/in_temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string Name(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "tusak%04d.bmp", n);
  return buf;
}

class Search : public InTempDir {
 protected:
  void Take(int first, int last) {
    for (int n = first; n <= last; ++n) std::ofstream(Name(n)) << n;
  }
  std::string Find() {
    char name[14] = "tusak0000.bmp";
    FindFreeFileName(name);
    EXPECT_EQ(name[13], '\0');
    return name;
  }
};

TEST_F(Search, ChoosesTheLowestFreeNumber) {
  struct Row {
    std::vector<std::pair<int, int>> taken;  // ranges of names present
    std::vector<std::string> others;         // names off the pattern
    int chosen;
  } rows[] = {
      {{}, {}, 0},
      {{{0, 4}}, {}, 5},
      {{{1, 1}}, {}, 0},  // the first gap, not the number after the highest
      {{{0, 9}}, {}, 10},
      {{{0, 99}, {101, 200}}, {}, 100},
      {{{0, 999}}, {}, 1000},
      {{{0, 2}, {4, 6}}, {}, 3},
      {{},
       {"tusak00000.bmp", "tusak0000.png", "tusak0000.bmp.bak",
        "xtusak0000.bmp", "tusak0000"},
       0},
      {{{0, 9998}}, {}, 9999},
      {{{0, 9999}}, {}, 9999},
  };
  for (const Row &row : rows) {
    for (const auto &e : fs::directory_iterator(".")) fs::remove(e.path());
    for (auto [first, last] : row.taken) Take(first, last);
    for (const std::string &o : row.others) std::ofstream(o) << "other";
    EXPECT_EQ(Find(), Name(row.chosen));
  }
}

// Once 0000 to 9998 are taken every run picks 9999; an existing 9999 is
// kept whole and the run says it could not create the file.
TEST_F(Search, NeverReplacesTheLastName) {
  Take(0, 9999);
  FakeScreen screen;
  screen.width = screen.height = 2;
  screen.pixels.assign(4, 0x123456);
  FakeReset(screen);
  ASSERT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(g_fake.notices,
            (std::vector<std::string>{"Error: CreateFile", "Error: error",
                                      "Error: error", "Error: error"}));
  std::ifstream in(Name(9999));
  std::string content;
  in >> content;
  EXPECT_EQ(content, "9999");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 10000);
}

}  // namespace
