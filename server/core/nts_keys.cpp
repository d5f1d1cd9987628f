#include "server/core/nts_keys.h"

#include "common/files/safe_file.h"
#include "common/registry/store_file.h"

namespace mdl {

NtsKeyKeeper::NtsKeyKeeper(std::filesystem::path home, std::function<void(const std::string&)> diagnostic,
                           std::function<void(const KeysPtr&)> publish)
    : home_(std::move(home)), diagnostic_(std::move(diagnostic)), publish_(std::move(publish)) {}

void NtsKeyKeeper::Configure(bool on, std::chrono::seconds period, int64_t now_unix) {
  period_ = period.count() > 0 ? period.count() : 1;
  if (!on) {
    if (on_) Publish(false);
    on_ = false;
    return;
  }
  on_ = true;
  if (!loaded_) Load();
  if (nts::RotateCookieKeys(&set_, now_unix, period_)) Save();
  Publish(true);
}

void NtsKeyKeeper::Tick(int64_t now_unix) {
  if (!on_) return;
  // One comparison a tick while nothing is due (a clock step back is a change too).
  const nts::CookieKey* newest = set_.current();
  if (newest != nullptr && now_unix < newest->created_unix + period_ &&
      newest->created_unix - now_unix <= period_)
    return;
  if (!nts::RotateCookieKeys(&set_, now_unix, period_)) return;
  Save();
  Publish(true);
}

void NtsKeyKeeper::Load() {
  loaded_ = true;
  files::ReadPolicy policy;
  policy.max_bytes = 16 * 1024;
  policy.allow_root_owner = false;
  const files::ReadResult read = files::ReadSmallFile(file(), policy);
  if (read.status == files::ReadResult::Status::kMissing) return;
  std::string why = read.error;
  if (read.status == files::ReadResult::Status::kOk) {
    if (auto set = nts::ParseCookieKeys(read.bytes, &why)) {
      set_ = std::move(*set);
      return;
    }
  }
  if (read.status == files::ReadResult::Status::kTooLarge) why = "too large";
  diagnostic_("NTS cookie keys in " + file().string() + " unusable (" + why +
              "): new keys made; clients' cookies are refused until they fetch new ones");
}

void NtsKeyKeeper::Save() {
  // The file exists, owner only, before the replace takes its mode.
  files::Opened folder = files::OpenFolder(home_, /*create=*/true);
  std::string error;
  if (!folder.fd.valid()) {
    error = files::ErrorText(folder.error);
  } else {
    files::Opened f = files::OpenReadWriteAt(folder.fd.get(), std::string(kNtsKeyFileName), 0600);
    if (!f.fd.valid()) {
      error = files::ErrorText(f.error);
    } else if (const int e = files::RestrictToOwner(f.fd.get()); e != 0) {
      error = files::ErrorText(e);
    }
  }
  if (error.empty()) error = WriteFileAtomically(file(), nts::SerializeCookieKeys(set_));
  if (!error.empty()) {
    diagnostic_("NTS cookie keys not saved to " + file().string() + " (" + error +
                "): cookies will not survive a restart");
  }
}

void NtsKeyKeeper::Publish(bool on) {
  published_ = on ? std::make_shared<const nts::CookieKeySet>(set_) : nullptr;
  if (publish_) publish_(published_);
}

}  // namespace mdl
