// Key establishment records: framing, limits, the server's decisions and
// the client's reading of responses.
#include "common/nts/ke_records.h"

#include <gtest/gtest.h>

namespace mdl::nts {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(bool critical, uint16_t type, Bytes body) {
  Bytes out;
  AppendKeRecord(&out, critical, type, body);
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kEnd = Record(true, 0, {});
Bytes Protocols(std::initializer_list<uint16_t> ids, bool critical = true) {
  std::vector<uint16_t> v(ids);
  return Record(critical, 1, KeU16List(v));
}
Bytes Aeads(std::initializer_list<uint16_t> ids, bool critical = true) {
  std::vector<uint16_t> v(ids);
  return Record(critical, 4, KeU16List(v));
}
std::vector<KeRecord> Records(const Bytes& message) {
  KeParse p = ParseKeMessage(message);
  EXPECT_EQ(p.state, KeParse::State::kComplete) << p.error;
  return p.records;
}

constexpr uint16_t kOurs[] = {15, 17};

TEST(KeRecordsTest, FramingRoundTripsAndKeepsTheCriticalBit) {
  const Bytes m = Cat({Record(true, 1, {0, 0}), Record(false, 0x4001, {1, 2, 3}), kEnd});
  ASSERT_EQ(m.size(), 4 + 2 + 4 + 3 + 4u);
  EXPECT_EQ(m[0], 0x80);  // critical bit
  EXPECT_EQ(m[1], 0x01);
  EXPECT_EQ(m[6], 0x40);  // not critical, type 0x4001
  const std::vector<KeRecord> r = Records(m);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], (KeRecord{true, 1, {0, 0}}));
  EXPECT_EQ(r[1], (KeRecord{false, 0x4001, {1, 2, 3}}));
  EXPECT_EQ(r[2], (KeRecord{true, 0, {}}));
}

TEST(KeRecordsTest, PartialMessagesAskForMoreAndLimitsHold) {
  const Bytes m = BuildKeRequest(std::vector<uint16_t>{15});
  for (size_t n = 0; n < m.size(); ++n) {
    const KeParse p = ParseKeMessage({m.data(), n});
    EXPECT_EQ(p.state, KeParse::State::kIncomplete) << n;
  }
  EXPECT_EQ(ParseKeMessage(m).state, KeParse::State::kComplete);

  // Bytes after End of Message.
  Bytes trailing = m;
  trailing.push_back(0);
  EXPECT_EQ(ParseKeMessage(trailing).state, KeParse::State::kMalformed);

  // A record header announcing a body beyond the limit is refused at once.
  const Bytes huge_header = {0x00, 0x05, 0xff, 0xff};
  const KeParse big = ParseKeMessage(huge_header);
  EXPECT_EQ(big.state, KeParse::State::kMalformed);
  EXPECT_NE(big.error.find("longer than"), std::string::npos);

  // Many small records without an end: the count limit.
  Bytes many;
  for (size_t i = 0; i <= kKeRecordLimit; ++i) AppendKeRecord(&many, false, 5, Bytes{1});
  const KeParse count = ParseKeMessage(many);
  EXPECT_EQ(count.state, KeParse::State::kMalformed);
  EXPECT_NE(count.error.find("records"), std::string::npos);

  // Just under the byte limit, still incomplete; over it, refused.
  Bytes filler;
  AppendKeRecord(&filler, false, 5, Bytes(kKeMessageLimit - 8, 7));
  EXPECT_EQ(ParseKeMessage(filler).state, KeParse::State::kIncomplete);
  EXPECT_EQ(ParseKeMessage(Cat({filler, kEnd})).state, KeParse::State::kComplete);
  EXPECT_EQ(ParseKeMessage(Cat({filler, Record(false, 5, {1}), kEnd})).state, KeParse::State::kMalformed);
}

TEST(KeRecordsTest, ServerDecisions) {
  using Kind = KeRequestDecision::Kind;
  struct Case {
    const char* name;
    Bytes message;
    Kind kind;
    uint16_t aead_or_error;
  };
  const Case cases[] = {
      {"plain request", Cat({Protocols({0}), Aeads({15}), kEnd}), Kind::kKeys, 15},
      {"our preference wins", Cat({Protocols({0}), Aeads({17, 15}), kEnd}), Kind::kKeys, 15},
      {"only 512 offered", Cat({Protocols({0}), Aeads({30, 17}), kEnd}), Kind::kKeys, 17},
      {"AEAD record may be non-critical", Cat({Protocols({0}), Aeads({15}, false), kEnd}), Kind::kKeys, 15},
      {"other protocols beside NTPv4", Cat({Protocols({0x8001, 0}), Aeads({15}), kEnd}), Kind::kKeys, 15},
      {"unknown non-critical ignored", Cat({Protocols({0}), Record(false, 0x4000, {9}), Aeads({15}), kEnd}),
       Kind::kKeys, 15},
      {"client's server and port wishes",
       Cat({Protocols({0}), Aeads({15}), Record(true, 6, {'a', '.', 'b'}), Record(true, 7, {0, 123}), kEnd}),
       Kind::kKeys, 15},
      {"no NTPv4", Cat({Protocols({0x8001}), kEnd}), Kind::kNoProtocol, 0},
      {"no AEAD of ours", Cat({Protocols({0}), Aeads({30, 31}), kEnd}), Kind::kNoAead, 0},
      {"empty AEAD list", Cat({Protocols({0}), Aeads({}), kEnd}), Kind::kNoAead, 0},
      {"unknown critical record", Cat({Protocols({0}), Record(true, 0x4000, {}), Aeads({15}), kEnd}),
       Kind::kError, 0},
      {"no Next Protocol", Cat({Aeads({15}), kEnd}), Kind::kError, 1},
      {"two Next Protocol", Cat({Protocols({0}), Protocols({0}), Aeads({15}), kEnd}), Kind::kError, 1},
      {"Next Protocol not critical", Cat({Protocols({0}, false), Aeads({15}), kEnd}), Kind::kError, 1},
      {"odd Next Protocol body", Cat({Record(true, 1, {0, 0, 0}), Aeads({15}), kEnd}), Kind::kError, 1},
      {"NTPv4 without AEAD", Cat({Protocols({0}), kEnd}), Kind::kError, 1},
      {"two AEAD records", Cat({Protocols({0}), Aeads({15}), Aeads({15}), kEnd}), Kind::kError, 1},
      {"odd AEAD body", Cat({Protocols({0}), Record(true, 4, {0, 15, 0}), kEnd}), Kind::kError, 1},
      {"Error record from a client", Cat({Protocols({0}), Aeads({15}), Record(true, 2, {0, 0}), kEnd}),
       Kind::kError, 1},
      {"Warning record from a client", Cat({Protocols({0}), Aeads({15}), Record(true, 3, {0, 0}), kEnd}),
       Kind::kError, 1},
      {"short Port record", Cat({Protocols({0}), Aeads({15}), Record(true, 7, {1}), kEnd}), Kind::kError, 1},
      {"Server record with a blank", Cat({Protocols({0}), Aeads({15}), Record(true, 6, {'a', ' '}), kEnd}),
       Kind::kError, 1},
      {"End of Message with a body", Cat({Protocols({0}), Aeads({15}), Record(true, 0, {1})}), Kind::kError,
       1},
      {"End of Message not critical", Cat({Protocols({0}), Aeads({15}), Record(false, 0, {})}), Kind::kError,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const KeRequestDecision d = InterpretKeRequest(Records(c.message), kOurs);
    EXPECT_EQ(d.kind, c.kind);
    if (c.kind == Kind::kKeys) {
      EXPECT_EQ(d.aead, c.aead_or_error);
    }
    if (c.kind == Kind::kError) {
      EXPECT_EQ(d.error, c.aead_or_error);
      EXPECT_FALSE(d.reason.empty());
    }
  }
}

TEST(KeRecordsTest, RefusalsCarryTheRightRecords) {
  KeRequestDecision error;
  error.kind = KeRequestDecision::Kind::kError;
  error.error = 1;
  EXPECT_EQ(Records(BuildKeRefusal(error)), (std::vector<KeRecord>{{true, 2, {0, 1}}, {true, 0, {}}}));
  KeRequestDecision no_protocol;
  no_protocol.kind = KeRequestDecision::Kind::kNoProtocol;
  EXPECT_EQ(Records(BuildKeRefusal(no_protocol)), (std::vector<KeRecord>{{true, 1, {}}, {true, 0, {}}}));
  KeRequestDecision no_aead;
  no_aead.kind = KeRequestDecision::Kind::kNoAead;
  EXPECT_EQ(Records(BuildKeRefusal(no_aead)),
            (std::vector<KeRecord>{{true, 1, {0, 0}}, {true, 4, {}}, {true, 0, {}}}));
}

TEST(KeRecordsTest, ClientReadsWhatTheServerBuilds) {
  KeResponseParts parts;
  parts.aead = 17;
  for (uint8_t i = 1; i <= 8; ++i) parts.cookies.push_back(Bytes(100, i));
  parts.port = 1123;
  parts.server = "ntp.example.net";
  const KeResponseFacts f = InterpretKeResponse(Records(BuildKeResponse(parts)), kOurs);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.aead, 17);
  EXPECT_EQ(f.cookies, parts.cookies);
  EXPECT_EQ(f.port, 1123);
  EXPECT_EQ(f.server, "ntp.example.net");

  parts.port.reset();
  parts.server.clear();
  const KeResponseFacts plain = InterpretKeResponse(Records(BuildKeResponse(parts)), kOurs);
  ASSERT_TRUE(plain.ok) << plain.error;
  EXPECT_FALSE(plain.port);
  EXPECT_TRUE(plain.server.empty());
}

TEST(KeRecordsTest, ClientRefusesBadResponses) {
  const Bytes cookie = Record(false, 5, Bytes(64, 1));
  struct Case {
    const char* name;
    Bytes message;
    const char* error_part;
  };
  const Case cases[] = {
      {"error record", Cat({Record(true, 2, {0, 1}), kEnd}), "server sent error 1 (bad request)"},
      {"error beside keys", Cat({Protocols({0}), Aeads({15}), cookie, Record(true, 2, {0, 2}), kEnd}),
       "error 2 (internal server error)"},
      {"warning", Cat({Protocols({0}), Aeads({15}), cookie, Record(true, 3, {0x80, 0}), kEnd}),
       "server sent warning 32768"},
      {"no protocol", Cat({Protocols({}), kEnd}), "does not offer NTPv4"},
      {"other protocol", Cat({Protocols({5}), Aeads({15}), cookie, kEnd}), "protocol 5"},
      {"no AEAD in common", Cat({Protocols({0}), Aeads({}), kEnd}), "none of the AEAD"},
      {"AEAD not offered", Cat({Protocols({0}), Aeads({16}), cookie, kEnd}), "not offered"},
      {"two AEADs chosen", Cat({Protocols({0}), Aeads({15, 17}), cookie, kEnd}), "not offered"},
      {"no cookies", Cat({Protocols({0}), Aeads({15}), kEnd}), "no cookies"},
      {"no Next Protocol", Cat({Aeads({15}), cookie, kEnd}), "0 Next Protocol"},
      {"no AEAD record", Cat({Protocols({0}), cookie, kEnd}), "0 AEAD"},
      {"port zero", Cat({Protocols({0}), Aeads({15}), Record(true, 7, {0, 0}), cookie, kEnd}), "Port"},
      {"two ports",
       Cat({Protocols({0}), Aeads({15}), Record(true, 7, {0, 1}), Record(true, 7, {0, 2}), cookie, kEnd}),
       "more than one"},
      {"server name not printable",
       Cat({Protocols({0}), Aeads({15}), Record(true, 6, {'a', 0}), cookie, kEnd}), "Server"},
      {"unknown critical", Cat({Protocols({0}), Aeads({15}), Record(true, 0x123, {}), cookie, kEnd}),
       "critical record of type 291"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const KeResponseFacts f = InterpretKeResponse(Records(c.message), kOurs);
    EXPECT_FALSE(f.ok);
    EXPECT_NE(f.error.find(c.error_part), std::string::npos) << f.error;
  }
  // Unknown non-critical records are skipped; more than eight cookies are cut to eight.
  Bytes many = Cat({Protocols({0}), Aeads({15}), Record(false, 0x4000, {1})});
  for (int i = 0; i < 12; ++i) many = Cat({many, cookie});
  const KeResponseFacts f = InterpretKeResponse(Records(Cat({many, kEnd})), kOurs);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.cookies.size(), kKeCookiesPerExchange);
}

TEST(KeRecordsTest, RequestAsBuiltIsAcceptedAndErrorNamesAreWords) {
  const std::vector<uint16_t> offer = {17, 15};
  const std::vector<KeRecord> r = Records(BuildKeRequest(offer, "time.example", 4123));
  const KeRequestDecision d = InterpretKeRequest(r, kOurs);
  EXPECT_EQ(d.kind, KeRequestDecision::Kind::kKeys);
  EXPECT_EQ(d.aead, 15);
  EXPECT_EQ(KeErrorName(0), "unrecognised critical record");
  EXPECT_EQ(KeErrorName(2), "internal server error");
  EXPECT_EQ(KeErrorName(77), "unknown");
}

}  // namespace
}  // namespace mdl::nts
