// The update check (`QORUpdate` and `saveIT`): the version file, the offers
// of a newer version or list, and the list download, which replaces the list
// file only with a complete body that parses into at least one server.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/clock/clock.h"
#include "server/update/http_fetch.h"
#include "server/update/update_core.h"
#include "server/update/update_events.h"

namespace mdl {

struct UpdateCheckOptions {
  std::filesystem::path home;                                   // holds the list file and the updater
  std::string version;                                          // the running version text
  bool can_ask = false;                                         // a window answers the questions
  std::chrono::nanoseconds timeout = std::chrono::seconds(30);  // per exchange
};

struct UpdateHooks {
  std::function<void(const std::string&)> diagnostic;
  std::function<void(const UpdateQuestion&)> ask;
  std::function<void(const UpdateNotice&)> notify;
  std::function<void(const UpdaterStart&)> start_updater;
  // A new list file is in place (with this many servers): read it and synchronise.
  std::function<void(int servers)> list_installed;
  std::function<void()> changed;  // a field of the snapshot changed
};

class UpdateCheck {
 public:
  UpdateCheck(boost::asio::io_context& io, Clock& clock, UpdateCheckOptions options, UpdateHooks hooks);
  ~UpdateCheck();
  UpdateCheck(const UpdateCheck&) = delete;
  UpdateCheck& operator=(const UpdateCheck&) = delete;

  // The registry values "UpdateHost", "AutoUpdateList" and "UpdateTrustedCertificates"
  // (empty: the defaults; the last names a PEM file of CAs trusted besides the system's).
  void Configure(const std::string& update_host, const std::string& auto_update_list,
                 const std::string& trusted_certificates = "");

  // `QORUpdate`: asks for the version file. Ignored while a check runs.
  void Start();
  // The operator's answer to the question `id`; other ids are ignored.
  void Answer(uint64_t id, bool yes);
  // Ends a running check without a word (shutdown).
  void Stop();

  bool ListFileMissing() const;
  bool running() const { return stage_ != Stage::kIdle; }
  bool button_enabled() const { return button_enabled_; }
  const std::string& status() const { return status_; }
  const UpdateHost& host() const { return host_; }

 private:
  enum class Stage { kIdle, kVersion, kAskVersion, kAskList, kList };

  void Fetch(std::string_view path, size_t limit);
  void OnVersionFile(FetchResult r);
  void ListStep();
  void AfterOffers();
  void OnList(FetchResult r);
  void Ask(UpdateQuestionKind kind, std::string title, std::string text, Stage stage);
  void Notify(std::string text);
  // Ends the check: the button is enabled again; `failure` is said in the
  // diagnostic log and the status.
  void End(const std::string& status, bool failure);
  void SetStatus(std::string text);
  std::filesystem::path ListPath() const;

  boost::asio::io_context& io_;
  Clock& clock_;
  UpdateCheckOptions options_;
  UpdateHooks hooks_;
  UpdateHost host_;
  bool auto_update_list_ = false;
  std::string extra_ca_file_;
  Stage stage_ = Stage::kIdle;
  bool fetch_list_ = false;  // the fetch-list flag
  bool offered_ = false;     // the offered flag
  ListAction list_action_ = ListAction::kNone;
  bool button_enabled_ = true;
  uint64_t question_id_ = 0;
  std::string status_;
  std::shared_ptr<HttpFetch> fetch_;
};

}  // namespace mdl
