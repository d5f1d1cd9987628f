// The server's Win32 main window and configuration dialog over a port that
// records what they post, fed with snapshots: the tree and its panels, what
// a snapshot shows in each control, the command each box, field, list and
// click posts, the tray on minimise and restore, the tray menu's commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop/win32/server/config_window.h"
#include "desktop/win32/server/server_ids.h"
#include "desktop/win32/server/server_window.h"
#include "win32_driver.h"
#include "win32_test_env.h"

namespace mdl::win32test {
namespace {

using namespace mdl::win32;
using namespace mdl::win32::server;

class RecordingPort : public desktop::EnginePort {
 public:
  void Post(EngineCommand c) override { posted.push_back(std::move(c)); }
  template <typename T>
  std::vector<T> Of() const {
    std::vector<T> out;
    for (const EngineCommand& c : posted)
      if (const auto* t = std::get_if<T>(&c)) out.push_back(*t);
    return out;
  }
  std::vector<EngineCommand> posted;
};

std::shared_ptr<EngineSnapshot> BaseSnapshot() {
  auto s = std::make_shared<EngineSnapshot>();
  s->sequence = 1;
  s->taken_at = UtcTime(std::chrono::sys_days(std::chrono::year(2026) / 12 / 7) + std::chrono::hours(14) +
                        std::chrono::minutes(3) + std::chrono::seconds(9));
  s->zone.standard_name = "CET";
  s->zone.daylight_name = "CEST";
  s->zone.bias_minutes = -60;
  for (auto& v : s->services) v.enabled = v.tcp_box = v.udp_box = v.boxes_enabled = true;
  s->services[Index(Service::kTime)].port_text = "37";
  s->services[Index(Service::kDaytime)].port_text = "13";
  s->services[Index(Service::kNtp)].port_text = "123";
  s->services[Index(Service::kUnixTime)].port_text = "519";
  s->services[Index(Service::kPrivate)].port_text = "3777";
  s->servers = {{"time.nist.gov - NIST, USA - NA", 40},
                {"ptbtime1.ptb.de - PTB, Germany - EU", 46},
                {"pool.ntp.org - NTP Pool - NA", 2}};
  s->selected_server = 1;
  s->region = "NA";
  s->interval_count = "59";
  s->interval_unit = "Minutes/s";
  s->logging = true;
  return s;
}

const std::vector<std::string> kNodes = {"MDL Servers",
                                         "Time Service Server",
                                         "Daytime Service Server",
                                         "SNTP v4 Service Server",
                                         "UnixTime Service Server",
                                         "MDL Server Client Server",
                                         "MDL About/Help",
                                         "MDL Advanced Config"};

class ServerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(HaveDisplay()) << kNoDisplay;
    ServerWindowOptions options;
    options.version = "5.1.10";
    options.config_hooks.update_check = [this] { ++update_checks_; };
    options.config_hooks.open_time_settings = [this] { ++time_settings_; };
    options.config_hooks.set_autostart = [this](bool on) {
      autostart_.push_back(on);
      return autostart_error_;
    };
    options.start_program = [](const desktop::ProgramStart&) { return true; };
    options.message_box = [](HWND, const desktop::UpdatePrompt&) { return IDNO; };
    window_ = std::make_unique<ServerWindow>(port_, options);
    ASSERT_TRUE(window_->Create());
    window_->on_destroyed = [this] { ++destroyed_; };
    window_->Show(false);
    Pump();
  }
  void TearDown() override {
    window_.reset();
    Pump();
  }
  // A snapshot as the engine thread hands it over: through the bridge.
  void Feed(std::shared_ptr<EngineSnapshot> s) {
    static uint64_t sequence = 1;
    s->sequence = ++sequence;
    const auto* wanted = s.get();
    window_->snapshots().Push(std::move(s));
    ASSERT_TRUE(PumpUntil([&] { return window_->model().snapshot().get() == wanted; }))
        << "the snapshot did not reach the window";
  }
  void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time, [this](MSG* m) { return window_->PreTranslate(*m); });
  }
  HWND Item(int id) const { return Control(window_->hwnd(), id); }
  HWND Panel(int slot, PanelPart part) const { return Item(PanelControlId(slot, part)); }
  std::string Tip(int id) const { return Utf8(window_->TooltipOf(id)); }

  RecordingPort port_;
  std::unique_ptr<ServerWindow> window_;
  std::vector<bool> autostart_;
  std::string autostart_error_;
  int update_checks_ = 0;
  int time_settings_ = 0;
  int destroyed_ = 0;
};

TEST_F(ServerWindowTest, TheTreeShowsEachServicePanelAndOpensAboutAndTheConfiguration) {
  HWND tree = Item(kIdTree);
  std::vector<std::string> texts;
  for (const TreeItem& item : TreeItems(tree)) texts.push_back(item.text);
  EXPECT_EQ(texts, kNodes);
  EXPECT_EQ(TextOf(window_->hwnd()), "Meridel Server");

  for (int slot = 0; slot < 5; ++slot) {
    ASSERT_TRUE(SelectTreeItem(tree, kNodes[static_cast<size_t>(slot) + 1]));
    Pump();
    for (int other = 0; other < 5; ++other) {
      EXPECT_EQ(Shown(Panel(other, PanelPart::kFrame)), other == slot)
          << "slot " << slot << ", panel " << other;
      EXPECT_EQ(Shown(Panel(other, PanelPart::kRequester)), other == slot) << "slot " << slot;
    }
  }
  std::vector<Service> shown;
  for (const auto& c : port_.Of<cmd::ShowService>()) shown.push_back(c.service);
  // Each service node in turn posts its service (the first may have been shown already).
  ASSERT_GE(shown.size(), 4u);
  EXPECT_EQ(std::vector<Service>(shown.end() - 4, shown.end()),
            (std::vector<Service>{Service::kDaytime, Service::kNtp, Service::kUnixTime, Service::kPrivate}));
  EXPECT_EQ(TextOf(Panel(2, PanelPart::kFrame)), "SNTP v4 Service Server");

  // About and the configuration open their windows on a click and leave the panel alone.
  port_.posted.clear();
  ASSERT_TRUE(ClickTreeItem(tree, "MDL About/Help"));
  ASSERT_TRUE(
      PumpUntil([this] { return window_->about_window() && FindWindowW(kAboutWindowClass, nullptr); }));
  EXPECT_TRUE(Shown(FindWindowW(kAboutWindowClass, nullptr)));
  ASSERT_TRUE(ClickTreeItem(tree, "MDL Advanced Config"));
  ASSERT_TRUE(PumpUntil([this] { return window_->config_window() && window_->config_window()->shown(); }));
  EXPECT_EQ(TextOf(window_->config_window()->hwnd()), "CONFIG - Meridel Server");
  EXPECT_TRUE(Shown(Panel(4, PanelPart::kFrame)));
  EXPECT_TRUE(port_.posted.empty());
}

TEST_F(ServerWindowTest, AfterAboutOrTheConfigurationTheHighlightGoesBackToTheShownPanelsNode) {
  HWND tree = Item(kIdTree);
  ASSERT_TRUE(ClickTreeItem(tree, "Daytime Service Server"));
  Pump();
  ASSERT_TRUE(Shown(Panel(1, PanelPart::kFrame)));
  ASSERT_TRUE(ClickTreeItem(tree, "MDL Advanced Config"));
  ASSERT_TRUE(PumpUntil([this] { return window_->config_window() && window_->config_window()->shown(); }));
  EXPECT_TRUE(PumpUntil([&] { return SelectedTreeText(tree) == "Daytime Service Server"; }))
      << "highlight on " << SelectedTreeText(tree);
  ASSERT_TRUE(ClickTreeItem(tree, "MDL About/Help"));
  ASSERT_TRUE(
      PumpUntil([this] { return window_->about_window() && FindWindowW(kAboutWindowClass, nullptr); }));
  EXPECT_TRUE(PumpUntil([&] { return SelectedTreeText(tree) == "Daytime Service Server"; }))
      << "highlight on " << SelectedTreeText(tree);
  EXPECT_TRUE(Shown(Panel(1, PanelPart::kFrame)));
}

TEST_F(ServerWindowTest, TheUnitListStandsOnTheUnitShownAndARegionWithoutServerOnNoEntry) {
  auto s = BaseSnapshot();
  s->interval_unit = "Minute/s";
  Feed(s);
  const std::vector<std::string> units = ComboItems(Item(kIdSyncUnit));
  const auto minute = std::find(units.begin(), units.end(), "Minute/s");
  ASSERT_NE(minute, units.end());
  EXPECT_EQ(TextOf(Item(kIdSyncUnit)), "Minute/s");
  EXPECT_EQ(Selected(Item(kIdSyncUnit)), static_cast<int>(minute - units.begin()));
  auto hours = std::make_shared<EngineSnapshot>(*s);
  hours->interval_unit = "Hour/s";
  Feed(hours);
  EXPECT_EQ(TextOf(Item(kIdSyncUnit)), "Hour/s");
  EXPECT_EQ(ComboItems(Item(kIdSyncUnit))[static_cast<size_t>(Selected(Item(kIdSyncUnit)))], "Hour/s");

  EXPECT_EQ(Selected(Item(kIdServers)), 0);
  auto none = std::make_shared<EngineSnapshot>(*s);
  none->region = "AF";
  none->region_without_server = true;
  none->status_line = "No server of region AF in the list.";
  Feed(none);
  EXPECT_EQ(Selected(Item(kIdServers)), -1);
  EXPECT_EQ(TextOf(Item(kIdStatus)), "No server of region AF in the list.");
}

TEST_F(ServerWindowTest, ASnapshotSetsLabelsBoxesFieldsListsTooltipsAndTheCaption) {
  auto s = BaseSnapshot();
  s->status_text = "Server is: Enabled\r\nTCP: ON - UDP: OFF\r\nIN: 12/t - 0/u";
  s->status_line =
      "Server Status: 07/12/2026 15:03:09\r# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\r# UDP: 2 --- # TCP: "
      "1\rLast Atomic Update: Never";
  ServiceView& day = s->services[Index(Service::kDaytime)];
  day.enabled = false;
  day.boxes_enabled = false;
  day.udp_box = false;
  day.port_tooltip = " Change Registered Successfully ";
  ServiceView& ntp = s->services[Index(Service::kNtp)];
  ntp.last_requester = "192.0.2.7";
  ntp.last_requester_tooltip = " 07/12/2026 15:03:08 ";
  s->last_ntp_millis = 537;
  s->servers_tooltip = " 07/12/2026 14:3:9.250 | Adjusted by: 1.5 ms.  MDL Server is Synchronized.";
  s->selected_server = 2;
  s->random = false;
  s->interval_count = "2";
  s->interval_unit = "Day/s";
  Feed(s);

  EXPECT_EQ(TextOf(Item(kIdServiceStatus)), "Server is: Enabled\nTCP: ON - UDP: OFF\nIN: 12/t - 0/u");
  EXPECT_EQ(TextOf(Item(kIdStatus)),
            "Server Status: 07/12/2026 15:03:09\n# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\n"
            "# UDP: 2 --- # TCP: 1\nLast Atomic Update: Never");
  EXPECT_FALSE(Checked(Panel(1, PanelPart::kEnable)));
  EXPECT_TRUE(Checked(Panel(1, PanelPart::kTcp)));
  EXPECT_FALSE(Checked(Panel(1, PanelPart::kUdp)));
  EXPECT_FALSE(Enabled(Panel(1, PanelPart::kTcp)));
  EXPECT_TRUE(Enabled(Panel(2, PanelPart::kTcp)));
  EXPECT_EQ(TextOf(Panel(1, PanelPart::kPort)), "13");
  EXPECT_EQ(TextOf(Panel(4, PanelPart::kPort)), "3777");
  EXPECT_EQ(Tip(PanelControlId(1, PanelPart::kPort)), " Change Registered Successfully ");
  EXPECT_EQ(TextOf(Panel(2, PanelPart::kRequester)), "192.0.2.7");
  EXPECT_EQ(Tip(PanelControlId(2, PanelPart::kRequester)), " 07/12/2026 15:03:08 ");
  EXPECT_EQ(TextOf(window_->hwnd()), "NTPms 537");
  EXPECT_EQ(ComboItems(Item(kIdServers)),
            (std::vector<std::string>{"time.nist.gov - NIST, USA - NA", "ptbtime1.ptb.de - PTB, Germany - EU",
                                      "pool.ntp.org - NTP Pool - NA"}));
  EXPECT_EQ(Selected(Item(kIdServers)), 1);
  EXPECT_EQ(Tip(kIdServers), s->servers_tooltip);
  EXPECT_FALSE(Checked(Item(kIdRandom)));
  EXPECT_EQ(TextOf(Item(kIdSyncN)), "2");
  EXPECT_EQ(TextOf(Item(kIdSyncUnit)), "Day/s");
  // The clock box: local time (CET) and UTC from the snapshot's time.
  window_->ClockTick();
  const std::string clock = TextOf(Item(kIdClock));
  EXPECT_NE(clock.find("MON DECEMBER 7 2026 03:03:"), std::string::npos) << clock;
  EXPECT_NE(clock.find("UTC DECEMBER 7 2026 02:03:"), std::string::npos) << clock;
  EXPECT_EQ(Tip(kIdClock), " Time Zone: CET ");
  // No command answers a snapshot.
  EXPECT_TRUE(port_.posted.empty());
}

TEST_F(ServerWindowTest, BoxesAndPortFieldsPostTheirCommands) {
  Feed(BaseSnapshot());
  ASSERT_TRUE(SelectTreeItem(Item(kIdTree), "Daytime Service Server"));
  Click(Panel(1, PanelPart::kTcp));
  Click(Panel(1, PanelPart::kUdp));
  ASSERT_TRUE(SelectTreeItem(Item(kIdTree), "SNTP v4 Service Server"));
  Click(Panel(2, PanelPart::kEnable));
  const auto tcp = port_.Of<cmd::SetTcp>();
  const auto udp = port_.Of<cmd::SetUdp>();
  const auto enabled = port_.Of<cmd::SetEnabled>();
  ASSERT_EQ(tcp.size(), 1u);
  EXPECT_TRUE(tcp[0].service == Service::kDaytime && !tcp[0].on);
  ASSERT_EQ(udp.size(), 1u);
  EXPECT_TRUE(udp[0].service == Service::kDaytime && !udp[0].on);
  ASSERT_EQ(enabled.size(), 1u);
  EXPECT_TRUE(enabled[0].service == Service::kNtp && !enabled[0].on);
  // Disabling greys the transport boxes at once.
  EXPECT_FALSE(Enabled(Panel(2, PanelPart::kTcp)));

  ASSERT_TRUE(SelectTreeItem(Item(kIdTree), "Time Service Server"));
  HWND port = Panel(0, PanelPart::kPort);
  Type(port, L"1037");
  ASSERT_FALSE(port_.Of<cmd::SetPortText>().empty());
  EXPECT_TRUE(port_.Of<cmd::SetPortText>().back().service == Service::kTime);
  EXPECT_EQ(port_.Of<cmd::SetPortText>().back().text, "1037");
  EXPECT_TRUE(port_.Of<cmd::PortEnter>().empty());
  // A snapshot that has not seen the typing yet leaves the focused field alone.
  Feed(BaseSnapshot());
  EXPECT_EQ(TextOf(port), "1037");
  PressEnter(port);
  ASSERT_EQ(port_.Of<cmd::PortEnter>().size(), 1u);
  EXPECT_TRUE(port_.Of<cmd::PortEnter>()[0].service == Service::kTime);

  // The private protocol's port field registers nothing on Enter.
  ASSERT_TRUE(SelectTreeItem(Item(kIdTree), "MDL Server Client Server"));
  HWND private_port = Panel(4, PanelPart::kPort);
  Type(private_port, L"3778");
  PressEnter(private_port);
  EXPECT_EQ(port_.Of<cmd::PortEnter>().size(), 1u);
  EXPECT_TRUE(port_.Of<cmd::SetPortText>().back().service == Service::kPrivate);
  EXPECT_EQ(port_.Of<cmd::SetPortText>().back().text, "3778");
}

TEST_F(ServerWindowTest, TheSynchronisationControlsPostTheirCommands) {
  Feed(BaseSnapshot());
  HWND count = Item(kIdSyncN);
  Type(count, L"5a");
  EXPECT_EQ(TextOf(count), "5");  // the letter is taken off again
  EXPECT_TRUE(port_.Of<cmd::SetInterval>().empty());
  PressEnter(count);
  ASSERT_EQ(port_.Of<cmd::SetInterval>().size(), 1u);
  EXPECT_EQ(port_.Of<cmd::SetInterval>()[0].count_text, "5");
  EXPECT_EQ(port_.Of<cmd::SetInterval>()[0].unit_text, "Minutes/s");

  const std::vector<std::string> units = ComboItems(Item(kIdSyncUnit));
  const auto hour = std::find(units.begin(), units.end(), "Hour/s");
  ASSERT_NE(hour, units.end());
  ASSERT_TRUE(Choose(Item(kIdSyncUnit), static_cast<int>(hour - units.begin())));
  ASSERT_EQ(port_.Of<cmd::SetInterval>().size(), 2u);
  EXPECT_EQ(port_.Of<cmd::SetInterval>()[1].unit_text, "Hour/s");

  Confirm(Item(kIdServers), 2);
  ASSERT_EQ(port_.Of<cmd::SelectServer>().size(), 1u);
  EXPECT_EQ(port_.Of<cmd::SelectServer>()[0].position, 3);
  Click(Item(kIdRandom));
  ASSERT_EQ(port_.Of<cmd::SetRandom>().size(), 1u);
  EXPECT_FALSE(port_.Of<cmd::SetRandom>()[0].on);

  // A double click on the frame's own area (below its label, left of every control).
  EXPECT_TRUE(port_.Of<cmd::SyncNow>().empty());
  HWND frame = Item(kIdOptions);
  RECT r{};
  GetClientRect(frame, &r);
  DoubleClickAt(frame, POINT{3, r.bottom - 3});
  EXPECT_EQ(port_.Of<cmd::SyncNow>().size(), 1u);
}

TEST_F(ServerWindowTest, MinimisingGoesToTheTrayAndTheIconAndItsMenuBringItBackOrExit) {
  auto s = BaseSnapshot();
  s->tray_tip = " MDL Server is Synchronized";
  Feed(s);
  ASSERT_NE(window_->tray(), nullptr);
  EXPECT_FALSE(window_->tray()->shown());
  for (int round = 0; round < 2; ++round) {
    SendMessageW(window_->hwnd(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(window_->in_tray()) << "round " << round;
    EXPECT_TRUE(window_->tray()->shown());
    EXPECT_FALSE(Shown(window_->hwnd()));
    EXPECT_EQ(Utf8(window_->tray()->tip()), " MDL Server is Synchronized");
    // The icon's double click, then the menu's Show.
    if (round == 0) SendMessageW(window_->hwnd(), kMsgTray, 1, WM_LBUTTONDBLCLK);
    if (round == 1) Command(window_->hwnd(), kIdMenuShow);
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(window_->in_tray());
    EXPECT_FALSE(window_->tray()->shown());
    EXPECT_TRUE(Shown(window_->hwnd()));
    EXPECT_FALSE(IsIconic(window_->hwnd()));
  }
  wchar_t text[64] = {};
  std::vector<std::string> items;
  for (int i = 0; i < GetMenuItemCount(window_->tray_menu()); ++i) {
    GetMenuStringW(window_->tray_menu(), static_cast<UINT>(i), text, 64, MF_BYPOSITION);
    items.push_back(Utf8(text));
  }
  EXPECT_EQ(items.size(), 2u);
  EXPECT_EQ(GetMenuItemID(window_->tray_menu(), 0), static_cast<UINT>(kIdMenuShow));
  EXPECT_EQ(GetMenuItemID(window_->tray_menu(), 1), static_cast<UINT>(kIdMenuExit));
  EXPECT_TRUE(port_.Of<cmd::Shutdown>().empty());

  Command(window_->hwnd(), kIdMenuExit);
  PumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(port_.Of<cmd::Shutdown>().size(), 1u);
  EXPECT_EQ(destroyed_, 1);
}

TEST_F(ServerWindowTest, TheConfigurationDialogPostsItsCommandsAndRunsItsHooks) {
  auto s = BaseSnapshot();
  s->region = "EU";
  s->logging = true;
  s->open_minimized = false;
  s->run_at_start = false;
  Feed(s);
  ASSERT_TRUE(ClickTreeItem(Item(kIdTree), "MDL Advanced Config"));
  ASSERT_TRUE(PumpUntil([this] { return window_->config_window() && window_->config_window()->shown(); }));
  port_.posted.clear();
  HWND dialog = window_->config_window()->hwnd();
  auto item = [dialog](int id) { return Control(dialog, id); };
  EXPECT_EQ(TextOf(item(kIdRegionLabel)), "Select What Region this Server will Operate in");
  EXPECT_EQ(TextOf(item(kIdLogs)), "Enable Extended WC3 Logging.");
  EXPECT_EQ(TextOf(item(kIdRunMdl)), "Run Meridel Server when Windows Starts.");
  EXPECT_EQ(TextOf(item(kIdOpenMin)), "Open Minimized?");
  EXPECT_EQ(TextOf(item(kIdTimeZone)), "Time Zone");
  EXPECT_EQ(TextOf(item(kIdCheckUpdate)), "Check for Software Updates");
  EXPECT_EQ(ComboItems(item(kIdRegions)).size(), 7u);
  EXPECT_EQ(Selected(item(kIdRegions)), 2);  // "EU - Europe ..."
  EXPECT_TRUE(Checked(item(kIdLogs)));
  EXPECT_FALSE(Checked(item(kIdOpenMin)));

  Confirm(item(kIdRegions), 6);
  ASSERT_EQ(port_.Of<cmd::SetRegion>().size(), 1u);
  EXPECT_EQ(port_.Of<cmd::SetRegion>()[0].region, "AP");
  Click(item(kIdLogs));
  ASSERT_EQ(port_.Of<cmd::SetLogging>().size(), 1u);
  EXPECT_FALSE(port_.Of<cmd::SetLogging>()[0].on);
  Click(item(kIdOpenMin));
  ASSERT_EQ(port_.Of<cmd::SetOpenMinimized>().size(), 1u);
  EXPECT_TRUE(port_.Of<cmd::SetOpenMinimized>()[0].on);

  autostart_error_ = "access denied";
  Click(item(kIdRunMdl));
  ASSERT_EQ(port_.Of<cmd::SetRunAtStart>().size(), 1u);
  EXPECT_TRUE(port_.Of<cmd::SetRunAtStart>()[0].on);
  EXPECT_EQ(autostart_, (std::vector<bool>{true}));
  PumpFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(Shown(item(kIdAutostartProblem)));
  EXPECT_EQ(TextOf(item(kIdAutostartProblem)), "Autostart entry: access denied");

  Click(item(kIdTimeZone));
  EXPECT_EQ(time_settings_, 1);
  Click(item(kIdCheckUpdate));
  EXPECT_EQ(update_checks_, 1);
  EXPECT_FALSE(Enabled(item(kIdCheckUpdate)));
  EXPECT_TRUE(port_.Of<cmd::Shutdown>().empty());

  Click(item(kIdConfigOk));
  PumpFor(std::chrono::milliseconds(20));
  EXPECT_FALSE(window_->config_window()->shown());
}

// The lists as a keyboard user works them: F4, the arrows, Enter in the open list.
TEST_F(ServerWindowTest, TheServerAndRegionListsCanBeChosenWithTheKeyboard) {
  Feed(BaseSnapshot());
  EXPECT_TRUE(Choose(Item(kIdServers), 2));
  ASSERT_FALSE(port_.Of<cmd::SelectServer>().empty());
  EXPECT_EQ(port_.Of<cmd::SelectServer>().back().position, 3);
  ASSERT_TRUE(ClickTreeItem(Item(kIdTree), "MDL Advanced Config"));
  ASSERT_TRUE(PumpUntil([this] { return window_->config_window() && window_->config_window()->shown(); }));
  EXPECT_TRUE(Choose(Control(window_->config_window()->hwnd(), kIdRegions), 6));
  ASSERT_FALSE(port_.Of<cmd::SetRegion>().empty());
  EXPECT_EQ(port_.Of<cmd::SetRegion>().back().region, "AP");
}

TEST_F(ServerWindowTest, TheListsAreChosenWithTheMouse) {
  Feed(BaseSnapshot());
  const std::vector<std::string> units = ComboItems(Item(kIdSyncUnit));
  const auto day = std::find(units.begin(), units.end(), "Day/s");
  ASSERT_NE(day, units.end());
  ASSERT_TRUE(ClickItem(Item(kIdSyncUnit), static_cast<int>(day - units.begin())));
  ASSERT_FALSE(port_.Of<cmd::SetInterval>().empty());
  EXPECT_EQ(port_.Of<cmd::SetInterval>().back().unit_text, "Day/s");
  ASSERT_TRUE(ClickItem(Item(kIdServers), 2));
  ASSERT_FALSE(port_.Of<cmd::SelectServer>().empty());
  EXPECT_EQ(port_.Of<cmd::SelectServer>().back().position, 3);
  EXPECT_EQ(Selected(Item(kIdServers)), 2);
  ASSERT_TRUE(ClickTreeItem(Item(kIdTree), "MDL Advanced Config"));
  ASSERT_TRUE(PumpUntil([this] { return window_->config_window() && window_->config_window()->shown(); }));
  HWND regions = Control(window_->config_window()->hwnd(), kIdRegions);
  ASSERT_TRUE(ClickItem(regions, 3));
  ASSERT_FALSE(port_.Of<cmd::SetRegion>().empty());
  EXPECT_EQ(port_.Of<cmd::SetRegion>().back().region, "AF");
  EXPECT_EQ(Selected(regions), 3);
}

}  // namespace
}  // namespace mdl::win32test
