// The upstream server list: parsing, region candidates, choice of server.
#include "server/upstream/server_list.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "common/files/safe_file.h"
#include "server/upstream/numeric_text.h"

namespace mdl {
namespace {

constexpr std::string_view kSeparator = ":::";
constexpr std::size_t kMaxHostLength = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A host name or address literal: printable, no blanks, no brackets, no
// slash (which would make it a URL, not a host).
bool IsHostText(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && c != '[' && c != ']' && c != '/';
  });
}

bool IsIpv6Text(std::string_view host) {
  if (host.empty() || host.size() > 64 || host.find(':') == std::string_view::npos) {
    return false;
  }
  // Hex digits, colons, dots (embedded IPv4) and a zone after '%'.
  const std::size_t zone = host.find('%');
  const std::string_view address = host.substr(0, zone);
  const bool address_ok = std::all_of(address.begin(), address.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
  });
  if (!address_ok) return false;
  return zone == std::string_view::npos || (zone + 1 < host.size() && IsHostText(host.substr(zone + 1)));
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

int ImageNumber(std::string_view field3) {
  if (!IsNumericText(field3)) return ServerList::kDefaultImage;
  const double value = RoundHalfEven(LeadingNumber(field3));
  if (!(value >= 0.0 && value <= std::numeric_limits<int>::max())) {
    return ServerList::kDefaultImage;
  }
  return static_cast<int>(value);
}

std::optional<UpstreamAddress> ParseHostAndPort(std::string_view text, uint16_t default_port) {
  if (text.empty()) return std::nullopt;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view host = text.substr(1, close - 1);
    if (!IsIpv6Text(host)) return std::nullopt;
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return UpstreamAddress{std::string(host), default_port};
    if (rest.front() != ':') return std::nullopt;
    const auto port = ParsePort(rest.substr(1));
    if (!port) return std::nullopt;
    return UpstreamAddress{std::string(host), *port};
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    if (!IsHostText(text)) return std::nullopt;
    return UpstreamAddress{std::string(text), default_port};
  }
  if (text.find(':', colon + 1) != std::string_view::npos) {
    // Several colons and no brackets: a bare IPv6 literal.
    if (!IsIpv6Text(text)) return std::nullopt;
    return UpstreamAddress{std::string(text), default_port};
  }
  const std::string_view host = text.substr(0, colon);
  if (!IsHostText(host)) return std::nullopt;
  const auto port = ParsePort(text.substr(colon + 1));
  if (!port) return std::nullopt;
  return UpstreamAddress{std::string(host), *port};
}

}  // namespace

std::optional<UpstreamAddress> ParseUpstreamAddress(std::string_view field1) {
  std::string_view text = TrimBlanks(field1);
  if (text.size() >= kNtsScheme.size() &&
      std::equal(kNtsScheme.begin(), kNtsScheme.end(), text.begin(), [](char a, char b) {
        return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
      })) {
    auto address = ParseHostAndPort(text.substr(kNtsScheme.size()), kNtsKePort);
    if (address) address->nts = true;
    return address;
  }
  return ParseHostAndPort(text, kNtpPort);
}

ServerList ServerList::Parse(std::string_view text) {
  ServerList list;
  int line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line_number <= kHeaderLines) continue;
    if (line.empty()) break;

    std::size_t cuts[3];
    std::size_t from = 0;
    bool four_fields = true;
    for (std::size_t& cut : cuts) {
      cut = line.find(kSeparator, from);
      if (cut == std::string_view::npos) {
        four_fields = false;
        break;
      }
      from = cut + kSeparator.size();
    }
    if (!four_fields) continue;

    if (list.entries_.size() == kMaxEntries) {
      list.warnings_.push_back(
          "Server list: more than 300 servers; only the first 300 are used "
          "(the rest, from line " +
          std::to_string(line_number) + " on, is ignored).");
      break;
    }
    const std::size_t sep = kSeparator.size();
    ServerEntry entry;
    entry.host_field = std::string(line.substr(0, cuts[0]));
    entry.display_text = std::string(line.substr(cuts[0] + sep, cuts[1] - cuts[0] - sep));
    entry.image = ImageNumber(line.substr(cuts[1] + sep, cuts[2] - cuts[1] - sep));
    list.entries_.push_back(std::move(entry));
  }
  return list;
}

void ServerList::CalcRandR(std::string_view region_code) {
  if (region_code.empty()) region_code = "NA";
  region_index_.clear();
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    const std::string& text = entries_[k].display_text;
    const std::string_view tail =
        std::string_view(text).substr(text.size() - std::min<std::size_t>(text.size(), 2));
    // Parse keeps at most kMaxEntries entries, so the index stays within
    // its kMaxEntries positions too.
    if (tail == region_code) region_index_.push_back(static_cast<int>(k + 1));
  }
}

std::optional<int> ServerList::GrabRandom(double u) {
  const std::size_t n = region_index_.size();
  if (n == 0) return std::nullopt;
  if (!(u >= 0.0)) u = 0.0;  // also NaN
  if (u >= 1.0) u = std::nextafter(1.0, 0.0);
  const double i = RoundHalfEven(u * static_cast<double>(n - 1) + 1.0);
  const std::size_t index = std::clamp<std::size_t>(static_cast<std::size_t>(i), 1, n);
  const int position = region_index_[index - 1];
  Select(position);
  return position;
}

bool ServerList::Select(int position) {
  if (position < 1 || position > ServerCount()) return false;
  selected_server_ = position;
  upstream_host_ = entries_[static_cast<std::size_t>(position - 1)].host_field;
  return true;
}

std::string_view ServerList::QueryHost() const {
  if (!upstream_host_.empty()) return upstream_host_;
  if (entries_.empty()) return {};
  return entries_.front().host_field;
}

ServerListFile LoadServerListFile(const std::filesystem::path& path, std::size_t max_bytes) {
  files::ReadPolicy policy;
  policy.max_bytes = max_bytes;
  policy.follow_own_link = true;
  files::ReadResult read = files::ReadSmallFile(path, policy);
  ServerListFile out;
  switch (read.status) {
    case files::ReadResult::Status::kOk:
      out.loaded = true;
      out.list = ServerList::Parse(read.bytes);
      break;
    case files::ReadResult::Status::kMissing:
      out.problem =
          "server list " + path.string() + " is missing: no upstream synchronisation until it is there";
      break;
    case files::ReadResult::Status::kRefused:
      out.problem = "server list refused: " + read.error;
      break;
    case files::ReadResult::Status::kTooLarge:
    case files::ReadResult::Status::kError:
      out.problem = "server list " + path.string() + " cannot be read: " + read.error;
      break;
  }
  return out;
}

}  // namespace mdl
