// The registry module: string values under keys of the seven root hives,
// kept in one file store (regedit's export format) and saved atomically, or
// in the system registry where the platform has one (Windows). Values of
// other types in the file are kept as they are across saves.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/registry/reg_format.h"
#include "common/registry/system_registry.h"

namespace mdl {

// Result codes of DeleteValue, as the platform registry gives them.
inline constexpr int kRegSuccess = 0;
inline constexpr int kRegNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr int kRegInvalidHandle = 6;  // ERROR_INVALID_HANDLE: unknown hive
inline constexpr int kRegWriteFault = 29;    // ERROR_WRITE_FAULT: the store was not saved

// Larger store files are treated as damaged and moved aside unread.
inline constexpr size_t kMaxStoreBytes = 16 * 1024 * 1024;

using RegistryReporter = std::function<void(const std::string& message)>;
// Writes each message to stderr and to syslog.
RegistryReporter DefaultRegistryReporter();

// Reads come from this object's copy: the file as loaded plus this object's
// own changes. Every change re-reads the file under a lock, applies itself to
// what it finds (so programs sharing the store keep each other's values) and
// saves at once, or at the end of a Batch. Problems go to the reporter;
// nothing here throws for bad input or failed I/O.
class Registry {
 public:
  // Loads the store. A missing file is an empty store. A file that cannot be
  // parsed is moved aside to "<file>.corrupt-<UTC time>" and reported with its
  // line; the store then starts empty. A file that cannot be read or moved
  // aside is left alone and no change is ever saved over it. An empty path
  // names the system registry (DefaultStoreFile), where there is one: reads
  // and changes then go to it directly.
  explicit Registry(std::filesystem::path file, RegistryReporter reporter = DefaultRegistryReporter());
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // Reads the file store again (another program or an administrator edited
  // it); changes not yet saved are saved first. The system registry is
  // always read live.
  void Reload();

  // HKEY_LOCAL_MACHINE\sub_key, exact (case-sensitive) value name; "" when
  // missing or not a string value.
  std::string ReadValue(std::string_view sub_key, std::string_view name) const;
  std::string ReadValue(Hive hive, std::string_view sub_key, std::string_view name) const;

  // Creates the key when missing. False for an unknown hive, for text holding
  // a line break or NUL, or when the save failed (the change stays in this
  // object's copy and goes to disk with the next successful save).
  bool WriteValue(Hive hive, std::string_view sub_key, std::string_view name, std::string_view text);

  // kRegSuccess, kRegNotFound when the key or value is missing,
  // kRegInvalidHandle for an unknown hive, kRegWriteFault when not saved.
  int DeleteValue(Hive hive, std::string_view sub_key, std::string_view name);

  // Creates the key named by a full path such as
  // "HKEY_LOCAL_MACHINE\Software\Meridel Server" (nothing for a bad path or
  // an unknown hive).
  void CreateKey(std::string_view full_path);

  struct SplitPath {
    Hive hive = Hive::kNone;
    std::string sub_key;
    bool ok = false;  // the path has the right form (its hive may still be unknown)
  };
  // The path must begin with "HKEY_" and must not end with "\"; otherwise the
  // reporter gets "Incorrect Format:\n\n" + path. The part before the first
  // "\" names the hive (exact names; others give Hive::kNone), the rest is
  // the sub-key.
  SplitPath Split(std::string_view full_path) const;

  // The string values of one key in creation order.
  std::vector<std::pair<std::string, std::string>> Values(Hive hive, std::string_view sub_key) const;

  // Defers saving until the guard ends: one save for a batch of changes.
  // Batches nest; the outermost one saves.
  class Batch {
   public:
    Batch(Batch&& other) noexcept : registry_(std::exchange(other.registry_, nullptr)) {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    Batch& operator=(Batch&&) = delete;
    ~Batch() { Commit(); }
    // Ends the batch now; true when its changes were saved (or nothing was due).
    bool Commit();

   private:
    friend class Registry;
    explicit Batch(Registry* registry) : registry_(registry) {}
    Registry* registry_;
  };
  Batch BeginBatch();

 private:
  struct Change {
    enum class Kind { kCreateKey, kWrite, kDelete } kind;
    Hive hive;
    std::string sub_key;
    std::string name;
    std::string text;
  };

  static void ApplyChange(const Change& change, RegData& data);
  bool Record(Change change);
  bool Save();
  bool SaveChanges(const std::vector<Change>& changes);
  void Load();
  void Report(const std::string& message) const;

  std::filesystem::path file_;
  RegistryReporter reporter_;
  RegData data_;
  std::vector<Change> pending_;
  int batch_depth_ = 0;
  // Set when the file on disk must not be replaced (unreadable, not movable).
  std::string blocked_;
  std::unique_ptr<SystemRegistry> system_;
};

}  // namespace mdl
