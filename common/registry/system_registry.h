// The operating system's own registry, where there is one (Windows): the
// store the programs use unless --registry names a file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/registry/reg_format.h"

namespace mdl {

class SystemRegistry {
 public:
  virtual ~SystemRegistry() = default;
  // A string value (REG_SZ or REG_EXPAND_SZ, unexpanded); "" when missing or
  // of another type.
  virtual std::string Read(Hive hive, std::string_view sub_key, std::string_view name) const = 0;
  // The string values of one key in the registry's order.
  virtual std::vector<std::pair<std::string, std::string>> Values(Hive hive,
                                                                  std::string_view sub_key) const = 0;
  // Creates the key when missing; "" on success, else the reason.
  virtual std::string Write(Hive hive, std::string_view sub_key, std::string_view name,
                            std::string_view text) = 0;
  // The platform's result code (0, 2 when the key or value is missing, ...).
  virtual int Delete(Hive hive, std::string_view sub_key, std::string_view name) = 0;
  virtual std::string CreateKey(Hive hive, std::string_view sub_key) = 0;
};

// The system registry, or nullptr where the platform has none (Linux).
std::unique_ptr<SystemRegistry> OpenSystemRegistry();

// The settings store of a program folder when --registry names none: a
// file in the folder on Linux, "" (the system registry) on Windows.
std::filesystem::path DefaultStoreFile(const std::filesystem::path& home);

}  // namespace mdl
