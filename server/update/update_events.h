// What the update check asks and tells the operator: a window shows these
// as message boxes (title, text, icon, buttons as given); a host without a
// window never receives a question.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mdl {

enum class UpdateIcon { kInformation, kExclamation };
enum class UpdateButtons { kYesNo, kOk };
enum class UpdateQuestionKind { kNewVersion, kNewList };

// Answered by cmd::AnswerUpdate with the same id (closing the box counts as No).
struct UpdateQuestion {
  uint64_t id = 0;
  UpdateQuestionKind kind = UpdateQuestionKind::kNewVersion;
  std::string title;
  std::string text;  // lines separated by CR LF
  UpdateIcon icon = UpdateIcon::kInformation;
  UpdateButtons buttons = UpdateButtons::kYesNo;
};

// A message with an OK button only.
struct UpdateNotice {
  std::string title;
  std::string text;
  UpdateIcon icon = UpdateIcon::kExclamation;
  UpdateButtons buttons = UpdateButtons::kOk;
};

// The operator took the new version: start `program` with `arguments` and
// then " /t" and the window caption as one more argument ("/t" + caption).
struct UpdaterStart {
  std::filesystem::path program;
  std::vector<std::string> arguments;  // {"/v" + version}
};

}  // namespace mdl
