// The upstream server list: parsing the list file, the region's candidates
// and the choice of the current upstream server (`UpstreamHost`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mdl {

inline constexpr std::string_view kServerListFileName = "QOR_MDLS4.MDL";
inline constexpr uint16_t kNtpPort = 123;
inline constexpr uint16_t kNtsKePort = 4460;
inline constexpr std::string_view kNtsScheme = "nts://";

// Field 1 of a list line: `host`, `host:port`, `[v6]`, `[v6]:port`, or a
// bare IPv6 literal (more than one colon, no brackets), which takes port 123.
// Any of them after `nts://` (the scheme in any case) names an NTS key
// exchange server instead, whose port defaults to 4460.
struct UpstreamAddress {
  std::string host;
  uint16_t port = kNtpPort;
  bool nts = false;  // `port` is the key exchange's

  bool operator==(const UpstreamAddress&) const = default;
};

// Blanks around the field are removed. Empty hosts, blanks or brackets inside
// a host, and ports outside 1..65535 give nullopt.
std::optional<UpstreamAddress> ParseUpstreamAddress(std::string_view field1);

struct ServerEntry {
  std::string display_text;  // field 2; its last two characters: region code
  int image = 2;             // field 3 when numeric, else 2
  std::string host_field;    // field 1 as written

  bool operator==(const ServerEntry&) const = default;
};

class ServerList {
 public:
  // `HostTable` and `RegionIndex` hold this many positions each.
  static constexpr std::size_t kMaxEntries = 300;
  static constexpr int kHeaderLines = 5;
  static constexpr int kDefaultImage = 2;

  // Reads the list file's text. Lines 1 to 5 are a header; from line 6 each
  // line holding three ":::" separators is an entry; the first empty line
  // (also "\r" alone) ends the list. Entries beyond kMaxEntries are ignored
  // with a warning.
  static ServerList Parse(std::string_view text);

  const std::vector<ServerEntry>& entries() const { return entries_; }
  int ServerCount() const { return static_cast<int>(entries_.size()); }
  // Problems worth telling the operator about; the list is usable anyway.
  const std::vector<std::string>& warnings() const { return warnings_; }

  // Rebuilds `RegionIndex`: the positions (from 1, ascending) of the entries
  // whose display text ends in `region_code`, compared case-sensitively. An
  // empty code means "NA".
  void CalcRandR(std::string_view region_code);
  const std::vector<int>& RegionIndex() const { return region_index_; }

  // Picks a candidate of the region with u drawn uniformly from [0, 1) by
  // the caller: i = round-half-even(u * (n - 1) + 1), so the first and last
  // candidates are half as likely as the others. Makes it current and
  // returns its list position; an empty region changes nothing (nullopt).
  std::optional<int> GrabRandom(double u);

  // The operator's choice of list position `position` (from 1). False, and
  // nothing changed, when there is no such entry.
  bool Select(int position);

  // Field 1 of the current entry as written; empty until a choice is made.
  const std::string& UpstreamHost() const { return upstream_host_; }
  // List position of the entry picked last; 0 before any choice.
  int SelectedServer() const { return selected_server_; }
  // The host a query goes to: `UpstreamHost`, or position 1 of the host
  // table while nothing has been chosen; empty for an empty list.
  std::string_view QueryHost() const;

 private:
  std::vector<ServerEntry> entries_;
  std::vector<std::string> warnings_;
  std::vector<int> region_index_;
  std::string upstream_host_;
  int selected_server_ = 0;
};

struct ServerListFile {
  bool loaded = false;
  ServerList list;      // when loaded
  std::string problem;  // the diagnostic line otherwise
};

// Reads and parses the list file. A link is read through only when it
// belongs to us or root; the file must be a plain file of ours or root's and
// at most max_bytes long. Nothing is ever written to it.
ServerListFile LoadServerListFile(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace mdl
