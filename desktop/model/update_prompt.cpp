// Update events as message boxes and the updater's command line.
#include "desktop/model/update_prompt.h"

#include "desktop/model/window_texts.h"

namespace mdl::desktop {

std::optional<UpdatePrompt> PromptFor(const EngineEvent& event) {
  if (const auto* q = std::get_if<UpdateQuestion>(&event)) {
    return UpdatePrompt{q->title, LabelText(q->text), q->icon, q->buttons == UpdateButtons::kYesNo, q->id};
  }
  if (const auto* n = std::get_if<UpdateNotice>(&event)) {
    return UpdatePrompt{n->title, LabelText(n->text), n->icon, n->buttons == UpdateButtons::kYesNo,
                        std::nullopt};
  }
  return std::nullopt;
}

std::optional<EngineCommand> AnswerFor(const UpdatePrompt& prompt, bool yes) {
  if (!prompt.question) return std::nullopt;
  return cmd::AnswerUpdate{*prompt.question, yes};
}

std::optional<ProgramStart> UpdaterStartFor(const EngineEvent& event, std::string_view window_caption) {
  const auto* u = std::get_if<UpdaterStart>(&event);
  if (!u) return std::nullopt;
  ProgramStart start{u->program, u->arguments};
  start.arguments.push_back("/t" + std::string(window_caption));
  return start;
}

}  // namespace mdl::desktop
