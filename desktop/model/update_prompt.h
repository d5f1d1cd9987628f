// The update check's questions and notices as message boxes, their answers
// as commands, and the updater's start, for either toolkit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/engine_commands.h"
#include "server/core/engine_snapshot.h"

namespace mdl::desktop {

// A message box to show.
struct UpdatePrompt {
  std::string title;
  std::string text;  // lines separated by "\n"
  UpdateIcon icon = UpdateIcon::kInformation;
  bool yes_no = false;  // Yes and No buttons; else OK only
  // A question's id: its answer is posted when the box closes (closing counts as No).
  std::optional<uint64_t> question;
};

// The box for an UpdateQuestion or UpdateNotice; none for other events.
std::optional<UpdatePrompt> PromptFor(const EngineEvent& event);
// The command a closed box posts: the question's answer; none for a notice.
std::optional<EngineCommand> AnswerFor(const UpdatePrompt& prompt, bool yes);

// A program to start (detached), with its arguments one by one.
struct ProgramStart {
  std::filesystem::path program;
  std::vector<std::string> arguments;
};
// The updater's start for an UpdaterStart event: its arguments and then
// "/t" + the main window's caption; none for other events.
std::optional<ProgramStart> UpdaterStartFor(const EngineEvent& event, std::string_view window_caption);

}  // namespace mdl::desktop
