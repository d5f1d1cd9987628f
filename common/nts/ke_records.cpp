// Key establishment records and messages.
#include "common/nts/ke_records.h"

#include <algorithm>

namespace mdl::nts {
namespace {

constexpr size_t kHeader = 4;
constexpr size_t kMaxServerName = 255;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The body's 16-bit values; nullopt for an odd length.
std::optional<std::vector<uint16_t>> U16s(const std::vector<uint8_t>& body) {
  if (body.size() % 2 != 0) return std::nullopt;
  std::vector<uint16_t> out;
  out.reserve(body.size() / 2);
  for (size_t i = 0; i < body.size(); i += 2) out.push_back(U16(&body[i]));
  return out;
}

bool Contains(std::span<const uint16_t> list, uint16_t v) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

// A host name or address as a Server record carries it: printable ASCII, no blanks.
bool IsServerName(const std::vector<uint8_t>& body) {
  if (body.empty() || body.size() > kMaxServerName) return false;
  return std::all_of(body.begin(), body.end(), [](uint8_t c) { return c > 0x20 && c < 0x7f; });
}

void AppendEnd(std::vector<uint8_t>* out) { AppendKeRecord(out, true, KeRecordType::kEndOfMessage, {}); }

KeRequestDecision Refuse(KeErrorCode code, std::string reason) {
  KeRequestDecision d;
  d.kind = KeRequestDecision::Kind::kError;
  d.error = static_cast<uint16_t>(code);
  d.reason = std::move(reason);
  return d;
}

KeResponseFacts Fail(std::string error) {
  KeResponseFacts f;
  f.error = std::move(error);
  return f;
}

}  // namespace

std::string KeErrorName(uint16_t code) {
  switch (code) {
    case static_cast<uint16_t>(KeErrorCode::kUnrecognisedCritical):
      return "unrecognised critical record";
    case static_cast<uint16_t>(KeErrorCode::kBadRequest):
      return "bad request";
    case static_cast<uint16_t>(KeErrorCode::kInternal):
      return "internal server error";
    default:
      return "unknown";
  }
}

KeParse ParseKeMessage(std::span<const uint8_t> bytes) {
  KeParse out;
  auto malformed = [&out](std::string why) {
    out.state = KeParse::State::kMalformed;
    out.records.clear();
    out.error = std::move(why);
    return out;
  };
  const std::string too_long = "message longer than " + std::to_string(kKeMessageLimit) + " bytes";
  size_t pos = 0;
  while (bytes.size() - pos >= kHeader) {
    const uint16_t first = U16(&bytes[pos]);
    const size_t length = U16(&bytes[pos + 2]);
    if (pos + kHeader + length > kKeMessageLimit) return malformed(too_long);
    if (bytes.size() - pos - kHeader < length) break;  // the body is still on its way
    if (out.records.size() == kKeRecordLimit)
      return malformed("more than " + std::to_string(kKeRecordLimit) + " records");
    KeRecord r;
    r.critical = (first & 0x8000) != 0;
    r.type = first & 0x7fff;
    r.body.assign(bytes.begin() + pos + kHeader, bytes.begin() + pos + kHeader + length);
    pos += kHeader + length;
    const bool end = r.type == static_cast<uint16_t>(KeRecordType::kEndOfMessage);
    out.records.push_back(std::move(r));
    if (end) {
      if (pos != bytes.size()) return malformed("data after End of Message");
      out.state = KeParse::State::kComplete;
      return out;
    }
  }
  if (bytes.size() > kKeMessageLimit) return malformed(too_long);
  out.state = KeParse::State::kIncomplete;
  return out;
}

void AppendKeRecord(std::vector<uint8_t>* out, bool critical, uint16_t type, std::span<const uint8_t> body) {
  const size_t length = std::min<size_t>(body.size(), 0xffff);
  const uint16_t first = static_cast<uint16_t>((critical ? 0x8000 : 0) | (type & 0x7fff));
  out->push_back(static_cast<uint8_t>(first >> 8));
  out->push_back(static_cast<uint8_t>(first));
  out->push_back(static_cast<uint8_t>(length >> 8));
  out->push_back(static_cast<uint8_t>(length));
  out->insert(out->end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
}

void AppendKeRecord(std::vector<uint8_t>* out, bool critical, KeRecordType type,
                    std::span<const uint8_t> body) {
  AppendKeRecord(out, critical, static_cast<uint16_t>(type), body);
}

std::vector<uint8_t> KeU16List(std::span<const uint16_t> values) {
  std::vector<uint8_t> out;
  out.reserve(values.size() * 2);
  for (uint16_t v : values) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

std::vector<uint8_t> BuildKeRequest(std::span<const uint16_t> aeads, const std::string& server,
                                    std::optional<uint16_t> port) {
  std::vector<uint8_t> out;
  const uint16_t ntp = kProtocolNtpV4;
  AppendKeRecord(&out, true, KeRecordType::kNextProtocol, KeU16List({&ntp, 1}));
  AppendKeRecord(&out, true, KeRecordType::kAeadAlgorithm, KeU16List(aeads));
  if (!server.empty())
    AppendKeRecord(&out, false, KeRecordType::kNtpServer,
                   {reinterpret_cast<const uint8_t*>(server.data()), server.size()});
  if (port) AppendKeRecord(&out, false, KeRecordType::kNtpPort, KeU16List({&*port, 1}));
  AppendEnd(&out);
  return out;
}

KeRequestDecision InterpretKeRequest(std::span<const KeRecord> records, std::span<const uint16_t> supported) {
  if (records.empty() || records.back().type != static_cast<uint16_t>(KeRecordType::kEndOfMessage))
    return Refuse(KeErrorCode::kBadRequest, "no End of Message");
  int protocol_records = 0;
  int aead_records = 0;
  std::vector<uint16_t> protocols;
  std::vector<uint16_t> aeads;
  for (const KeRecord& r : records) {
    const std::string type = std::to_string(r.type);
    switch (static_cast<KeRecordType>(r.type)) {
      case KeRecordType::kEndOfMessage:
        if (!r.critical || !r.body.empty())
          return Refuse(KeErrorCode::kBadRequest, "malformed End of Message");
        break;
      case KeRecordType::kNextProtocol: {
        ++protocol_records;
        auto ids = U16s(r.body);
        if (!r.critical || !ids) return Refuse(KeErrorCode::kBadRequest, "malformed Next Protocol record");
        protocols = std::move(*ids);
        break;
      }
      case KeRecordType::kError:
      case KeRecordType::kWarning:
        return Refuse(KeErrorCode::kBadRequest, "Error or Warning record in a request");
      case KeRecordType::kAeadAlgorithm: {
        ++aead_records;
        auto ids = U16s(r.body);
        if (!ids) return Refuse(KeErrorCode::kBadRequest, "malformed AEAD Algorithm record");
        aeads = std::move(*ids);
        break;
      }
      case KeRecordType::kNewCookie:
        break;  // cookies are ours to hand out; one sent to us means nothing
      case KeRecordType::kNtpServer:
        // A client's wish for an NTP server is not honoured; it must still be well formed.
        if (!IsServerName(r.body)) return Refuse(KeErrorCode::kBadRequest, "malformed Server record");
        break;
      case KeRecordType::kNtpPort:
        if (r.body.size() != 2) return Refuse(KeErrorCode::kBadRequest, "malformed Port record");
        break;
      default:
        if (r.critical)
          return Refuse(KeErrorCode::kUnrecognisedCritical, "unrecognised critical record of type " + type);
        break;  // unknown and not critical: ignored
    }
  }
  if (protocol_records != 1)
    return Refuse(KeErrorCode::kBadRequest,
                  std::to_string(protocol_records) + " Next Protocol records (exactly one needed)");
  KeRequestDecision d;
  if (!Contains(protocols, kProtocolNtpV4)) {
    d.kind = KeRequestDecision::Kind::kNoProtocol;
    return d;
  }
  if (aead_records != 1)
    return Refuse(KeErrorCode::kBadRequest,
                  std::to_string(aead_records) + " AEAD Algorithm records (exactly one needed)");
  for (uint16_t ours : supported) {
    if (Contains(aeads, ours)) {
      d.kind = KeRequestDecision::Kind::kKeys;
      d.aead = ours;
      return d;
    }
  }
  d.kind = KeRequestDecision::Kind::kNoAead;
  return d;
}

std::vector<uint8_t> BuildKeResponse(const KeResponseParts& parts) {
  std::vector<uint8_t> out;
  const uint16_t ntp = kProtocolNtpV4;
  AppendKeRecord(&out, true, KeRecordType::kNextProtocol, KeU16List({&ntp, 1}));
  AppendKeRecord(&out, true, KeRecordType::kAeadAlgorithm, KeU16List({&parts.aead, 1}));
  if (!parts.server.empty())
    AppendKeRecord(&out, true, KeRecordType::kNtpServer,
                   {reinterpret_cast<const uint8_t*>(parts.server.data()), parts.server.size()});
  if (parts.port) AppendKeRecord(&out, true, KeRecordType::kNtpPort, KeU16List({&*parts.port, 1}));
  for (const std::vector<uint8_t>& cookie : parts.cookies)
    AppendKeRecord(&out, false, KeRecordType::kNewCookie, cookie);
  AppendEnd(&out);
  return out;
}

std::vector<uint8_t> BuildKeRefusal(const KeRequestDecision& decision) {
  std::vector<uint8_t> out;
  const uint16_t ntp = kProtocolNtpV4;
  switch (decision.kind) {
    case KeRequestDecision::Kind::kNoProtocol:
      AppendKeRecord(&out, true, KeRecordType::kNextProtocol, {});
      break;
    case KeRequestDecision::Kind::kNoAead:
      AppendKeRecord(&out, true, KeRecordType::kNextProtocol, KeU16List({&ntp, 1}));
      AppendKeRecord(&out, true, KeRecordType::kAeadAlgorithm, {});
      break;
    case KeRequestDecision::Kind::kKeys:  // not a refusal: treated as an internal error
      return BuildKeError(static_cast<uint16_t>(KeErrorCode::kInternal));
    case KeRequestDecision::Kind::kError:
      return BuildKeError(decision.error);
  }
  AppendEnd(&out);
  return out;
}

std::vector<uint8_t> BuildKeError(uint16_t code) {
  std::vector<uint8_t> out;
  AppendKeRecord(&out, true, KeRecordType::kError, KeU16List({&code, 1}));
  AppendEnd(&out);
  return out;
}

KeResponseFacts InterpretKeResponse(std::span<const KeRecord> records, std::span<const uint16_t> offered) {
  if (records.empty() || records.back().type != static_cast<uint16_t>(KeRecordType::kEndOfMessage))
    return Fail("response without End of Message");
  // An Error or Warning record decides, wherever it stands.
  for (const KeRecord& r : records) {
    const bool error = r.type == static_cast<uint16_t>(KeRecordType::kError);
    if (!error && r.type != static_cast<uint16_t>(KeRecordType::kWarning)) continue;
    const char* what = error ? "error" : "warning";
    if (r.body.size() != 2) return Fail(std::string("server sent a malformed ") + what + " record");
    const uint16_t code = U16(r.body.data());
    return Fail("server sent " + std::string(what) + " " + std::to_string(code) +
                (error ? " (" + KeErrorName(code) + ")" : std::string()));
  }
  KeResponseFacts f;
  int protocol_records = 0;
  int aead_records = 0;
  int server_records = 0;
  int port_records = 0;
  for (const KeRecord& r : records) {
    switch (static_cast<KeRecordType>(r.type)) {
      case KeRecordType::kEndOfMessage:
        if (!r.body.empty()) return Fail("server sent a malformed End of Message");
        break;
      case KeRecordType::kNextProtocol: {
        ++protocol_records;
        auto ids = U16s(r.body);
        if (!ids) return Fail("server sent a malformed Next Protocol record");
        if (ids->empty()) return Fail("server does not offer NTPv4");
        if (*ids != std::vector<uint16_t>{kProtocolNtpV4})
          return Fail("server chose protocol " + std::to_string(ids->front()) + ", not NTPv4");
        break;
      }
      case KeRecordType::kAeadAlgorithm: {
        ++aead_records;
        auto ids = U16s(r.body);
        if (!ids) return Fail("server sent a malformed AEAD Algorithm record");
        if (ids->empty()) return Fail("server supports none of the AEAD algorithms offered");
        if (ids->size() != 1 || !Contains(offered, ids->front()))
          return Fail("server chose AEAD algorithm " + std::to_string(ids->front()) +
                      ", which was not offered");
        f.aead = ids->front();
        break;
      }
      case KeRecordType::kNewCookie:
        if (!r.body.empty() && f.cookies.size() < kKeCookiesPerExchange) f.cookies.push_back(r.body);
        break;
      case KeRecordType::kNtpServer:
        ++server_records;
        if (!IsServerName(r.body)) return Fail("server sent a malformed Server record");
        f.server.assign(r.body.begin(), r.body.end());
        break;
      case KeRecordType::kNtpPort:
        ++port_records;
        if (r.body.size() != 2 || U16(r.body.data()) == 0) return Fail("server sent a malformed Port record");
        f.port = U16(r.body.data());
        break;
      default:
        if (r.critical)
          return Fail("server sent an unrecognised critical record of type " + std::to_string(r.type));
        break;
    }
  }
  if (protocol_records != 1)
    return Fail("server sent " + std::to_string(protocol_records) +
                " Next Protocol records (exactly one expected)");
  if (aead_records != 1)
    return Fail("server sent " + std::to_string(aead_records) +
                " AEAD Algorithm records (exactly one expected)");
  if (server_records > 1 || port_records > 1) return Fail("server sent more than one Server or Port record");
  if (f.cookies.empty()) return Fail("server sent no cookies");
  f.ok = true;
  return f;
}

}  // namespace mdl::nts
