// The update check's flow on the engine's thread.
#include "server/update/update_check.h"

#include <system_error>

#include "common/registry/store_file.h"
#include "server/upstream/server_list.h"

namespace mdl {
namespace {

// A question or notice as one diagnostic line, for a host without a window.
std::string AsLine(std::string_view title, std::string_view text) {
  std::string line = std::string(title) + " ";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      line += ' ';
      ++i;
    } else {
      line += text[i];
    }
  }
  return line;
}

}  // namespace

UpdateCheck::UpdateCheck(boost::asio::io_context& io, Clock& clock, UpdateCheckOptions options,
                         UpdateHooks hooks)
    : io_(io), clock_(clock), options_(std::move(options)), hooks_(std::move(hooks)) {
  host_ = *ParseUpdateHost(kDefaultUpdateHost);
}

UpdateCheck::~UpdateCheck() {
  if (fetch_) fetch_->Cancel();
}

void UpdateCheck::Configure(const std::string& update_host, const std::string& auto_update_list,
                            const std::string& trusted_certificates) {
  if (!update_host.empty()) {
    std::string why;
    if (auto h = ParseUpdateHost(update_host, &why)) {
      host_ = *h;
    } else if (hooks_.diagnostic) {
      hooks_.diagnostic("UpdateHost \"" + update_host.substr(0, 200) + "\": " + why + "; " +
                        std::string(kDefaultUpdateHost) + " kept");
    }
  }
  auto_update_list_ = auto_update_list == "YES";
  extra_ca_file_ = trusted_certificates;
}

std::filesystem::path UpdateCheck::ListPath() const {
  return options_.home / std::string(kServerListFileName);
}

bool UpdateCheck::ListFileMissing() const {
  std::error_code ec;
  return !std::filesystem::exists(std::filesystem::symlink_status(ListPath(), ec));
}

void UpdateCheck::SetStatus(std::string text) {
  status_ = std::move(text);
  if (hooks_.changed) hooks_.changed();
}

void UpdateCheck::Start() {
  if (stage_ != Stage::kIdle) {
    if (hooks_.diagnostic) hooks_.diagnostic("update check: one is running already");
    return;
  }
  fetch_list_ = false;
  offered_ = false;
  button_enabled_ = false;
  stage_ = Stage::kVersion;
  SetStatus("Checking for updates at " + host_.host_header + " ...");
  Fetch(kVersionFilePath, kMaxVersionBody);
}

void UpdateCheck::Fetch(std::string_view path, size_t limit) {
  FetchRequest req;
  req.host = host_;
  req.path = std::string(path);
  req.version = options_.version;
  req.body_limit = limit;
  req.timeout = options_.timeout;
  req.extra_ca_file = extra_ca_file_;
  const bool list = stage_ == Stage::kList;
  fetch_ = HttpFetch::Start(io_, clock_, std::move(req), [this, list](FetchResult r) {
    fetch_.reset();
    if (list) {
      OnList(std::move(r));
    } else {
      OnVersionFile(std::move(r));
    }
  });
}

void UpdateCheck::OnVersionFile(FetchResult r) {
  if (!r.ok) {
    End("update check: the version file: " + r.error, true);
    if (r.too_large)
      Notify("The version file on " + host_.host_header + " is larger than " +
             std::to_string(kMaxVersionBody) + " bytes.");
    return;
  }
  const std::optional<VersionFile> file = ParseVersionFile(r.body);
  // Ends like every other failure, with the button enabled again.
  if (!file) return End("update check: the version file holds fewer than six \"-:-\" fields", true);
  std::optional<uint64_t> local_size;
  std::error_code ec;
  const auto st = std::filesystem::symlink_status(ListPath(), ec);
  if (std::filesystem::exists(st)) {
    const auto size = std::filesystem::file_size(ListPath(), ec);
    local_size = ec ? 0 : static_cast<uint64_t>(size);
  }
  const SaveItDecision d = DecideSaveIt(*file, options_.version, local_size);
  if (!d.note.empty() && hooks_.diagnostic) hooks_.diagnostic("update check: " + d.note);
  list_action_ = d.list;
  if (d.offer_version) {
    offered_ = true;
    const std::string text = NewVersionText(file->newest_version);
    if (options_.can_ask)
      return Ask(UpdateQuestionKind::kNewVersion, std::string(kNewVersionTitle), text, Stage::kAskVersion);
    if (hooks_.diagnostic) hooks_.diagnostic(AsLine(kNewVersionTitle, text));
  }
  ListStep();
}

void UpdateCheck::ListStep() {
  if (list_action_ == ListAction::kFetchWithoutAsking) {
    fetch_list_ = true;
  } else if (list_action_ == ListAction::kOffer) {
    offered_ = true;
    if (options_.can_ask)
      return Ask(UpdateQuestionKind::kNewList, std::string(kNewListTitle), std::string(kNewListText),
                 Stage::kAskList);
    if (hooks_.diagnostic) {
      hooks_.diagnostic(AsLine(kNewListTitle, kNewListText) + (auto_update_list_
                                                                   ? " (AutoUpdateList: downloading)"
                                                                   : " (AutoUpdateList is not YES: kept)"));
    }
    fetch_list_ = auto_update_list_;
  }
  AfterOffers();
}

void UpdateCheck::AfterOffers() {
  const bool nothing_offered = !offered_;
  if (!fetch_list_) {
    End(nothing_offered ? std::string(kNoUpdatesText) : "Update check finished.", false);
  } else {
    stage_ = Stage::kList;
    SetStatus("Downloading the server list from " + host_.host_header + " ...");
    Fetch(kListFilePath, kMaxListBody);
  }
  if (nothing_offered) Notify(std::string(kNoUpdatesText));
}

void UpdateCheck::Ask(UpdateQuestionKind kind, std::string title, std::string text, Stage stage) {
  stage_ = stage;
  UpdateQuestion q;
  q.id = ++question_id_;
  q.kind = kind;
  q.title = std::move(title);
  q.text = std::move(text);
  SetStatus("Waiting for the operator's answer.");
  if (hooks_.ask) hooks_.ask(q);
}

void UpdateCheck::Answer(uint64_t id, bool yes) {
  if (id != question_id_ || (stage_ != Stage::kAskVersion && stage_ != Stage::kAskList)) return;
  if (stage_ == Stage::kAskVersion) {
    if (!yes) return ListStep();
    const std::filesystem::path program = options_.home / std::string(kUpdaterProgram);
    std::error_code ec;
    if (!std::filesystem::exists(program, ec)) {
      End("update check: the updater " + program.string() + " is missing", true);
      Notify("The updater " + std::string(kUpdaterProgram) + " is not in the program folder " +
             options_.home.string() + ".");
      return;
    }
    // The updater takes over: the check ends here and its button stays disabled.
    stage_ = Stage::kIdle;
    SetStatus("Starting the updater.");
    if (hooks_.start_updater) hooks_.start_updater(UpdaterStart{program, {"/v" + options_.version}});
    return;
  }
  if (yes) fetch_list_ = true;
  AfterOffers();
}

void UpdateCheck::OnList(FetchResult r) {
  if (!r.ok) {
    End("update check: the server list was not downloaded (" + r.error + "); the old list is kept", true);
    if (r.too_large)
      Notify("The server list on " + host_.host_header + " is larger than " + std::to_string(kMaxListBody) +
             " bytes; the old list is kept.");
    return;
  }
  const std::optional<int> servers = CheckListBody(r.body);
  if (!servers) {
    End("update check: the downloaded server list names no server; the old list is kept", true);
    Notify("The server list from " + host_.host_header + " names no server; the old list is kept.");
    return;
  }
  const std::filesystem::path path = ListPath();
  // We are the folder's only server (its instance lock): a temporary file left by a killed run is ours.
  RemoveStaleTempFiles(path);
  if (std::string error = WriteFileAtomically(path, r.body); !error.empty()) {
    End("update check: the new server list could not be put in place (" + error + "); the old list is kept",
        true);
    Notify("The new server list could not be saved: " + error + ".");
    return;
  }
  // The list reader clears the fetch-list flag after it has re-read the new list.
  fetch_list_ = false;
  End("Server list updated: " + std::to_string(*servers) + " servers.", false);
  if (hooks_.diagnostic)
    hooks_.diagnostic("update check: server list downloaded from " + host_.host_header + " (" +
                      std::to_string(*servers) + " servers)");
  if (hooks_.list_installed) hooks_.list_installed(*servers);
}

void UpdateCheck::Notify(std::string text) {
  if (options_.can_ask) {
    if (hooks_.notify) hooks_.notify(UpdateNotice{std::string(kUpdaterTitle), std::move(text)});
  } else if (hooks_.diagnostic) {
    hooks_.diagnostic(AsLine(kUpdaterTitle, text));
  }
}

void UpdateCheck::End(const std::string& status, bool failure) {
  stage_ = Stage::kIdle;
  button_enabled_ = true;
  if (failure && hooks_.diagnostic) hooks_.diagnostic(status);
  SetStatus(failure ? "Update check failed: " + status.substr(status.find(": ") + 2) : status);
}

void UpdateCheck::Stop() {
  if (fetch_) fetch_->Cancel();
  fetch_.reset();
  stage_ = Stage::kIdle;
}

}  // namespace mdl
