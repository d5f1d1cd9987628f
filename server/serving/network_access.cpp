// Access lists: parsing, the per-prefix-length tables and the look-up.
#include "server/serving/network_access.h"

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <optional>

namespace mdl {
namespace {

constexpr size_t kShownEntryChars = 64;
// Longest address text: an IPv6 address with an embedded IPv4 address.
constexpr size_t kMaxAddressChars = 45;
constexpr size_t kNamedMalformed = 8;

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';'; }

std::string Shown(std::string_view entry) {
  std::string out;
  const size_t n = std::min(entry.size(), kShownEntryChars);
  out.reserve(n + 3);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(entry[i]);
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  if (entry.size() > n) out += "...";
  return out;
}

// A prefix length: 1 to 3 decimal digits, at most `max`.
std::optional<unsigned> ReadPrefix(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

void ClearHostBits(Network& n) {
  const size_t bytes = n.v6 ? 16 : 4;
  for (size_t i = 0; i < bytes; ++i) {
    const unsigned first_bit = static_cast<unsigned>(i) * 8;
    if (first_bit >= n.prefix) {
      n.bytes[i] = 0;
    } else if (n.prefix - first_bit < 8) {
      n.bytes[i] &= static_cast<uint8_t>(0xFFu << (8 - (n.prefix - first_bit)));
    }
  }
}

std::optional<Network> ReadNetwork(std::string_view entry) {
  const size_t slash = entry.find('/');
  const std::string_view address = entry.substr(0, slash);
  if (address.empty() || address.size() > kMaxAddressChars) return std::nullopt;
  // A scope id names an interface, which a list of networks cannot mean.
  if (address.find('%') != std::string_view::npos) return std::nullopt;
  boost::system::error_code ec;
  const boost::asio::ip::address a = boost::asio::ip::make_address(std::string(address), ec);
  if (ec) return std::nullopt;
  Network n;
  n.v6 = a.is_v6();
  if (n.v6) {
    n.bytes = a.to_v6().to_bytes();
  } else {
    const auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), n.bytes.begin());
  }
  const unsigned max = n.v6 ? 128 : 32;
  if (slash == std::string_view::npos) {
    n.prefix = static_cast<uint8_t>(max);
  } else {
    const auto prefix = ReadPrefix(entry.substr(slash + 1), max);
    if (!prefix) return std::nullopt;
    n.prefix = static_cast<uint8_t>(*prefix);
  }
  if (n.v6 && n.prefix >= 96 && a.to_v6().is_v4_mapped()) {
    Network v4;
    std::copy(n.bytes.begin() + 12, n.bytes.end(), v4.bytes.begin());
    v4.prefix = static_cast<uint8_t>(n.prefix - 96);
    n = v4;
  }
  ClearHostBits(n);
  return n;
}

std::string Networks(size_t n) { return std::to_string(n) + (n == 1 ? " network" : " networks"); }

uint32_t V4Mask(unsigned prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }

uint64_t Mask64(unsigned bits) {
  return bits == 0 ? 0 : bits >= 64 ? ~uint64_t{0} : ~uint64_t{0} << (64 - bits);
}

}  // namespace

std::string NetworkText(const Network& n) {
  std::string text;
  if (n.v6) {
    text = boost::asio::ip::address_v6(n.bytes).to_string();
  } else {
    text = boost::asio::ip::address_v4({n.bytes[0], n.bytes[1], n.bytes[2], n.bytes[3]}).to_string();
  }
  return text + "/" + std::to_string(n.prefix);
}

NetworkList ParseNetworkList(std::string_view text) {
  NetworkList out;
  size_t at = 0;
  while (at < text.size()) {
    if (IsSeparator(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string_view entry = text.substr(at, end - at);
    if (auto n = ReadNetwork(entry)) {
      out.networks.push_back(*n);
    } else {
      out.malformed.push_back(Shown(entry));
    }
    at = end;
  }
  return out;
}

std::vector<std::string> DescribeAccessLists(const NetworkList& allow, const NetworkList& deny) {
  std::vector<std::string> lines;
  auto complain = [&](std::string_view name, const NetworkList& list) {
    if (list.malformed.empty()) return;
    std::string line = std::string(name) + ": ";
    const size_t named = std::min(list.malformed.size(), kNamedMalformed);
    for (size_t i = 0; i < named; ++i) line += (i ? ", \"" : "\"") + list.malformed[i] + "\"";
    if (list.malformed.size() > named)
      line += " and " + std::to_string(list.malformed.size() - named) + " more";
    line += list.malformed.size() == 1 ? " is not a network" : " are not networks";
    line += " (address or address/prefix length); ignored";
    lines.push_back(std::move(line));
  };
  complain("AllowNetworks", allow);
  complain("DenyNetworks", deny);
  if (allow.given() && allow.networks.empty())
    lines.push_back("AllowNetworks names no usable network: every client is denied until it does");
  if (allow.given() || deny.given()) {
    std::string line = "access lists: " + Networks(allow.networks.size()) + " allowed, " +
                       std::to_string(deny.networks.size()) + " denied";
    if (allow.given()) line += "; clients outside the allowed networks are denied";
    lines.push_back(std::move(line));
  }
  return lines;
}

template <typename Key>
void NetworkAccess::Add(Levels<Key>& levels, Key key, unsigned prefix, bool deny) {
  auto level =
      std::find_if(levels.begin(), levels.end(), [&](const Level<Key>& l) { return l.prefix == prefix; });
  if (level == levels.end()) {
    levels.push_back(Level<Key>{prefix, {}});
    level = levels.end() - 1;
  }
  level->entries.push_back(Entry<Key>{key, deny});
}

template <typename Key>
void NetworkAccess::Finish(Levels<Key>& levels) {
  std::sort(levels.begin(), levels.end(), [](const auto& a, const auto& b) { return a.prefix > b.prefix; });
  for (Level<Key>& level : levels) {
    auto& e = level.entries;
    // Denies first among equal keys, so that the one kept of each key is a deny.
    std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) {
      return a.key < b.key || (a.key == b.key && a.deny && !b.deny);
    });
    e.erase(std::unique(e.begin(), e.end(), [](const auto& a, const auto& b) { return a.key == b.key; }),
            e.end());
    e.shrink_to_fit();
  }
}

NetworkAccess::NetworkAccess(const NetworkList& allow, const NetworkList& deny) {
  auto add = [&](const Network& n, bool is_deny) {
    if (n.v6) {
      V6Key key;
      for (size_t i = 0; i < 8; ++i) key.hi = key.hi << 8 | n.bytes[i];
      for (size_t i = 8; i < 16; ++i) key.lo = key.lo << 8 | n.bytes[i];
      Add(v6_, key, n.prefix, is_deny);
    } else {
      const uint32_t key = uint32_t{n.bytes[0]} << 24 | uint32_t{n.bytes[1]} << 16 |
                           uint32_t{n.bytes[2]} << 8 | uint32_t{n.bytes[3]};
      Add(v4_, key, n.prefix, is_deny);
    }
  };
  for (const Network& n : allow.networks) add(n, false);
  for (const Network& n : deny.networks) add(n, true);
  Finish(v4_);
  Finish(v6_);
  allow_only_listed_ = allow.given();
  restricting_ = allow.given() || !deny.networks.empty();
}

template <typename Key, typename Mask>
bool NetworkAccess::Decide(const Levels<Key>& levels, Key key, Mask mask) const {
  for (const Level<Key>& level : levels) {
    const Key masked = mask(key, level.prefix);
    auto it = std::lower_bound(level.entries.begin(), level.entries.end(), masked,
                               [](const Entry<Key>& e, const Key& k) { return e.key < k; });
    if (it != level.entries.end() && it->key == masked) return !it->deny;
  }
  return !allow_only_listed_;
}

bool NetworkAccess::Allows(const boost::asio::ip::address& a) const {
  auto v4 = [this](uint32_t key) {
    return Decide(v4_, key, [](uint32_t k, unsigned prefix) { return k & V4Mask(prefix); });
  };
  if (a.is_v4()) return v4(a.to_v4().to_uint());
  const boost::asio::ip::address_v6 six = a.to_v6();
  if (six.is_v4_mapped())
    return v4(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, six).to_uint());
  const auto b = six.to_bytes();
  V6Key key;
  for (size_t i = 0; i < 8; ++i) key.hi = key.hi << 8 | b[i];
  for (size_t i = 8; i < 16; ++i) key.lo = key.lo << 8 | b[i];
  return Decide(v6_, key, [](V6Key k, unsigned prefix) {
    return V6Key{k.hi & Mask64(prefix), k.lo & (prefix <= 64 ? 0 : Mask64(prefix - 64))};
  });
}

}  // namespace mdl
