// The notices a run can show, in the order of their steps, as notices.txt
// beside this file lists them for every suite.
#ifndef TUSAK_TESTS_COMMON_NOTICES_H
#define TUSAK_TESTS_COMMON_NOTICES_H

#include <fstream>
#include <string>
#include <vector>

// count of them from the first-th on (0: hbmScreen), each with prefix.
inline std::vector<std::string> Steps(std::size_t first, std::size_t count,
                                      const std::string &prefix = "") {
  std::ifstream in(TUSAK_TESTS_DIR "/common/notices.txt");
  std::vector<std::string> all, steps;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') all.push_back(prefix + line);
  for (std::size_t i = first; i < first + count && i < all.size(); ++i)
    steps.push_back(all[i]);
  return steps;
}

#endif
