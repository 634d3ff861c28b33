// A test fixture for the shared run support: temp folder, captured output,
// fixed clock, restored state.
#ifndef KORV_SHARED_RUN_RUN_TEST_FIXTURE_H_
#define KORV_SHARED_RUN_RUN_TEST_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/time/moment.h"
#include "shared/time/stopwatch.h"
#include "testing/test_process.h"

namespace korv {

// The clock the tests set; ReadLocalClock returns it while a test runs.
inline LocalClock g_test_now;

inline LocalClock TestClock() { return g_test_now; }

// Sets the test clock (the weekday is not used by the texts here).
inline void SetTestNow(int year, int month, int day, int hour, int minute,
                       int second, int hundredths) {
  g_test_now =
      LocalClock{year, month, day, 0, hour, minute, second, hundredths};
}

// Splits captured output into its lines (without line ends).
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_folder_ = std::filesystem::current_path();
    for (const char* name : kEnvNames) {
      const char* value = std::getenv(name);
      saved_env_.emplace_back(name, value != nullptr
                                        ? std::optional<std::string>(value)
                                        : std::nullopt);
    }
    dir_ = MakeTempFolder();
    ASSERT_FALSE(dir_.empty());
    ResetRunState();
    TEST_ResetProtocol();
    TEST_ResetStopwatches();
    TEST_ResetMoments();
    SetTestNow(2021, 1, 13, 9, 30, 15, 0);
    TEST_SetClock(TestClock);
    keys_.clear();
    TEST_SetKeyInput(&keys_);
    TEST_CaptureOutput(&out_);
  }

  void TearDown() override {
    TEST_CaptureOutput(nullptr);
    TEST_SetKeyInput(nullptr);
    TEST_SetClock(nullptr);
    TEST_ResetProtocol();
    std::filesystem::current_path(start_folder_);
    for (const auto& [name, value] : saved_env_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    for (const std::string& mount : mounts_) Unmount(mount);
    RemoveTree(dir_);
  }

  // Sets or (with nullptr) removes one of the home candidates.
  static void SetEnv(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }

  // Removes every home candidate, so a test sets exactly what it needs.
  static void ClearHomeEnv() {
    for (const char* name : kEnvNames) unsetenv(name);
  }

  // Mounts a tmpfs at dir_/name; false (with the reason) when it cannot.
  bool MountScratch(const std::string& name, long long size, std::string* why) {
    std::string path = dir_ + "/" + name;
    std::filesystem::create_directory(path);
    if (!MountTmpfs(path, size, why)) return false;
    mounts_.push_back(path);
    return true;
  }

  // Returns the files and folders of a folder, sorted.
  std::vector<std::string> Entries(const std::string& path) {
    return ListFolder(path);
  }

  static constexpr const char* kEnvNames[] = {"HOME", "temp", "tmp", "TEMP",
                                              "TMP"};

  std::string dir_;
  std::string out_;
  std::string keys_;
  std::filesystem::path start_folder_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
  std::vector<std::string> mounts_;
};

}  // namespace korv

#endif  // KORV_SHARED_RUN_RUN_TEST_FIXTURE_H_
