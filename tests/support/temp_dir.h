// Temporary folders removed with their contents at the end of a test, and
// whole-file read and write helpers.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mdl::testing {

// A fresh folder under the system's temporary folder (mode 0755, so that peers
// running as another user can read it), removed with everything in it on
// destruction, also when a test took away permissions inside it.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "mdl");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Names of the entries directly inside the folder that begin with `prefix`, sorted.
  std::vector<std::string> Entries(std::string_view prefix = "") const;

 private:
  std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);
// Replaces the file's contents with `text`; false when it cannot be written.
bool WriteFile(const std::filesystem::path& file, std::string_view text);

}  // namespace mdl::testing
