// The descriptor soft limit rises to the hard limit.
#include "server/hosting/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace mdl::service {
namespace {

TEST(DescriptorLimit, SoftLimitRisesToTheHardLimit) {
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  ASSERT_GT(files.rlim_max, 64u);
  const rlim_t hard = files.rlim_max;
  files.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);

  const DescriptorLimit raised = RaiseDescriptorLimit();
  EXPECT_TRUE(raised.ok);
  EXPECT_EQ(raised.before, 64u);
  EXPECT_EQ(raised.after, hard);
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  EXPECT_EQ(files.rlim_cur, hard);
  EXPECT_EQ(files.rlim_max, hard) << "the hard limit must stay";

  const DescriptorLimit again = RaiseDescriptorLimit();
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(again.before, hard);
  EXPECT_EQ(again.after, hard);
}

}  // namespace
}  // namespace mdl::service
