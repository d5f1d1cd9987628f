// A folder of its own for each test, removed at its end.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace mdl::test {

class WinTempDir {
 public:
  WinTempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            (std::string("mdl-") + info->test_suite_name() + "-" + info->name());
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_);
  }
  ~WinTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace mdl::test
