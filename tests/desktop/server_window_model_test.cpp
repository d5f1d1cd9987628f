// The server window's model: what the controls show for snapshots, and the
// commands the operator's actions post.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/time/clock_box_text.h"
#include "desktop/model/image_numbers.h"
#include "desktop/model/server_window_model.h"
#include "desktop/model/window_texts.h"
#include "tests/desktop/recording_ports.h"

namespace mdl::desktop {
namespace {

using namespace std::chrono_literals;
using testing::RecordingEngine;
using testing::ServerSnapshot;

constexpr size_t kSrc = static_cast<size_t>(Indicator::kSource);
constexpr size_t kIn = static_cast<size_t>(Indicator::kDataIn);
constexpr size_t kOut = static_cast<size_t>(Indicator::kDataOut);
constexpr size_t kTcp = static_cast<size_t>(Indicator::kTcpIn);

class ServerWindowModelTest : public ::testing::Test {
 protected:
  RecordingEngine engine_;
  ServerWindowModel model_{engine_};
  const ServerWindowView& view() const { return model_.view(); }
};

TEST_F(ServerWindowModelTest, BeforeAnySnapshotShowsTheProductAndPostsNothing) {
  EXPECT_EQ(view().caption, "Meridel Server");
  EXPECT_EQ(view().clock_text, " \n \n   Meridel Server 5110");
  EXPECT_EQ(view().tray_tip, " Meridel Server 5110");
  EXPECT_EQ(view().tray_picture, kImageServer);
  EXPECT_EQ(view().interval_unit, "Minute/s");
  EXPECT_EQ(view().selected_server, -1);
  // The clock does not move without a snapshot to move it from.
  model_.ClockTick(5s);
  EXPECT_EQ(view().clock_text, " \n \n   Meridel Server 5110");
  EXPECT_FALSE(model_.ApplySnapshot(nullptr, 0s));
  EXPECT_TRUE(engine_.posted.empty());
}

TEST_F(ServerWindowModelTest, SnapshotFillsEveryControl) {
  auto s = ServerSnapshot();
  s->services[Index(Service::kNtp)].boxes_enabled = false;
  s->services[Index(Service::kNtp)].tcp_box = false;
  s->services[Index(Service::kUnixTime)].last_requester = "192.0.2.7";
  s->services[Index(Service::kUnixTime)].last_requester_tooltip = " 1/15/2027 9:00:00 AM ";
  s->status_text = "Listening on UDP 123\r\nand TCP 123\rnow";
  s->status_line = "MDL Server is now Synchronized\r\n";
  s->servers_tooltip = " time.example.jp ";
  s->random = false;
  s->interval_count = "12";
  s->interval_unit = "Hour/s";
  s->last_ntp_millis = 7;
  EXPECT_FALSE(model_.ApplySnapshot(s, 1s));

  const ServicePanelView& ntp = view().panels[Index(Service::kNtp)];
  EXPECT_TRUE(ntp.enabled);
  EXPECT_FALSE(ntp.tcp);
  EXPECT_TRUE(ntp.udp);
  EXPECT_FALSE(ntp.transports_enabled);
  EXPECT_EQ(ntp.port_text, "102");
  EXPECT_EQ(ntp.port_tooltip, " Port 102 ");
  const ServicePanelView& unix_time = view().panels[Index(Service::kUnixTime)];
  EXPECT_EQ(unix_time.requester, "192.0.2.7");
  EXPECT_EQ(unix_time.requester_tooltip, " 1/15/2027 9:00:00 AM ");
  EXPECT_EQ(view().service_status, "Listening on UDP 123\nand TCP 123\nnow");
  EXPECT_EQ(view().status_line, "MDL Server is now Synchronized\n");
  ASSERT_EQ(view().servers.size(), 2u);
  EXPECT_EQ(view().servers[1], (ServerItemView{"time.example.jp", 66}));
  EXPECT_EQ(view().selected_server, 1);
  EXPECT_EQ(view().servers_tooltip, " time.example.jp ");
  EXPECT_FALSE(view().random);
  EXPECT_EQ(view().interval_count, "12");
  EXPECT_EQ(view().interval_unit, "Hour/s");
  EXPECT_EQ(view().caption, "NTPms 7");
  // Showing a snapshot posts nothing.
  EXPECT_TRUE(engine_.posted.empty());

  // A list position outside the list leaves the choice as it is.
  s = ServerSnapshot();
  s->selected_server = 9;
  model_.ApplySnapshot(s, 2s);
  EXPECT_EQ(view().selected_server, 1);
  // A new list starts at its first entry unless the snapshot names one of it; an empty one has none.
  s->servers.push_back({"time.example.de", 46});
  s->selected_server = 0;
  model_.ApplySnapshot(s, 3s);
  EXPECT_EQ(view().servers.size(), 3u);
  EXPECT_EQ(view().selected_server, 0);
  s->servers.push_back({"time.example.fr", 52});
  s->selected_server = 4;
  model_.ApplySnapshot(s, 4s);
  EXPECT_EQ(view().selected_server, 3);
  s->servers.clear();
  model_.ApplySnapshot(s, 5s);
  EXPECT_EQ(view().selected_server, -1);
}

TEST_F(ServerWindowModelTest, ClockBoxMovesOnFromTheSnapshotsTime) {
  auto s = ServerSnapshot();
  s->open_minimized = true;
  // The first snapshot asks to open minimised, once.
  EXPECT_TRUE(model_.ApplySnapshot(s, 100s));
  EXPECT_FALSE(model_.ApplySnapshot(s, 100s));
  EXPECT_EQ(view().clock_text, LabelText(ClockBoxText(s->taken_at, s->zone)));
  EXPECT_NE(view().clock_text.find("UTC JANUARY 15 2027 08:00:00 AM"), std::string::npos)
      << view().clock_text;
  EXPECT_EQ(view().clock_tooltip, " Time Zone: W. Europe Standard Time ");

  // Monotonic time since the snapshot came moves the shown time on.
  model_.ClockTick(103s);
  EXPECT_NE(view().clock_text.find("UTC JANUARY 15 2027 08:00:03 AM"), std::string::npos)
      << view().clock_text;
  // A later snapshot is the new base.
  auto later = ServerSnapshot();
  later->taken_at = s->taken_at + 1h;
  later->zone.daylight = true;
  model_.ApplySnapshot(later, 200s);
  model_.ClockTick(201s);
  EXPECT_NE(view().clock_text.find("UTC JANUARY 15 2027 09:00:01 AM"), std::string::npos)
      << view().clock_text;
  // The zone tooltip follows every tenth refresh only (the first snapshot's was one).
  EXPECT_EQ(view().clock_tooltip, " Time Zone: W. Europe Standard Time ");
  for (int i = 0; i < 6; ++i) model_.ClockTick(202s);
  EXPECT_EQ(view().clock_tooltip, " Time Zone: W. Europe Standard Time ");
  model_.ClockTick(203s);
  EXPECT_EQ(view().clock_tooltip, " Time Zone: W. Europe Daylight Time ");
}

TEST_F(ServerWindowModelTest, IndicatorsLightWhileShownAndGoDarkOnTheTick) {
  auto s = ServerSnapshot();
  s->indicators = Bit(Indicator::kDataIn) | Bit(Indicator::kTcpIn);
  s->query_pending = true;
  model_.ApplySnapshot(s, 0s);
  EXPECT_TRUE(view().indicators_lit[kIn]);
  EXPECT_TRUE(view().indicators_lit[kTcp]);
  EXPECT_FALSE(view().indicators_lit[kOut]);
  EXPECT_TRUE(view().indicators_lit[kSrc]);
  // Activity stays lit until the tick; a snapshot without it does not put it out.
  s->indicators = Bit(Indicator::kDataOut);
  model_.ApplySnapshot(s, 0s);
  EXPECT_TRUE(view().indicators_lit[kIn]);
  EXPECT_TRUE(view().indicators_lit[kOut]);
  model_.ClockTick(1s);
  EXPECT_FALSE(view().indicators_lit[kIn]);
  EXPECT_FALSE(view().indicators_lit[kOut]);
  EXPECT_FALSE(view().indicators_lit[kTcp]);
  // The source lamp follows the pending query, not the tick.
  EXPECT_TRUE(view().indicators_lit[kSrc]);
  s->query_pending = false;
  model_.ApplySnapshot(s, 2s);
  EXPECT_FALSE(view().indicators_lit[kSrc]);

  // Minimised, nothing lights.
  model_.SetShownNormal(false);
  s->indicators = Bit(Indicator::kDataIn);
  s->query_pending = true;
  model_.ApplySnapshot(s, 3s);
  EXPECT_FALSE(view().indicators_lit[kIn]);
  EXPECT_FALSE(view().indicators_lit[kSrc]);
}

TEST_F(ServerWindowModelTest, TrayFollowsTheTipWhileMinimised) {
  auto s = ServerSnapshot();
  s->tray_tip = " Checking Time Server: time.example.jp ";
  s->query_pending = true;
  model_.ApplySnapshot(s, 0s);
  // Shown normally: the tray keeps its tip and picture; a new tip puts the source lamp out.
  EXPECT_EQ(view().tray_tip, " Meridel Server 5110");
  EXPECT_EQ(view().tray_picture, kImageServer);
  EXPECT_FALSE(view().indicators_lit[kSrc]);

  // Minimised: "Checking" shows the chosen server's flag.
  model_.SetShownNormal(false);
  EXPECT_EQ(view().tray_tip, " Checking Time Server: time.example.jp ");
  EXPECT_EQ(view().tray_picture, 66);
  // "Adjusted" the server; "No Adjustment" and other tips keep the picture.
  s->tray_tip = " Adjusted by: 3 ms. ";
  model_.ApplySnapshot(s, 1s);
  EXPECT_EQ(view().tray_picture, kImageServer);
  EXPECT_EQ(view().tray_tip, " Adjusted by: 3 ms. ");
  model_.ServerChosen(0);
  s->tray_tip = " Checking Time Server: time.example.us ";
  s->selected_server = 1;
  model_.ApplySnapshot(s, 2s);
  EXPECT_EQ(view().tray_picture, 40);
  s->tray_tip = " No Adjustment: Checking ";
  model_.ApplySnapshot(s, 3s);
  EXPECT_EQ(view().tray_picture, 40);
  EXPECT_EQ(view().tray_tip, " No Adjustment: Checking ");
  // An empty tip shows the product line.
  s->tray_tip = "";
  model_.ApplySnapshot(s, 4s);
  EXPECT_EQ(view().tray_tip, " Meridel Server 5110");

  // Each change of the window's state posts the shown panel's service again.
  model_.SelectNode(ServiceNode(Service::kDaytime));
  engine_.posted.clear();
  model_.SetShownNormal(true);
  model_.SetShownNormal(false);
  auto shown = engine_.Of<cmd::ShowService>();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].service, Service::kDaytime);
}

TEST_F(ServerWindowModelTest, TreeNodesShowPanelsOrOpenWindows) {
  EXPECT_EQ(model_.SelectNode(kNodeRoot), NodeAction::kShowPanel);
  EXPECT_EQ(view().shown_service, Service::kTime);
  EXPECT_EQ(model_.SelectNode(ServiceNode(Service::kPrivate)), NodeAction::kShowPanel);
  EXPECT_EQ(view().shown_service, Service::kPrivate);
  EXPECT_EQ(view().shown_node, 6);
  auto shown = engine_.Of<cmd::ShowService>();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].service, Service::kTime);
  EXPECT_EQ(shown[1].service, Service::kPrivate);
  // About and the configuration open their windows; the panel stays; nothing is posted.
  engine_.posted.clear();
  EXPECT_EQ(model_.SelectNode(kNodeAbout), NodeAction::kOpenAbout);
  EXPECT_EQ(model_.SelectNode(kNodeConfig), NodeAction::kOpenConfig);
  EXPECT_EQ(model_.SelectNode(0), NodeAction::kNone);
  EXPECT_EQ(model_.SelectNode(kNodeCount + 1), NodeAction::kNone);
  EXPECT_EQ(view().shown_node, 6);
  EXPECT_TRUE(engine_.posted.empty());
}

TEST_F(ServerWindowModelTest, UnitListsEntryFollowsTheUnitShown) {
  // Before any snapshot the text is "Minute/s": the list stands there, not on its first entry.
  EXPECT_EQ(view().interval_unit_item, 1);
  // The schedule reads the first three characters: so does the list's entry.
  for (auto [text, item] :
       {std::pair{"Second/s", 0}, std::pair{"Hour/s", 2}, std::pair{"Day/s", 3}, std::pair{"Minutes/s", 1},
        std::pair{"Mi", -1}, std::pair{"minute/s", -1}, std::pair{"", -1}}) {
    auto s = ServerSnapshot();
    s->interval_unit = text;
    model_.ApplySnapshot(s, 1s);
    EXPECT_EQ(view().interval_unit, text);
    EXPECT_EQ(view().interval_unit_item, item) << text;
  }
  model_.IntervalEntered("3", "Hour/s");
  EXPECT_EQ(view().interval_unit_item, 2);
}

TEST_F(ServerWindowModelTest, ARegionWithoutServerLeavesNoEntryChosenUntilTheOperatorPicksOne) {
  auto s = ServerSnapshot();
  model_.ApplySnapshot(s, 1s);
  EXPECT_EQ(view().selected_server, 1);
  auto none = std::make_shared<EngineSnapshot>(*s);
  none->region = "AF";
  none->region_without_server = true;
  model_.ApplySnapshot(none, 2s);
  EXPECT_EQ(view().selected_server, -1) << "the entry of the old region stands for nothing";
  // The same region again: still none.
  model_.ApplySnapshot(std::make_shared<EngineSnapshot>(*none), 3s);
  EXPECT_EQ(view().selected_server, -1);
  // The operator's pick is kept while the region stays.
  model_.ServerChosen(0);
  auto picked = std::make_shared<EngineSnapshot>(*none);
  picked->selected_server = 1;
  model_.ApplySnapshot(picked, 4s);
  EXPECT_EQ(view().selected_server, 0);
  // A region with servers: the engine's choice shows.
  model_.ApplySnapshot(s, 5s);
  EXPECT_EQ(view().selected_server, 1);
}

TEST_F(ServerWindowModelTest, PanelActionsPostTheirCommands) {
  model_.ApplySnapshot(ServerSnapshot(), 0s);
  model_.EnableClicked(Service::kDaytime, false);
  // The transport boxes follow the Enabled box at once.
  EXPECT_FALSE(view().panels[Index(Service::kDaytime)].transports_enabled);
  EXPECT_FALSE(view().panels[Index(Service::kDaytime)].enabled);
  model_.TcpClicked(Service::kNtp, false);
  model_.UdpClicked(Service::kUnixTime, false);
  EXPECT_FALSE(view().panels[Index(Service::kNtp)].tcp);
  EXPECT_FALSE(view().panels[Index(Service::kUnixTime)].udp);
  auto enabled = engine_.Of<cmd::SetEnabled>();
  ASSERT_EQ(enabled.size(), 1u);
  EXPECT_EQ(enabled[0].service, Service::kDaytime);
  EXPECT_FALSE(enabled[0].on);
  ASSERT_EQ(engine_.Count<cmd::SetTcp>(), 1u);
  EXPECT_EQ(engine_.Of<cmd::SetTcp>()[0].service, Service::kNtp);
  ASSERT_EQ(engine_.Count<cmd::SetUdp>(), 1u);
  EXPECT_EQ(engine_.Of<cmd::SetUdp>()[0].service, Service::kUnixTime);

  // Port text is posted as typed; Enter registers it, except for the private protocol.
  model_.PortEdited(Service::kTime, "3700");
  EXPECT_EQ(view().panels[Index(Service::kTime)].port_text, "3700");
  model_.PortEnter(Service::kTime);
  model_.PortEdited(Service::kPrivate, "37774");
  model_.PortEnter(Service::kPrivate);
  auto texts = engine_.Of<cmd::SetPortText>();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].service, Service::kTime);
  EXPECT_EQ(texts[0].text, "3700");
  EXPECT_EQ(texts[1].text, "37774");
  auto enters = engine_.Of<cmd::PortEnter>();
  ASSERT_EQ(enters.size(), 1u);
  EXPECT_EQ(enters[0].service, Service::kTime);
}

TEST_F(ServerWindowModelTest, SynchronisationActionsPostTheirCommands) {
  model_.ApplySnapshot(ServerSnapshot(), 0s);
  // List entries count from 1 in the command.
  model_.ServerChosen(0);
  ASSERT_EQ(engine_.Count<cmd::SelectServer>(), 1u);
  EXPECT_EQ(engine_.Of<cmd::SelectServer>()[0].position, 1);
  EXPECT_EQ(view().selected_server, 0);
  model_.RandomClicked(false);
  ASSERT_EQ(engine_.Count<cmd::SetRandom>(), 1u);
  EXPECT_FALSE(engine_.Of<cmd::SetRandom>()[0].on);

  // The count's guard keeps the numeric part and posts nothing; Enter posts the interval.
  EXPECT_EQ(model_.CountEdited("12x"), "12");
  EXPECT_EQ(model_.CountEdited("abc"), "");
  EXPECT_EQ(view().interval_count, "");
  EXPECT_EQ(engine_.Count<cmd::SetInterval>(), 0u);
  model_.IntervalEntered("30", "Second/s");
  ASSERT_EQ(engine_.Count<cmd::SetInterval>(), 1u);
  EXPECT_EQ(engine_.Of<cmd::SetInterval>()[0].count_text, "30");
  EXPECT_EQ(engine_.Of<cmd::SetInterval>()[0].unit_text, "Second/s");

  model_.SyncNowDoubleClick();
  EXPECT_EQ(engine_.Count<cmd::SyncNow>(), 1u);
  // The shutdown goes once however often the window is closed.
  EXPECT_TRUE(model_.Closing());
  EXPECT_FALSE(model_.Closing());
  EXPECT_EQ(engine_.Count<cmd::Shutdown>(), 1u);
}

}  // namespace
}  // namespace mdl::desktop
