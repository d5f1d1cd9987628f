// Temporary folders and whole-file helpers for tests.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace mdl::testing {

namespace fs = std::filesystem;

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary folder from " << pattern;
    return;
  }
  path_ = pattern;
  std::error_code ec;
  fs::permissions(path_,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  ec);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Give back what a test may have taken away, so that every level can be emptied.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ec);
}

std::vector<std::string> TempDir::Entries(std::string_view prefix) const {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.starts_with(prefix)) out.push_back(std::move(name));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace mdl::testing
