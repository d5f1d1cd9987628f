// The registry store's text format: regedit's export layout, parsed from bytes
// and written back to bytes (no file I/O here). String values are read and
// written; values of other types are carried along verbatim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mdl {

enum class Hive : uint32_t {
  kNone = 0,
  kClassesRoot = 0x80000000,
  kCurrentUser = 0x80000001,
  kLocalMachine = 0x80000002,
  kUsers = 0x80000003,
  kPerformanceData = 0x80000004,
  kCurrentConfig = 0x80000005,
  kDynData = 0x80000006,
};

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

// "HKEY_LOCAL_MACHINE" etc.; "" for kNone or a value outside the table.
std::string_view HiveName(Hive hive);
// Exact (case-sensitive) table lookup; kNone for any other name.
Hive HiveFromName(std::string_view name);
bool IsKnownHive(Hive hive);

// Key paths compare like Windows compares them: ASCII letters without case.
bool SameKeyPath(std::string_view a, std::string_view b);

// Text that a value name, value data or key path may not hold: the format is
// line based and a NUL ends a string value.
bool HasForbiddenChar(std::string_view text);

struct RegValue {
  std::string name;  // "" is the key's default value, written as @
  std::string data;  // of a string value
  // Non-empty for any other value (dword:, hex:, hex(N):): the text after
  // "=" as it stood, continuation lines joined with LF. Written back as is.
  std::string raw{};
  // The ";" comment lines just before it, each ending in LF: kept across saves.
  std::string comments{};
  bool is_string() const { return raw.empty(); }
  bool operator==(const RegValue&) const = default;
};

struct RegKey {
  Hive hive = Hive::kNone;
  std::string sub_key;
  std::vector<RegValue> values;  // creation order, names unique
  std::string comments{};        // the ";" comment lines before its [key] line
  bool operator==(const RegKey&) const = default;
};

// Keys in creation order; no two keys with the same hive and path.
struct RegData {
  std::vector<RegKey> keys;
  std::string trailing_comments;  // ";" comment lines after the last value
  bool operator==(const RegData&) const = default;

  const RegKey* FindKey(Hive hive, std::string_view sub_key) const;
  RegKey* FindKey(Hive hive, std::string_view sub_key);
  // Finds or appends the key.
  RegKey& AddKey(Hive hive, std::string_view sub_key);
  // Makes the value a string value holding `data` (in place), or appends it.
  static void SetValue(RegKey& key, std::string_view name, std::string_view data);
  // Removes the value; false when it was not there.
  static bool RemoveValue(RegKey& key, std::string_view name);
};

struct RegParseResult {
  bool ok = false;
  RegData data;                       // complete when ok, empty otherwise (never half-loaded)
  size_t error_line = 0;              // 1-based line of the first error
  std::string error;                  // why the text was rejected
  std::vector<std::string> warnings;  // "line N: ..." for entries that were skipped
};

// Accepts an optional UTF-8 byte order mark, LF or CRLF line ends, the header
// line (or "REGEDIT4"), blank lines, ";" comment lines, [key] lines and
// "name"="data" / @="data" lines with \\ and \" escapes (any other backslash
// is kept as it stands), dword:, hex: and hex(N): values (kept verbatim).
// Repeated keys merge; a repeated value name keeps its first position and
// takes the last data; both are warned about with their lines. Everything
// else is rejected. An empty text is an empty store.
RegParseResult ParseRegFile(std::string_view bytes);

// The canonical text: header, a blank line, then each key followed by its
// values and a blank line, each comment line before what it stood before.
// LF line ends.
std::string SerializeRegFile(const RegData& data);

}  // namespace mdl
