// The update check without I/O: the update host value, the request text,
// the HTTP response reader, the version file, version order, the decisions
// after the version file, and the check of a downloaded server list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace mdl {

inline constexpr std::string_view kDefaultUpdateHost = "www.meridel-time.example";
inline constexpr std::string_view kVersionFilePath = "/Meridel/MDLVCS4.IPF";
inline constexpr std::string_view kListFilePath = "/Meridel/QOR_MDLS4.MDL";
inline constexpr std::string_view kUpdaterProgram = "QORUpdate";

// Bodies larger than these end the check.
inline constexpr size_t kMaxVersionBody = 4 * 1024;
inline constexpr size_t kMaxListBody = 1024 * 1024;

inline constexpr std::string_view kNewVersionTitle = "Meridel Server AUTO Update Available!";
inline constexpr std::string_view kNewListTitle = "Meridel Update Available!";
inline constexpr std::string_view kNewListText = "Would you like to update your MDL Server File?";
inline constexpr std::string_view kUpdaterTitle = "Meridel Server Updater";
inline constexpr std::string_view kNoUpdatesText = "No Updates Available.";
std::string NewVersionText(std::string_view newest);

// `UpdateHost`: host, host:port, [v6]:port, optionally after "http://";
// "https://" selects TLS (default port 443).
struct UpdateHost {
  bool tls = false;
  std::string host;  // without brackets
  uint16_t port = 80;
  std::string host_header;  // the Host header's value: the port only when not the scheme's default

  bool operator==(const UpdateHost&) const = default;
};
// nullopt, with the reason in *why, when the text is not such a value.
std::optional<UpdateHost> ParseUpdateHost(std::string_view text, std::string* why = nullptr);

// The request for `path`, headers in the fixed order, ended by an empty line.
std::string BuildUpdateRequest(std::string_view path, std::string_view host_header, std::string_view version);

// Reads one HTTP response from bytes as they arrive (any split, chunked or
// not, with or without Content-Length). Done only for a complete 200
// response whose body is at most body_limit bytes; anything else fails.
class ResponseReader {
 public:
  enum class State { kReading, kDone, kFailed };
  explicit ResponseReader(size_t body_limit);
  ~ResponseReader();
  ResponseReader(const ResponseReader&) = delete;
  ResponseReader& operator=(const ResponseReader&) = delete;

  State Feed(std::string_view bytes);
  // The peer closed the connection.
  State End();

  State state() const { return state_; }
  const std::string& body() const;  // when kDone
  const std::string& error() const { return error_; }
  bool too_large() const { return too_large_; }

 private:
  State Fail(std::string why);
  State Check();
  struct Parser;
  std::unique_ptr<Parser> parser_;
  size_t body_limit_;
  std::string pending_;
  State state_ = State::kReading;
  std::string error_;
  bool too_large_ = false;
};

// The version file: fields separated by "-:-" (counted from 0), CR LF pairs
// removed first. Fewer than six fields: nullopt.
struct VersionFile {
  std::string newest_version;  // field 1, blanks around it removed
  std::string list_size_text;  // field 4, likewise
};
std::optional<VersionFile> ParseVersionFile(std::string_view body);

// Dotted versions ("5.1.10"): each component is digits with optional letters
// or digits after them; up to 40 characters in all.
bool IsVersionText(std::string_view v);
// <0, 0, >0 as a sorts before, with or after b: components compare as
// numbers (then their trailing letters as text), missing ones count as 0.
// nullopt when either is not a version text.
std::optional<int> CompareVersions(std::string_view a, std::string_view b);

// A decimal byte count (blanks around it allowed).
std::optional<uint64_t> ParseByteCount(std::string_view text);

// What to do after the version file (`saveIT`).
enum class ListAction { kNone, kFetchWithoutAsking, kOffer };
struct SaveItDecision {
  bool offer_version = false;  // field 1 is a newer version than ours
  ListAction list = ListAction::kNone;
  std::string note;  // why a field could not be used, for the diagnostic log
};
// `local_list_size`: the size of our list file, nullopt when there is none.
SaveItDecision DecideSaveIt(const VersionFile& file, std::string_view running_version,
                            std::optional<uint64_t> local_list_size);

// A downloaded list is put in place only when it parses into at least one
// server: the count, or nullopt.
std::optional<int> CheckListBody(std::string_view body);

}  // namespace mdl
