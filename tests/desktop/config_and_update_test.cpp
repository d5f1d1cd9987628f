// The configuration dialog's model and the update check's message boxes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/model/config_model.h"
#include "desktop/model/update_prompt.h"
#include "tests/desktop/recording_ports.h"

namespace mdl::desktop {
namespace {

using testing::RecordingEngine;
using testing::ServerSnapshot;

TEST(ConfigModelTest, LoadsFromTheSnapshotAndWithoutOne) {
  RecordingEngine engine;
  ConfigModel model(engine, {});
  auto s = ServerSnapshot();
  s->region = "EU";
  s->logging = true;
  s->open_minimized = true;
  model.Load(s.get(), "NTPms 4");
  EXPECT_EQ(model.view().caption, "CONFIG - NTPms 4");
  EXPECT_EQ(model.view().region_index, 2);
  EXPECT_TRUE(model.view().logging);
  EXPECT_TRUE(model.view().open_minimized);
  EXPECT_FALSE(model.view().run_at_start);
  // Without an update check the button cannot start one, and says why.
  EXPECT_FALSE(model.view().update_enabled);
  EXPECT_EQ(model.view().update_tooltip, config_text::kNoUpdateCheck);
  model.CheckUpdateClicked();
  // A code that matches no line: no selection; no snapshot: everything off.
  s->region = "XX";
  model.Load(s.get(), "Meridel Server");
  EXPECT_EQ(model.view().region_index, -1);
  model.Load(nullptr, "Meridel Server");
  EXPECT_FALSE(model.view().logging);
  EXPECT_FALSE(model.view().open_minimized);
  // Loading posts nothing.
  EXPECT_TRUE(engine.posted.empty());
}

TEST(ConfigModelTest, EachChangeIsPostedAndTheHooksRun) {
  RecordingEngine engine;
  testing::CountingHooks hooks;
  ConfigModel model(engine, hooks.Config());
  model.Load(ServerSnapshot().get(), "Meridel Server");

  model.RegionChosen(6);
  model.RegionChosen(7);  // no such line
  ASSERT_EQ(engine.Count<cmd::SetRegion>(), 1u);
  EXPECT_EQ(engine.Of<cmd::SetRegion>()[0].region, "AP");
  EXPECT_EQ(model.view().region_index, 6);
  model.LogsClicked(true);
  model.OpenMinimizedClicked(true);
  ASSERT_EQ(engine.Count<cmd::SetLogging>(), 1u);
  EXPECT_TRUE(engine.Of<cmd::SetLogging>()[0].on);
  ASSERT_EQ(engine.Count<cmd::SetOpenMinimized>(), 1u);
  EXPECT_TRUE(engine.Of<cmd::SetOpenMinimized>()[0].on);

  model.RunClicked(true);
  EXPECT_EQ(model.view().autostart_problem, "");
  model.RunClicked(false);
  auto runs = engine.Of<cmd::SetRunAtStart>();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].on);
  EXPECT_FALSE(runs[1].on);
  EXPECT_EQ(hooks.autostart, (std::vector<bool>{true, false}));
  // A failed autostart change is told, not hidden.
  EXPECT_EQ(model.view().autostart_problem, "Autostart entry: cannot remove it");

  model.TimeZoneClicked();
  EXPECT_EQ(hooks.time_settings, 1);
  // The update button: off while a check runs; the engine's rule and the end of a check turn it on.
  EXPECT_TRUE(model.view().update_enabled);
  EXPECT_EQ(model.view().update_tooltip, "");
  model.CheckUpdateClicked();
  model.CheckUpdateClicked();
  EXPECT_EQ(hooks.update_checks, 1);
  EXPECT_FALSE(model.view().update_enabled);
  model.UpdateCheckDone();
  EXPECT_TRUE(model.view().update_enabled);
  model.SetUpdateButton(false);
  EXPECT_FALSE(model.view().update_enabled);
  model.SetUpdateButton(true);
  EXPECT_TRUE(model.view().update_enabled);
}

TEST(UpdatePromptTest, QuestionsAndNoticesBecomeMessageBoxes) {
  UpdateQuestion q;
  q.id = 42;
  q.title = "Meridel Server Update";
  q.text = "A new version is available.\r\nDownload it now?";
  q.icon = UpdateIcon::kInformation;
  auto prompt = PromptFor(q);
  ASSERT_TRUE(prompt);
  EXPECT_EQ(prompt->title, "Meridel Server Update");
  EXPECT_EQ(prompt->text, "A new version is available.\nDownload it now?");
  EXPECT_TRUE(prompt->yes_no);
  EXPECT_EQ(prompt->icon, UpdateIcon::kInformation);
  // The answer goes back with the question's id; closing the box counts as No.
  auto yes = AnswerFor(*prompt, true);
  ASSERT_TRUE(yes);
  const auto* answer = std::get_if<cmd::AnswerUpdate>(&*yes);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, 42u);
  EXPECT_TRUE(answer->yes);
  EXPECT_FALSE(std::get<cmd::AnswerUpdate>(*AnswerFor(*prompt, false)).yes);

  UpdateNotice n;
  n.title = "Update";
  n.text = "No update is available.";
  prompt = PromptFor(n);
  ASSERT_TRUE(prompt);
  EXPECT_FALSE(prompt->yes_no);
  EXPECT_EQ(prompt->icon, UpdateIcon::kExclamation);
  EXPECT_FALSE(AnswerFor(*prompt, true));
  EXPECT_FALSE(PromptFor(DiagnosticEvent{"a line"}));
}

TEST(UpdatePromptTest, UpdaterStartsWithTheWindowCaption) {
  UpdaterStart u;
  u.program = "QORUpdate.exe";
  u.arguments = {"/v5.1.11"};
  auto start = UpdaterStartFor(u, "NTPms 12");
  ASSERT_TRUE(start);
  EXPECT_EQ(start->program, std::filesystem::path("QORUpdate.exe"));
  EXPECT_EQ(start->arguments, (std::vector<std::string>{"/v5.1.11", "/tNTPms 12"}));
  EXPECT_FALSE(UpdaterStartFor(UpdateNotice{}, "x"));
}

}  // namespace
}  // namespace mdl::desktop
