// The access lists as the engine publishes them for hosts that accept
// connections of their own: absent while everyone is allowed, the lists in
// force after a start or a reload.
#include <boost/asio/ip/address.hpp>
#include <string>

#include "engine_fixture.h"

namespace mdl::testing {
namespace {

class SharedAccessTest : public EngineFixture {};

TEST_F(SharedAccessTest, SnapshotsCarryTheListsInForce) {
  const auto a = [](const char* text) { return boost::asio::ip::make_address(text); };
  WriteSettings("\"DenyNetworks\"=\"127.0.0.2/32\"\n");
  StartEngine();
  SnapshotPtr s = Snap();
  ASSERT_TRUE(s->access);
  EXPECT_FALSE(s->access->Allows(a("127.0.0.2")));
  EXPECT_TRUE(s->access->Allows(a("127.0.0.1")));

  WriteSettings("\"AllowNetworks\"=\"192.0.2.0/24\"\n");
  Do(cmd::ReloadSettings{});
  s = Snap();
  ASSERT_TRUE(s->access);
  EXPECT_FALSE(s->access->Allows(a("127.0.0.1")));
  EXPECT_TRUE(s->access->Allows(a("192.0.2.9")));

  WriteSettings();
  Do(cmd::ReloadSettings{});
  EXPECT_FALSE(Snap()->access) << "no lists: nothing to ask";
}

}  // namespace
}  // namespace mdl::testing
