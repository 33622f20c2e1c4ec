// A test fixture that runs each test in a fresh, empty current directory
// and frees what the last run against the fake platform kept.
#ifndef TUSAK_TESTS_FAKE_IN_TEMP_DIR_H
#define TUSAK_TESTS_FAKE_IN_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "fake/fake_platform.h"

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tusak-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    FakeReset(FakeScreen());
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_, old_;
};

#endif
