// The registry module over its file store.
#include "common/registry/registry.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "common/clock/system_clock.h"
#include "common/registry/store_file.h"

namespace mdl {
namespace {

// A writer that holds the store lock longer than this is taken to be stuck.
constexpr std::chrono::milliseconds kLockWait(2000);
// Changes whose save failed are retried with the next save, up to this many.
constexpr size_t kMaxUnsavedChanges = 1000;

std::time_t UtcNow() { return static_cast<std::time_t>(FloorUnixSeconds(SystemNow())); }

}  // namespace

Registry::Registry(std::filesystem::path file, RegistryReporter reporter)
    : file_(std::move(file)), reporter_(std::move(reporter)) {
  if (file_.empty()) system_ = OpenSystemRegistry();
  if (!system_) Load();
}

void Registry::Report(const std::string& message) const {
  if (reporter_) reporter_(message);
}

void Registry::Reload() {
  if (system_) return;
  Save();
  blocked_.clear();
  data_ = RegData{};
  Load();
}

void Registry::Load() {
  StoreRead read = ReadStoreFile(file_, kMaxStoreBytes);
  std::string problem;
  switch (read.status) {
    case StoreRead::Status::kMissing:
      return;
    case StoreRead::Status::kError:
      blocked_ = read.error;
      Report("Registry store " + file_.string() + " cannot be read (" + read.error +
             "); starting from an empty store and leaving the file untouched");
      return;
    case StoreRead::Status::kTooLarge:
      problem = file_.string() + ": " + read.error;
      break;
    case StoreRead::Status::kOk: {
      RegParseResult parsed = ParseRegFile(read.bytes);
      if (parsed.ok) {
        data_ = std::move(parsed.data);
        for (const std::string& warning : parsed.warnings) {
          Report("Registry store " + file_.string() + ": " + warning);
        }
        return;
      }
      problem = file_.string() + ":" + std::to_string(parsed.error_line) + ": " + parsed.error;
      break;
    }
  }
  std::filesystem::path moved_to;
  std::string move_error = MoveAside(file_, UtcNow(), &moved_to);
  if (move_error.empty()) {
    Report("Registry store damaged: " + problem + "; moved aside to " + moved_to.string() +
           "; starting from an empty store");
  } else {
    blocked_ = move_error;
    Report("Registry store damaged: " + problem + "; " + move_error +
           "; starting from an empty store and leaving the file untouched");
  }
}

std::string Registry::ReadValue(std::string_view sub_key, std::string_view name) const {
  return ReadValue(Hive::kLocalMachine, sub_key, name);
}

std::string Registry::ReadValue(Hive hive, std::string_view sub_key, std::string_view name) const {
  if (system_) return IsKnownHive(hive) ? system_->Read(hive, sub_key, name) : "";
  const RegKey* key = data_.FindKey(hive, sub_key);
  if (key == nullptr) return "";
  for (const RegValue& value : key->values) {
    if (value.name == name) return value.is_string() ? value.data : "";
  }
  return "";
}

std::vector<std::pair<std::string, std::string>> Registry::Values(Hive hive, std::string_view sub_key) const {
  if (system_)
    return IsKnownHive(hive) ? system_->Values(hive, sub_key)
                             : std::vector<std::pair<std::string, std::string>>{};
  std::vector<std::pair<std::string, std::string>> out;
  if (const RegKey* key = data_.FindKey(hive, sub_key)) {
    for (const RegValue& value : key->values) {
      if (value.is_string()) out.emplace_back(value.name, value.data);
    }
  }
  return out;
}

bool Registry::WriteValue(Hive hive, std::string_view sub_key, std::string_view name, std::string_view text) {
  if (!IsKnownHive(hive)) {
    Report("Registry: cannot write \"" + std::string(name) + "\": unknown root key");
    return false;
  }
  if (HasForbiddenChar(sub_key) || HasForbiddenChar(name) || HasForbiddenChar(text)) {
    Report("Registry: cannot write \"" + std::string(name) +
           "\": a key, name or text may not hold a line break or NUL");
    return false;
  }
  if (system_) {
    const std::string error = system_->Write(hive, sub_key, name, text);
    if (!error.empty()) Report("Registry: cannot write \"" + std::string(name) + "\": " + error);
    return error.empty();
  }
  return Record(
      Change{Change::Kind::kWrite, hive, std::string(sub_key), std::string(name), std::string(text)});
}

int Registry::DeleteValue(Hive hive, std::string_view sub_key, std::string_view name) {
  if (!IsKnownHive(hive)) return kRegInvalidHandle;
  if (system_) return system_->Delete(hive, sub_key, name);
  RegKey* key = data_.FindKey(hive, sub_key);
  if (key == nullptr) return kRegNotFound;
  bool found = false;
  for (const RegValue& value : key->values) found = found || value.name == name;
  if (!found) return kRegNotFound;
  bool saved = Record(Change{Change::Kind::kDelete, hive, std::string(sub_key), std::string(name), ""});
  return saved ? kRegSuccess : kRegWriteFault;
}

void Registry::CreateKey(std::string_view full_path) {
  SplitPath split = Split(full_path);
  if (!split.ok || split.hive == Hive::kNone) return;
  if (HasForbiddenChar(split.sub_key)) {
    Report("Registry: cannot create a key whose path holds a line break or NUL");
    return;
  }
  if (system_) {
    const std::string error = system_->CreateKey(split.hive, split.sub_key);
    if (!error.empty()) Report("Registry: cannot create " + std::string(full_path) + ": " + error);
    return;
  }
  Record(Change{Change::Kind::kCreateKey, split.hive, std::move(split.sub_key), "", ""});
}

Registry::SplitPath Registry::Split(std::string_view full_path) const {
  SplitPath out;
  if (full_path.substr(0, 5) != "HKEY_" || full_path.back() == '\\') {
    Report("Incorrect Format:\n\n" + std::string(full_path));
    return out;
  }
  size_t slash = full_path.find('\\');
  out.hive = HiveFromName(full_path.substr(0, slash));
  if (slash != std::string_view::npos) out.sub_key = std::string(full_path.substr(slash + 1));
  out.ok = true;
  return out;
}

void Registry::ApplyChange(const Change& change, RegData& data) {
  switch (change.kind) {
    case Change::Kind::kCreateKey:
      data.AddKey(change.hive, change.sub_key);
      break;
    case Change::Kind::kWrite:
      RegData::SetValue(data.AddKey(change.hive, change.sub_key), change.name, change.text);
      break;
    case Change::Kind::kDelete:
      if (RegKey* key = data.FindKey(change.hive, change.sub_key)) {
        RegData::RemoveValue(*key, change.name);
      }
      break;
  }
}

bool Registry::Record(Change change) {
  ApplyChange(change, data_);
  pending_.push_back(std::move(change));
  return batch_depth_ > 0 || Save();
}

bool Registry::Save() {
  if (pending_.empty()) return true;
  if (!blocked_.empty()) {
    pending_.clear();
    Report("Registry store " + file_.string() + " not saved: " + blocked_);
    return false;
  }
  std::vector<Change> changes = std::move(pending_);
  pending_.clear();
  if (!SaveChanges(changes)) {
    // Kept for the next save, within bounds.
    if (changes.size() <= kMaxUnsavedChanges) pending_ = std::move(changes);
    return false;
  }
  return true;
}

bool Registry::SaveChanges(const std::vector<Change>& changes) {
  StoreLock lock(file_, kLockWait);
  if (!lock.held()) {
    Report("Registry store " + file_.string() + " not saved: " + lock.error());
    return false;
  }
  RemoveStaleTempFiles(file_);
  // Start from what is on disk now, so values other programs saved survive.
  StoreRead read = ReadStoreFile(file_, kMaxStoreBytes);
  if (read.status == StoreRead::Status::kError) {
    Report("Registry store " + file_.string() + " not saved: " + read.error);
    return false;
  }
  if (read.status == StoreRead::Status::kMissing) {
    RegData fresh;
    for (const Change& change : changes) ApplyChange(change, fresh);
    data_ = std::move(fresh);
  } else {
    RegParseResult parsed;
    if (read.status == StoreRead::Status::kOk) parsed = ParseRegFile(read.bytes);
    if (parsed.ok) {
      for (const Change& change : changes) ApplyChange(change, parsed.data);
      data_ = std::move(parsed.data);
    } else {
      // Damaged since it was loaded: keep it for inspection and write ours.
      std::filesystem::path moved_to;
      std::string move_error = MoveAside(file_, UtcNow(), &moved_to);
      if (!move_error.empty()) {
        Report("Registry store " + file_.string() + " is damaged and not saved: " + move_error);
        return false;
      }
      Report("Registry store damaged: " + file_.string() + ":" + std::to_string(parsed.error_line) + ": " +
             (read.status == StoreRead::Status::kOk ? parsed.error : read.error) + "; moved aside to " +
             moved_to.string());
    }
  }
  std::string error = WriteFileAtomically(file_, SerializeRegFile(data_));
  if (!error.empty()) {
    Report("Registry store " + file_.string() + " not saved: " + error);
    return false;
  }
  return true;
}

Registry::Batch Registry::BeginBatch() {
  ++batch_depth_;
  return Batch(this);
}

bool Registry::Batch::Commit() {
  Registry* registry = std::exchange(registry_, nullptr);
  if (registry == nullptr) return true;
  if (--registry->batch_depth_ > 0) return true;
  return registry->Save();
}

}  // namespace mdl
