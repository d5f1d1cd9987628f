// The desktop client's Win32 window over a port that records what it posts,
// fed with snapshots as the engine would publish them: each control's
// wiring (what it shows, which command it posts), the menu and its keys,
// the tray on minimise and restore, and the close.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop/win32/client/client_ids.h"
#include "desktop/win32/client/client_window.h"
#include "win32_driver.h"
#include "win32_test_env.h"

namespace mdl::win32test {
namespace {

namespace cmd = client_command;
using namespace mdl::win32;

class RecordingPort : public desktop::ClientPort {
 public:
  void Post(ClientCommand c) override { posted.push_back(std::move(c)); }
  template <typename T>
  std::vector<T> Of() const {
    std::vector<T> out;
    for (const ClientCommand& c : posted)
      if (const auto* t = std::get_if<T>(&c)) out.push_back(*t);
    return out;
  }
  std::vector<ClientCommand> posted;
};

std::shared_ptr<const ClientSnapshot> Loaded(std::string host, std::string number, std::string unit,
                                             bool run_minimized, std::string report = "",
                                             std::string tip = "") {
  auto s = std::make_shared<ClientSnapshot>();
  s->loaded = true;
  s->settings.host = std::move(host);
  s->settings.number = std::move(number);
  s->settings.unit = std::move(unit);
  s->settings.run_minimized = run_minimized;
  s->interval_seconds = 7200;
  s->report = std::move(report);
  s->tray_tip = std::move(tip);
  return s;
}

constexpr const char* kReport =
    "MDL Server: MDLS v3 (UTC)\r\nServer Date: 05/04/2026 10:00:00.250\r\nMDL Client: 05/04/2026 "
    "10:00:01.000\r\nDrift: -750 milliseconds. Latency rTT: 2ms\r\nAdjusted by: -750ms";

class ClientWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(HaveDisplay()) << kNoDisplay; }
  void TearDown() override {
    window_.reset();
    Pump();
  }

  void Start(std::shared_ptr<const ClientSnapshot> first) {
    desktop::ClientWindowOptions options;
    options.switch_given = false;
    options.set_autostart = [this](bool on) {
      autostart_.push_back(on);
      return autostart_error_;
    };
    options.open_help = [this] { ++help_opened_; };
    window_ = std::make_unique<ClientWindow>(port_, options);
    ASSERT_TRUE(window_->Create(GetModuleHandleW(nullptr)));
    window_->on_closed = [this] { ++closed_; };
    ShowWindow(window_->hwnd(), SW_SHOWNORMAL);
    // As the engine thread does: through the bridge, taken as a posted message.
    window_->snapshots().Push(std::move(first));
    ASSERT_TRUE(PumpUntil([this] { return !window_->tooltips()->Get(Item(kIdNumber)).empty(); }))
        << "no snapshot arrived";
    PumpFor(std::chrono::milliseconds(50));
  }
  void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time, [this](MSG* m) { return window_->TranslateMessageFor(m); });
  }
  HWND Item(int id) const { return Control(window_->hwnd(), id); }

  RecordingPort port_;
  std::unique_ptr<ClientWindow> window_;
  std::vector<bool> autostart_;
  std::string autostart_error_;
  int help_opened_ = 0;
  int closed_ = 0;
};

TEST_F(ClientWindowTest, TheFirstLoadedSnapshotFillsTheControlsAndPostsNothing) {
  Start(Loaded("127.0.0.1:3777", "2", "Hour/s", false, kReport));
  EXPECT_EQ(TextOf(window_->hwnd()), "MDL Server Client");
  EXPECT_EQ(TextOf(Item(kIdHostLabel)), "MDL &Server:");
  EXPECT_EQ(TextOf(Item(kIdEveryLabel)), "Synchronize &every:");
  EXPECT_EQ(TextOf(Item(kIdHost)), "127.0.0.1:3777");
  EXPECT_EQ(TextOf(Item(kIdNumber)), "2");
  EXPECT_EQ(ComboItems(Item(kIdUnit)), (std::vector<std::string>{"Hour/s", "Minute/s", "Second/s", "Day/s"}));
  EXPECT_EQ(TextOf(Item(kIdUnit)), "Hour/s");
  EXPECT_EQ(TextOf(Item(kIdRunMin)), "Run Minimized in the System Tray.");
  EXPECT_EQ(TextOf(Item(kIdRunStart)), "Run when Windows Starts.");
  EXPECT_FALSE(Checked(Item(kIdRunMin)));
  EXPECT_FALSE(Checked(Item(kIdRunStart)));
  EXPECT_FALSE(Shown(Item(kIdAutostartProblem)));
  EXPECT_EQ(Utf8(window_->tooltips()->Get(Item(kIdNumber))), " Every 7200 seconds ");
  EXPECT_EQ(Utf8(window_->tooltips()->Get(Item(kIdHost))),
            " The MDL server: host, host:port or [IPv6]:port ");
  // The report's five lines, one a line of the box.
  EXPECT_EQ(TextOf(Item(kIdReport)),
            "MDL Server: MDLS v3 (UTC)\nServer Date: 05/04/2026 10:00:00.250\nMDL Client: 05/04/2026 "
            "10:00:01.000\nDrift: -750 milliseconds. Latency rTT: 2ms\nAdjusted by: -750ms");
  EXPECT_EQ(SendMessageW(Item(kIdReport), EM_GETLINECOUNT, 0, 0), 5);
  EXPECT_TRUE(port_.posted.empty());
  EXPECT_TRUE(Shown(window_->hwnd()));
  EXPECT_FALSE(window_->InTray());

  // Later snapshots leave the user's fields alone but show the new report.
  window_->snapshots().Push(Loaded("other", "9", "Day/s", true, "MDL Server: MDLS v3"));
  ASSERT_TRUE(PumpUntil([this] { return TextOf(Item(kIdReport)) == "MDL Server: MDLS v3"; }));
  EXPECT_EQ(TextOf(Item(kIdHost)), "127.0.0.1:3777");
  EXPECT_EQ(TextOf(Item(kIdUnit)), "Hour/s");
  EXPECT_FALSE(Checked(Item(kIdRunMin)));
}

TEST_F(ClientWindowTest, EachFieldAndBoxPostsItsCommand) {
  Start(Loaded("hostname", "5", "Minute/s", false));
  Type(Item(kIdHost), L"  time.example:3777 ");
  ASSERT_FALSE(port_.Of<cmd::SetHost>().empty());
  EXPECT_EQ(port_.Of<cmd::SetHost>().back().host, "time.example:3777");

  Type(Item(kIdNumber), L"15");
  ASSERT_FALSE(port_.Of<cmd::SetIntervalNumber>().empty());
  EXPECT_EQ(port_.Of<cmd::SetIntervalNumber>().back().number, "15");
  // At most ten characters fit.
  Type(Item(kIdNumber), L"123456789012");
  EXPECT_EQ(TextOf(Item(kIdNumber)), "1234567890");

  ASSERT_TRUE(Choose(Item(kIdUnit), 2));
  ASSERT_EQ(port_.Of<cmd::SetIntervalUnit>().size(), 1u);
  EXPECT_EQ(port_.Of<cmd::SetIntervalUnit>()[0].unit, "Second/s");
  ASSERT_TRUE(Choose(Item(kIdUnit), 3));
  EXPECT_EQ(port_.Of<cmd::SetIntervalUnit>().back().unit, "Day/s");

  Click(Item(kIdRunMin));
  Click(Item(kIdRunMin));
  ASSERT_EQ(port_.Of<cmd::SetRunMinimized>().size(), 2u);
  EXPECT_TRUE(port_.Of<cmd::SetRunMinimized>()[0].run_minimized);
  EXPECT_FALSE(port_.Of<cmd::SetRunMinimized>()[1].run_minimized);

  // The Run value: the command, the autostart hook, and its failure shown.
  Click(Item(kIdRunStart));
  ASSERT_EQ(port_.Of<cmd::SetRunAtStart>().size(), 1u);
  EXPECT_TRUE(port_.Of<cmd::SetRunAtStart>()[0].run_at_start);
  EXPECT_EQ(autostart_, (std::vector<bool>{true}));
  EXPECT_FALSE(Shown(Item(kIdAutostartProblem)));
  autostart_error_ = "access denied";
  Click(Item(kIdRunStart));
  EXPECT_FALSE(port_.Of<cmd::SetRunAtStart>().back().run_at_start);
  EXPECT_TRUE(Shown(Item(kIdAutostartProblem)));
  EXPECT_EQ(TextOf(Item(kIdAutostartProblem)), "Autostart entry: access denied");
  EXPECT_TRUE(port_.Of<cmd::SyncNow>().empty());
  EXPECT_TRUE(port_.Of<cmd::Shutdown>().empty());
}

// With the mouse the list confirms (CBN_SELENDOK) before it tells the change
// (CBN_SELCHANGE): the chosen item counts, not what the box shows at the
// confirmation (the old unit).
TEST_F(ClientWindowTest, TheUnitIsChosenWithTheMouse) {
  Start(Loaded("hostname", "5", "Minute/s", false));
  ASSERT_TRUE(ClickItem(Item(kIdUnit), 0));
  ASSERT_FALSE(port_.Of<cmd::SetIntervalUnit>().empty());
  EXPECT_EQ(port_.Of<cmd::SetIntervalUnit>().back().unit, "Hour/s");
  EXPECT_EQ(TextOf(Item(kIdUnit)), "Hour/s");
}

TEST_F(ClientWindowTest, TheMenuAndItsKeysSynchroniseOpenHelpAndExitOnce) {
  Start(Loaded("hostname", "5", "Minute/s", false));
  HMENU bar = GetMenu(window_->hwnd());
  ASSERT_NE(bar, nullptr);
  wchar_t text[128] = {};
  GetMenuStringW(bar, 0, text, 128, MF_BYPOSITION);
  EXPECT_EQ(Utf8(text), "&MDL Client");
  HMENU menu = window_->main_menu();
  std::vector<std::string> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    text[0] = 0;
    GetMenuStringW(menu, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
    items.push_back(GetMenuItemID(menu, i) == 0 ? "-" : Utf8(text));
  }
  EXPECT_EQ(items, (std::vector<std::string>{"Synchronize Now\tF5", "MDL Server Client Settings", "Help\tF1",
                                             "-", "Exit"}));
  EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), static_cast<UINT>(kIdMenuSet));

  Command(window_->hwnd(), kIdMenuSync);
  EXPECT_EQ(port_.Of<cmd::SyncNow>().size(), 1u);
  // F5 and F1 through the window's message loop, from the focused field.
  Focus(Item(kIdHost));
  PostKey(Item(kIdHost), VK_F5);
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(port_.Of<cmd::SyncNow>().size(), 2u);
  PostKey(Item(kIdHost), VK_F1);
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(help_opened_, 1);
  Command(window_->hwnd(), kIdMenuHelp);
  EXPECT_EQ(help_opened_, 2);
  EXPECT_TRUE(port_.Of<cmd::Shutdown>().empty());

  Command(window_->hwnd(), kIdMenuExit);
  EXPECT_EQ(port_.Of<cmd::Shutdown>().size(), 1u);
  EXPECT_EQ(closed_, 1);
  EXPECT_FALSE(Shown(window_->hwnd()));
  // The close box after Exit posts nothing more.
  SendMessageW(window_->hwnd(), WM_CLOSE, 0, 0);
  EXPECT_EQ(port_.Of<cmd::Shutdown>().size(), 1u);
  EXPECT_EQ(port_.Of<cmd::SyncNow>().size(), 2u);
}

TEST_F(ClientWindowTest, MinimisingGoesToTheTrayWithTheExchangeTipAndTheIconBringsItBack) {
  Start(Loaded("hostname", "5", "Minute/s", false, kReport, " Drift: -750 ms"));
  ASSERT_NE(window_->tray(), nullptr);
  EXPECT_FALSE(window_->tray()->shown());
  ShowWindow(window_->hwnd(), SW_MINIMIZE);
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_TRUE(window_->InTray());
  EXPECT_TRUE(window_->tray()->shown());
  EXPECT_FALSE(Shown(window_->hwnd()));
  EXPECT_EQ(Utf8(window_->tray()->tip()), " Drift: -750 ms");

  // A new exchange while in the tray moves the tip.
  window_->snapshots().Push(Loaded("hostname", "5", "Minute/s", false, kReport, " Drift: 12 ms"));
  ASSERT_TRUE(PumpUntil([this] { return Utf8(window_->tray()->tip()) == " Drift: 12 ms"; }));

  // A left click on the icon: the window is back, the icon gone.
  SendMessageW(window_->hwnd(), window_->tray()->callback(), 1, WM_LBUTTONUP);
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_FALSE(window_->InTray());
  EXPECT_FALSE(window_->tray()->shown());
  EXPECT_TRUE(Shown(window_->hwnd()));
  EXPECT_FALSE(IsIconic(window_->hwnd()));

  // Settings from the menu also bring it back.
  ShowWindow(window_->hwnd(), SW_MINIMIZE);
  PumpFor(std::chrono::milliseconds(100));
  ASSERT_TRUE(window_->InTray());
  Command(window_->hwnd(), kIdMenuSet);
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_FALSE(window_->InTray());
  EXPECT_TRUE(Shown(window_->hwnd()));
  EXPECT_TRUE(port_.posted.empty());
}

TEST_F(ClientWindowTest, AStoredRunMinimisedStartsInTheTray) {
  Start(Loaded("hostname", "5", "Minute/s", true));
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_TRUE(Checked(Item(kIdRunMin)));
  EXPECT_TRUE(window_->InTray());
  EXPECT_FALSE(Shown(window_->hwnd()));
  // Closing from the tray removes the icon and posts the shutdown.
  SendMessageW(window_->hwnd(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(window_->tray()->shown());
  EXPECT_EQ(port_.Of<cmd::Shutdown>().size(), 1u);
}

}  // namespace
}  // namespace mdl::win32test
