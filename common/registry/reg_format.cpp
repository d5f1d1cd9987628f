// Parser and writer of the registry store's text format.
#include "common/registry/reg_format.h"

#include <utility>

#include <algorithm>
#include <array>
#include <unordered_map>

namespace mdl {
namespace {

struct HiveEntry {
  std::string_view name;
  Hive hive;
};

constexpr std::array<HiveEntry, 7> kHives = {{
    {"HKEY_CLASSES_ROOT", Hive::kClassesRoot},
    {"HKEY_CURRENT_USER", Hive::kCurrentUser},
    {"HKEY_LOCAL_MACHINE", Hive::kLocalMachine},
    {"HKEY_USERS", Hive::kUsers},
    {"HKEY_PERFORMANCE_DATA", Hive::kPerformanceData},
    {"HKEY_CURRENT_CONFIG", Hive::kCurrentConfig},
    {"HKEY_DYN_DATA", Hive::kDynData},
}};

// Warnings beyond this many are counted, not listed, so a hostile file cannot
// flood the reporter.
constexpr size_t kMaxWarnings = 20;

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string FoldedKey(Hive hive, std::string_view sub_key) {
  std::string out = std::to_string(static_cast<uint32_t>(hive));
  out.push_back('\\');
  for (char c : sub_key) out.push_back(FoldAscii(c));
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Reads a quoted string starting at text[0] == '"'. On success stores the
// unescaped text and returns the number of bytes consumed; 0 when unterminated.
size_t ReadQuoted(std::string_view text, std::string* out) {
  out->clear();
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return i + 1;
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out->push_back(text[i + 1]);
      ++i;
      continue;
    }
    out->push_back(c);
  }
  return 0;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// Checks the data of a dword:/hex: value; sets *continues when the line ends
// with the continuation backslash of a long hex list.
bool CheckBinaryData(std::string_view data, bool* continues) {
  *continues = false;
  if (data.substr(0, 6) == "dword:") {
    std::string_view digits = TrimRight(data.substr(6));
    return !digits.empty() && digits.size() <= 8 && std::all_of(digits.begin(), digits.end(), IsHexDigit);
  }
  if (data.substr(0, 3) != "hex") return false;
  data.remove_prefix(3);
  if (!data.empty() && data.front() == '(') {
    size_t close = data.find(')');
    if (close == std::string_view::npos || close == 1 || close > 9) return false;
    std::string_view type = data.substr(1, close - 1);
    if (!std::all_of(type.begin(), type.end(), IsHexDigit)) return false;
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data.front() != ':') return false;
  data.remove_prefix(1);
  return true;
}

// The byte list of a hex value (after "hex:" or on a continuation line).
bool CheckHexList(std::string_view list, bool* continues) {
  list = TrimRight(list);
  *continues = !list.empty() && list.back() == '\\';
  if (*continues) list.remove_suffix(1);
  return std::all_of(list.begin(), list.end(),
                     [](char c) { return IsHexDigit(c) || c == ',' || IsBlank(c); });
}

class Parser {
 public:
  RegParseResult Run(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    if (bytes.empty()) {
      result_.ok = true;
      return std::move(result_);
    }
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
      return Fail(1, "the file is UTF-16; the store is read as UTF-8");
    }
    size_t pos = 0;
    while (pos <= bytes.size()) {
      size_t end = bytes.find('\n', pos);
      if (end == std::string_view::npos) end = bytes.size();
      std::string_view line = bytes.substr(pos, end - pos);
      ++line_no_;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.find('\0') != std::string_view::npos) return Fail(line_no_, "NUL byte");
      if (line.find('\r') != std::string_view::npos) return Fail(line_no_, "stray carriage return");
      if (!Line(line)) return Fail(line_no_, error_);
      if (end == bytes.size()) break;
      pos = end + 1;
    }
    if (line_no_ == 0 || !seen_header_) return Fail(1, "missing header line");
    if (in_hex_) return Fail(line_no_, "hex value continues past the end of the file");
    result_.data.trailing_comments = std::move(comments_);
    if (warned_ > kMaxWarnings) {
      result_.warnings.push_back(std::to_string(warned_ - kMaxWarnings) + " more repeated keys or values");
    }
    result_.ok = true;
    return std::move(result_);
  }

 private:
  RegParseResult Fail(size_t line, std::string why) {
    RegParseResult failed;
    failed.error_line = line;
    failed.error = std::move(why);
    return failed;
  }

  bool Line(std::string_view raw) {
    if (in_hex_) {
      if (!CheckHexList(raw, &in_hex_)) return Error("bad hex continuation line");
      std::string& verbatim = result_.data.keys[current_].values[hex_value_].raw;
      verbatim.push_back('\n');
      verbatim += raw;
      return true;
    }
    std::string_view line = TrimRight(TrimLeft(raw));
    if (!seen_header_) {
      if (line != kRegFileHeader && line != "REGEDIT4") {
        return Error("missing header line \"" + std::string(kRegFileHeader) + "\"");
      }
      seen_header_ = true;
      return true;
    }
    if (line.empty()) return true;
    if (line.front() == ';') {
      comments_ += line;
      comments_.push_back('\n');
      return true;
    }
    if (line.front() == '[') return KeyLine(line);
    if (line.front() == '"' || line.front() == '@') return ValueLine(line);
    return Error("unexpected text");
  }

  bool KeyLine(std::string_view line) {
    if (line.size() < 2 || line.back() != ']') return Error("key line without closing ]");
    std::string_view path = line.substr(1, line.size() - 2);
    if (!path.empty() && path.front() == '-') return Error("key deletion entries are not supported");
    size_t slash = path.find('\\');
    std::string_view hive_name = path.substr(0, slash);
    Hive hive = Hive::kNone;
    for (const HiveEntry& entry : kHives) {
      if (SameKeyPath(entry.name, hive_name)) hive = entry.hive;
    }
    if (hive == Hive::kNone) return Error("unknown root key");
    std::string_view sub_key = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    auto [it, added] =
        key_index_.try_emplace(FoldedKey(hive, sub_key), Seen{result_.data.keys.size(), line_no_});
    if (added) {
      RegKey key;
      key.hive = hive;
      key.sub_key = std::string(sub_key);
      result_.data.keys.push_back(std::move(key));
      value_index_.emplace_back();
    } else {
      Warn("key [" + Shortened(path) + "] repeats the key of line " + std::to_string(it->second.line) +
           "; their values are merged");
    }
    current_ = it->second.index;
    result_.data.keys[current_].comments += std::exchange(comments_, {});
    return true;
  }

  bool ValueLine(std::string_view line) {
    if (current_ == kNoKey) return Error("value before the first key");
    std::string name;
    size_t used = 1;
    if (line.front() == '"') {
      used = ReadQuoted(line, &name);
      if (used == 0) return Error("unterminated value name");
    }
    std::string_view rest = TrimLeft(line.substr(used));
    if (rest.empty() || rest.front() != '=') return Error("missing = after the value name");
    rest = TrimLeft(rest.substr(1));
    if (rest.empty()) return Error("missing value data");
    if (rest.front() == '"') {
      std::string data;
      size_t data_used = ReadQuoted(rest, &data);
      if (data_used == 0) return Error("unterminated value data");
      if (!TrimLeft(rest.substr(data_used)).empty()) return Error("text after the value data");
      Store(std::move(name), std::move(data));
      return true;
    }
    if (rest.front() == '-') return Error("value deletion entries are not supported");
    bool continues = false;
    bool good = CheckBinaryData(rest, &continues);
    if (good && rest.substr(0, 3) == "hex") {
      good = CheckHexList(rest.substr(rest.find(':') + 1), &continues);
    }
    if (!good) return Error("unsupported value data");
    hex_value_ = Store(std::move(name), "", std::string(rest));
    in_hex_ = continues;
    return true;
  }

  static std::string Shortened(std::string_view text) {
    return text.size() > 64 ? std::string(text.substr(0, 64)) + "..." : std::string(text);
  }

  void Warn(std::string text) {
    if (++warned_ <= kMaxWarnings)
      result_.warnings.push_back("line " + std::to_string(line_no_) + ": " + text);
  }

  // Returns the value's position in its key.
  size_t Store(std::string name, std::string data, std::string raw = {}) {
    RegKey& key = result_.data.keys[current_];
    auto [it, added] = value_index_[current_].try_emplace(name, Seen{key.values.size(), line_no_});
    if (added) {
      key.values.push_back(RegValue{std::move(name), std::move(data), std::move(raw)});
    } else {
      Warn("value \"" + Shortened(name) + "\" repeats line " + std::to_string(it->second.line) +
           "; the last one is kept");
      it->second.line = line_no_;
      RegValue& value = key.values[it->second.index];
      value.data = std::move(data);
      value.raw = std::move(raw);
    }
    key.values[it->second.index].comments += std::exchange(comments_, {});
    return it->second.index;
  }

  bool Error(std::string why) {
    error_ = std::move(why);
    return false;
  }

  struct Seen {
    size_t index;  // in the key list or the key's value list
    size_t line;   // of the latest entry
  };
  static constexpr size_t kNoKey = static_cast<size_t>(-1);
  RegParseResult result_;
  std::unordered_map<std::string, Seen> key_index_;
  std::vector<std::unordered_map<std::string, Seen>> value_index_;
  size_t current_ = kNoKey;
  size_t hex_value_ = 0;  // the value that continuation lines extend
  size_t line_no_ = 0;
  size_t warned_ = 0;
  bool seen_header_ = false;
  bool in_hex_ = false;
  std::string comments_;  // comment lines not yet given to what follows them
  std::string error_;
};

}  // namespace

std::string_view HiveName(Hive hive) {
  for (const HiveEntry& entry : kHives) {
    if (entry.hive == hive) return entry.name;
  }
  return {};
}

Hive HiveFromName(std::string_view name) {
  for (const HiveEntry& entry : kHives) {
    if (entry.name == name) return entry.hive;
  }
  return Hive::kNone;
}

bool IsKnownHive(Hive hive) { return !HiveName(hive).empty(); }

bool SameKeyPath(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

bool HasForbiddenChar(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

const RegKey* RegData::FindKey(Hive hive, std::string_view sub_key) const {
  for (const RegKey& key : keys) {
    if (key.hive == hive && SameKeyPath(key.sub_key, sub_key)) return &key;
  }
  return nullptr;
}

RegKey* RegData::FindKey(Hive hive, std::string_view sub_key) {
  return const_cast<RegKey*>(std::as_const(*this).FindKey(hive, sub_key));
}

RegKey& RegData::AddKey(Hive hive, std::string_view sub_key) {
  if (RegKey* key = FindKey(hive, sub_key)) return *key;
  RegKey key;
  key.hive = hive;
  key.sub_key = std::string(sub_key);
  keys.push_back(std::move(key));
  return keys.back();
}

void RegData::SetValue(RegKey& key, std::string_view name, std::string_view data) {
  for (RegValue& value : key.values) {
    if (value.name == name) {
      value.data = std::string(data);
      value.raw.clear();
      return;
    }
  }
  key.values.push_back(RegValue{std::string(name), std::string(data)});
}

bool RegData::RemoveValue(RegKey& key, std::string_view name) {
  auto it = std::find_if(key.values.begin(), key.values.end(),
                         [&](const RegValue& value) { return value.name == name; });
  if (it == key.values.end()) return false;
  key.values.erase(it);
  return true;
}

RegParseResult ParseRegFile(std::string_view bytes) { return Parser().Run(bytes); }

std::string SerializeRegFile(const RegData& data) {
  std::string out(kRegFileHeader);
  out += "\n\n";
  for (const RegKey& key : data.keys) {
    out += key.comments;
    out.push_back('[');
    out += HiveName(key.hive);
    if (!key.sub_key.empty()) {
      out.push_back('\\');
      out += key.sub_key;
    }
    out += "]\n";
    for (const RegValue& value : key.values) {
      out += value.comments;
      if (value.name.empty()) {
        out.push_back('@');
      } else {
        AppendQuoted(value.name, &out);
      }
      out.push_back('=');
      if (value.is_string()) {
        AppendQuoted(value.data, &out);
      } else {
        out += value.raw;
      }
      out.push_back('\n');
    }
    out.push_back('\n');
  }
  out += data.trailing_comments;
  return out;
}

}  // namespace mdl
