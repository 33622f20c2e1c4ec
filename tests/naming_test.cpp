// The name search in a real directory, and the run's refusal to replace the
// file that the search falls back on.
#include "naming/naming.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/notices.h"
#include "fake/fake_platform.h"
#include "fake/in_temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string Name(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "tusak%04d.bmp", n);
  return buf;
}

// A whole run, on a screen of 2 x 2 pixels.
void RunOnATinyScreen() {
  FakeScreen screen;
  screen.width = screen.height = 2;
  screen.pixels.assign(4, 0x123456);
  FakeReset(screen);
  ASSERT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
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
  RunOnATinyScreen();
  EXPECT_EQ(g_fake.notices, Steps(6, 4, "Error: "));  // no file, no writes
  std::ifstream in(Name(9999));
  std::string content;
  in >> content;
  EXPECT_EQ(content, "9999");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 10000);
}

// Something at a name that the probe cannot open, or that it opens but
// creation refuses, costs only that name: the screenshot is saved under the
// next free one, with no notice, and what was there is left as it was.
TEST_F(Search, PassesOverNamesInUseThatDoNotOpen) {
  enum Kind { kFile, kLink, kDir, kFifo, kSocket, kUnreadable };
  struct Row {
    const char *what;
    std::vector<std::pair<int, Kind>> present;
    int chosen;  // -1: nothing could be created
  } rows[] = {
      {"a dangling symbolic link", {{0, kLink}}, 1},
      {"links in a row", {{0, kLink}, {1, kLink}, {2, kLink}, {4, kLink}}, 3},
      {"a directory", {{0, kDir}}, 1},
      {"a FIFO, which must not block the probe", {{0, kFifo}}, 1},
      {"a socket", {{0, kSocket}}, 1},
      {"a file of mode 000", {{0, kUnreadable}}, 1},
      {"a link at 9998", {{9998, kLink}}, 9999},
      {"links at 9998 and 9999", {{9998, kLink}, {9999, kLink}}, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    for (const auto &e : fs::directory_iterator(".")) fs::remove_all(e.path());
    for (auto [n, kind] : row.present) {
      std::string name = Name(n);
      if (n >= 9998) Take(0, 9997);
      switch (kind) {
        case kFile:
          std::ofstream(name) << n;
          break;
        case kLink:
          fs::create_symlink("target-" + name, name);
          break;
        case kDir:
          fs::create_directory(name);
          break;
        case kFifo:
          ASSERT_EQ(mkfifo(name.c_str(), 0666), 0);
          break;
        case kSocket: {
          int fd = socket(AF_UNIX, SOCK_STREAM, 0);
          sockaddr_un addr = {};
          addr.sun_family = AF_UNIX;
          std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s",
                        name.c_str());
          ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr),
                    0);
          close(fd);
          break;
        }
        case kUnreadable:
          std::ofstream(name) << n;
          fs::permissions(name, fs::perms::none);
          break;
      }
    }
    auto before = std::distance(fs::directory_iterator("."), {});

    RunOnATinyScreen();

    if (row.chosen < 0) {
      EXPECT_EQ(g_fake.notices, Steps(6, 4, "Error: "));
      EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), before);
    } else {
      EXPECT_TRUE(g_fake.notices.empty());
      EXPECT_EQ(fs::file_size(Name(row.chosen)), 54u + 2 * 2 * 4);
      EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), before + 1);
    }
    for (auto [n, kind] : row.present) {  // left as they were
      fs::file_status st = fs::symlink_status(Name(n));
      EXPECT_EQ(st.type(), kind == kLink     ? fs::file_type::symlink
                           : kind == kDir    ? fs::file_type::directory
                           : kind == kFifo   ? fs::file_type::fifo
                           : kind == kSocket ? fs::file_type::socket
                                             : fs::file_type::regular)
          << Name(n);
      if (kind == kLink) {
        EXPECT_FALSE(fs::exists("target-" + Name(n)));
      }
      if (kind == kUnreadable) {
        EXPECT_EQ(st.permissions(), fs::perms::none);
      }
    }
  }
}

}  // namespace
