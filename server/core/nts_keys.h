// The engine's cookie keys of authenticated NTP: loaded from the home folder
// when NTS is turned on (so a restart keeps clients' cookies valid), rotated
// on the engine's tick and saved, owner only, after every change. Other
// threads read the published set (null while NTS is off).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/nts/cookie_keys.h"

namespace mdl {

inline constexpr std::string_view kNtsKeyFileName = "nts_cookie_keys";

class NtsKeyKeeper {
 public:
  using KeysPtr = std::shared_ptr<const nts::CookieKeySet>;
  NtsKeyKeeper(std::filesystem::path home, std::function<void(const std::string&)> diagnostic,
               std::function<void(const KeysPtr&)> publish);

  // On: the file read the first time, the keys brought up to `now_unix` with
  // `period` and published. Off: null published (the keys are kept).
  void Configure(bool on, std::chrono::seconds period, int64_t now_unix);
  // Rotates when due; saves and publishes on a change.
  void Tick(int64_t now_unix);
  const KeysPtr& keys() const { return published_; }
  std::filesystem::path file() const { return home_ / kNtsKeyFileName; }

 private:
  void Load();
  void Save();
  void Publish(bool on);

  std::filesystem::path home_;
  std::function<void(const std::string&)> diagnostic_;
  std::function<void(const KeysPtr&)> publish_;
  nts::CookieKeySet set_;
  bool loaded_ = false;
  bool on_ = false;
  int64_t period_ = 24 * 3600;
  KeysPtr published_;
};

}  // namespace mdl
