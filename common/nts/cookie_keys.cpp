#include "common/nts/cookie_keys.h"

#include <charconv>

namespace mdl::nts {
namespace {

constexpr size_t kMaxKeysInFile = 64;
constexpr std::string_view kHeading =
    "# Cookie keys of authenticated NTP: secret, owner only. Newest first.\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

template <typename T>
bool ReadNumber(std::string_view text, T* out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

// The next space-separated word of `line`, removed from it.
std::string_view Word(std::string_view* line) {
  const size_t space = line->find(' ');
  const std::string_view word = line->substr(0, space);
  line->remove_prefix(space == std::string_view::npos ? line->size() : space + 1);
  return word;
}

}  // namespace

bool RotateCookieKeys(CookieKeySet* set, int64_t now_unix, int64_t period_seconds, size_t keep) {
  bool changed = false;
  const CookieKey* newest = set->current();
  if (newest == nullptr || now_unix - newest->created_unix >= period_seconds ||
      newest->created_unix - now_unix > period_seconds) {
    uint32_t id = 1;
    if (newest != nullptr) id = newest->id + 1;
    // Ids stay unique within the set whatever the file said.
    while (set->find(id) != nullptr) ++id;
    if (auto key = MakeCookieKey(id, now_unix)) {
      set->keys.insert(set->keys.begin(), *key);
      changed = true;
    }
  }
  if (keep == 0) keep = 1;
  if (set->keys.size() > keep) {
    set->keys.resize(keep);
    changed = true;
  }
  const int64_t oldest_kept = now_unix - static_cast<int64_t>(keep) * period_seconds;
  while (set->keys.size() > 1 && set->keys.back().created_unix <= oldest_kept) {
    set->keys.pop_back();
    changed = true;
  }
  return changed;
}

int64_t NextRotationUnix(const CookieKeySet& set, int64_t period_seconds) {
  return set.current() == nullptr ? 0 : set.current()->created_unix + period_seconds;
}

std::string SerializeCookieKeys(const CookieKeySet& set) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(kHeading);
  for (const CookieKey& k : set.keys) {
    out += "key " + std::to_string(k.id) + " " + std::to_string(k.created_unix) + " ";
    for (uint8_t b : k.key) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    out += '\n';
  }
  return out;
}

std::optional<CookieKeySet> ParseCookieKeys(std::string_view text, std::string* error) {
  CookieKeySet set;
  int line_number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(line_number) + ": " + why;
    return std::nullopt;
  };
  while (!text.empty()) {
    ++line_number;
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail("no line end (cut short)");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (Word(&line) != "key") return fail("not a key line");
    CookieKey key;
    if (!ReadNumber(Word(&line), &key.id)) return fail("bad key id");
    if (!ReadNumber(Word(&line), &key.created_unix)) return fail("bad creation time");
    const std::string_view hex = Word(&line);
    if (!line.empty() || hex.size() != 2 * key.key.size()) return fail("bad key");
    for (size_t i = 0; i < key.key.size(); ++i) {
      const int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
      if (hi < 0 || lo < 0) return fail("bad key");
      key.key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (set.find(key.id) != nullptr) return fail("key id " + std::to_string(key.id) + " repeated");
    if (set.keys.size() == kMaxKeysInFile) return fail("too many keys");
    set.keys.push_back(key);
  }
  if (set.keys.empty()) {
    *error = "no key";
    return std::nullopt;
  }
  return set;
}

}  // namespace mdl::nts
