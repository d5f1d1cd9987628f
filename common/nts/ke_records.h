// NTS key establishment records: the wire form (a critical bit, a 15-bit
// type, a 16-bit body length, the body), whole messages up to End of
// Message, and what a request or a response means. Pure: no I/O, no crypto;
// AEAD algorithms are their 16-bit ids here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mdl::nts {

// A message longer than this is refused (request or response).
inline constexpr size_t kKeMessageLimit = 16 * 1024;
// So is one of more records than this.
inline constexpr size_t kKeRecordLimit = 128;
// Cookies handed out per exchange.
inline constexpr size_t kKeCookiesPerExchange = 8;
// The TLS application protocol name.
inline constexpr char kKeAlpn[] = "ntske/1";
inline constexpr uint16_t kDefaultKePort = 4460;

enum class KeRecordType : uint16_t {
  kEndOfMessage = 0,
  kNextProtocol = 1,
  kError = 2,
  kWarning = 3,
  kAeadAlgorithm = 4,
  kNewCookie = 5,
  kNtpServer = 6,
  kNtpPort = 7,
};
inline constexpr uint16_t kProtocolNtpV4 = 0;

enum class KeErrorCode : uint16_t {
  kUnrecognisedCritical = 0,
  kBadRequest = 1,
  kInternal = 2,
};
// "bad request" and the like; "unknown" for codes not defined.
std::string KeErrorName(uint16_t code);

struct KeRecord {
  bool critical = false;
  uint16_t type = 0;  // 15 bits
  std::vector<uint8_t> body;
  bool operator==(const KeRecord&) const = default;
};

struct KeParse {
  enum class State {
    kIncomplete,  // no End of Message yet, within the limits: read more
    kComplete,    // records up to and including End of Message
    kMalformed,   // beyond a limit, or bytes after End of Message
  };
  State state = State::kIncomplete;
  std::vector<KeRecord> records;
  std::string error;  // for kMalformed
};
// Reads the records of `bytes`, which holds everything received so far.
KeParse ParseKeMessage(std::span<const uint8_t> bytes);

// Appends one record; a body longer than 65535 bytes is cut.
void AppendKeRecord(std::vector<uint8_t>* out, bool critical, uint16_t type, std::span<const uint8_t> body);
void AppendKeRecord(std::vector<uint8_t>* out, bool critical, KeRecordType type,
                    std::span<const uint8_t> body);
// A body of 16-bit values, network order.
std::vector<uint8_t> KeU16List(std::span<const uint16_t> values);

// The client's request: NTPv4, the AEAD ids in order of preference, optionally
// a server or port the client would like, End of Message.
std::vector<uint8_t> BuildKeRequest(std::span<const uint16_t> aeads, const std::string& server = {},
                                    std::optional<uint16_t> port = std::nullopt);

// What the server makes of a complete request.
struct KeRequestDecision {
  enum class Kind {
    kKeys,        // NTPv4 with `aead`: send keys and cookies
    kNoProtocol,  // NTPv4 not offered: an empty Next Protocol record
    kNoAead,      // none of the AEADs offered is ours: an empty AEAD record
    kError,       // an Error record with `error`
  };
  Kind kind = Kind::kError;
  uint16_t aead = 0;
  uint16_t error = static_cast<uint16_t>(KeErrorCode::kBadRequest);
  std::string reason;  // for kError, in words (for the log)
};
// `supported`: our AEAD ids, preferred first; the first of them the client
// offers is chosen.
KeRequestDecision InterpretKeRequest(std::span<const KeRecord> records, std::span<const uint16_t> supported);

// The parts of a successful response.
struct KeResponseParts {
  uint16_t aead = 0;
  std::vector<std::vector<uint8_t>> cookies;
  std::string server;            // empty: no Server record
  std::optional<uint16_t> port;  // nullopt: no Port record
};
std::vector<uint8_t> BuildKeResponse(const KeResponseParts& parts);
// The answer for a decision other than kKeys.
std::vector<uint8_t> BuildKeRefusal(const KeRequestDecision& decision);
// An Error record and End of Message.
std::vector<uint8_t> BuildKeError(uint16_t code);

// What the client makes of a complete response.
struct KeResponseFacts {
  bool ok = false;
  std::string error;  // in words when !ok: "server sent error 1 (bad request)"
  uint16_t aead = 0;
  std::vector<std::vector<uint8_t>> cookies;
  std::string server;  // empty: use the key establishment host
  std::optional<uint16_t> port;
};
// `offered`: the AEAD ids the request named.
KeResponseFacts InterpretKeResponse(std::span<const KeRecord> records, std::span<const uint16_t> offered);

}  // namespace mdl::nts
