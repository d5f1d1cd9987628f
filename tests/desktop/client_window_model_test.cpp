// The client window's model: controls loaded once, the report and tray
// tip rules, and the commands of the user's edits and the menu.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop/model/client_window_model.h"
#include "tests/desktop/recording_ports.h"

namespace mdl::desktop {
namespace {

namespace ccmd = client_command;
using testing::RecordingClient;

std::shared_ptr<ClientSnapshot> Loaded(std::string host = "time.example:3777", bool run_minimized = false) {
  auto s = std::make_shared<ClientSnapshot>();
  s->loaded = true;
  s->settings = ClientSettings{std::move(host), std::string("2"), std::string("Hour/s"), run_minimized};
  s->run_at_start = true;
  s->interval_seconds = 7200;
  return s;
}

TEST(ClientWindowModelTest, FirstLoadedSnapshotFillsTheControlsOnce) {
  RecordingClient engine;
  ClientWindowModel model(engine);
  const ClientWindowView& v = model.view();
  EXPECT_EQ(v.caption, "MDL Server Client");
  EXPECT_EQ(v.host, "hostname");
  EXPECT_EQ(v.units, (std::vector<std::string>{"Hour/s", "Minute/s", "Second/s", "Day/s"}));
  EXPECT_EQ(v.tip, " MDL Server Client");
  // Not yet loaded: ignored.
  auto early = std::make_shared<ClientSnapshot>();
  early->settings.host = "early";
  EXPECT_FALSE(model.ApplySnapshot(early).controls_loaded);
  EXPECT_EQ(v.host, "hostname");

  auto s = Loaded();
  ClientSnapshotEffects e = model.ApplySnapshot(s);
  EXPECT_TRUE(e.controls_loaded);
  EXPECT_FALSE(e.go_to_tray);
  EXPECT_EQ(v.host, "time.example:3777");
  EXPECT_EQ(v.number, "2");
  EXPECT_EQ(v.unit, "Hour/s");
  EXPECT_FALSE(v.run_minimized);
  EXPECT_TRUE(v.run_at_start);
  EXPECT_EQ(v.interval_tooltip, " Every 7200 seconds ");
  // From then on the user's edits lead: later settings do not overwrite them.
  model.HostEdited("  other.example ");
  auto later = Loaded("stored.example");
  later->interval_seconds = 60;
  e = model.ApplySnapshot(later);
  EXPECT_FALSE(e.controls_loaded);
  EXPECT_EQ(v.host, "  other.example ");
  EXPECT_EQ(v.interval_tooltip, " Every 60 seconds ");
  // Nothing but the edit was posted.
  ASSERT_EQ(engine.posted.size(), 1u);
}

TEST(ClientWindowModelTest, StoredStartMinimisedAndUnknownUnits) {
  RecordingClient engine;
  ClientWindowModel model(engine);
  auto s = Loaded("h", true);
  s->settings.unit = "Weeks";
  EXPECT_TRUE(model.ApplySnapshot(s).go_to_tray);
  // A stored unit outside the list is added to it and shown.
  EXPECT_EQ(model.view().units.back(), "Weeks");
  EXPECT_EQ(model.view().units.size(), 5u);
  EXPECT_EQ(model.view().unit, "Weeks");
  // Once only.
  EXPECT_FALSE(model.ApplySnapshot(s).go_to_tray);

  // A switch on the command line keeps the window up.
  ClientWindowOptions o;
  o.switch_given = true;
  ClientWindowModel with_switch(engine, o);
  EXPECT_FALSE(with_switch.ApplySnapshot(Loaded("h", true)).go_to_tray);
}

TEST(ClientWindowModelTest, ReportAndTrayTipFollowTheExchanges) {
  RecordingClient engine;
  ClientWindowModel model(engine);
  auto s = Loaded();
  s->report = "Server: a\r\nDrift: 3 milliseconds.\r\n";
  s->tray_tip = " Drift: 3 ms ";
  EXPECT_TRUE(model.ApplySnapshot(s).report_changed);
  EXPECT_EQ(model.view().report, "Server: a\nDrift: 3 milliseconds.\n");
  // Shown normally, the tray icon keeps its tip; the record takes the new one.
  EXPECT_EQ(model.view().tip, " Drift: 3 ms ");
  EXPECT_EQ(model.view().tray_tip, " MDL Server Client");
  EXPECT_FALSE(model.ApplySnapshot(s).report_changed);
  // In the tray the icon takes the tip; an empty tip (a failed exchange) keeps it.
  model.SetInTray(true);
  EXPECT_EQ(model.view().tray_tip, " Drift: 3 ms ");
  s->tray_tip = "";
  model.ApplySnapshot(s);
  EXPECT_EQ(model.view().tray_tip, " Drift: 3 ms ");
  s->tray_tip = " Drift: 5 ms ";
  model.ApplySnapshot(s);
  EXPECT_EQ(model.view().tray_tip, " Drift: 5 ms ");
  model.SetInTray(false);
  s->tray_tip = " Drift: 1 ms ";
  model.ApplySnapshot(s);
  EXPECT_EQ(model.view().tray_tip, " Drift: 5 ms ");
}

TEST(ClientWindowModelTest, EditsAndMenuPostTheirCommands) {
  RecordingClient engine;
  testing::CountingHooks hooks;
  hooks.removal_error = "denied";
  ClientWindowOptions o;
  o.set_autostart = hooks.Autostart();
  o.open_help = [&hooks] { ++hooks.help_pages; };
  ClientWindowModel model(engine, o);
  model.ApplySnapshot(Loaded());

  model.HostEdited(" \tntp.example:3777  ");
  model.NumberEdited("1x");
  model.UnitChosen("Day/s");
  model.RunMinimizedClicked(true);
  ASSERT_EQ(engine.Count<ccmd::SetHost>(), 1u);
  EXPECT_EQ(engine.Of<ccmd::SetHost>()[0].host, "ntp.example:3777");
  ASSERT_EQ(engine.Count<ccmd::SetIntervalNumber>(), 1u);
  EXPECT_EQ(engine.Of<ccmd::SetIntervalNumber>()[0].number, "1x");
  ASSERT_EQ(engine.Count<ccmd::SetIntervalUnit>(), 1u);
  EXPECT_EQ(engine.Of<ccmd::SetIntervalUnit>()[0].unit, "Day/s");
  ASSERT_EQ(engine.Count<ccmd::SetRunMinimized>(), 1u);
  EXPECT_TRUE(engine.Of<ccmd::SetRunMinimized>()[0].run_minimized);
  EXPECT_EQ(model.view().unit, "Day/s");

  model.RunAtStartClicked(false);
  EXPECT_EQ(model.view().autostart_problem, "Autostart entry: denied");
  // A later success takes the problem away.
  model.RunAtStartClicked(true);
  EXPECT_EQ(model.view().autostart_problem, "");
  auto runs = engine.Of<ccmd::SetRunAtStart>();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_FALSE(runs[0].run_at_start);
  EXPECT_TRUE(runs[1].run_at_start);
  EXPECT_EQ(hooks.autostart, (std::vector<bool>{false, true}));

  engine.posted.clear();
  EXPECT_EQ(model.MenuChosen(ClientMenuItem::kSyncNow), ClientMenuEffect::kNone);
  EXPECT_EQ(model.MenuChosen(ClientMenuItem::kSettings), ClientMenuEffect::kRestore);
  EXPECT_EQ(model.MenuChosen(ClientMenuItem::kHelp), ClientMenuEffect::kNone);
  EXPECT_EQ(model.MenuChosen(ClientMenuItem::kExit), ClientMenuEffect::kClose);
  EXPECT_EQ(hooks.help_pages, 1);
  ASSERT_EQ(engine.posted.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<ccmd::SyncNow>(engine.posted[0]));
  EXPECT_TRUE(model.Closing());
  EXPECT_FALSE(model.Closing());
  EXPECT_EQ(engine.Count<ccmd::Shutdown>(), 1u);
}

TEST(ClientWindowModelTest, MenuTableHasTheShortcuts) {
  int defaults = 0;
  for (const ClientMenuEntry& e : kClientMenu) defaults += e.is_default;
  EXPECT_EQ(defaults, 1);
  EXPECT_EQ(std::string(kClientMenu[0].shortcut), "F5");
  EXPECT_EQ(kClientMenu[0].item, ClientMenuItem::kSyncNow);
  EXPECT_EQ(std::string(kClientMenu[2].shortcut), "F1");
  EXPECT_EQ(kClientMenu[2].item, ClientMenuItem::kHelp);
  EXPECT_TRUE(kClientMenu[3].separator_before);
}

}  // namespace
}  // namespace mdl::desktop
