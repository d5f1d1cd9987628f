// ExecutablePath: the running test binary itself, absolute.
#include <gtest/gtest.h>

#include "common/files/executable_path.h"

namespace mdl::files {
namespace {

TEST(ExecutablePath, IsThisTestBinary) {
  const std::filesystem::path exe = ExecutablePath();
  EXPECT_TRUE(exe.is_absolute()) << exe;
  EXPECT_EQ(exe.filename(), "files_tests");
  EXPECT_TRUE(std::filesystem::is_regular_file(exe));
}

}  // namespace
}  // namespace mdl::files
