// Tests of the minimal servers' reply builders.
#include "bench/ceiling_reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl::bench {
namespace {

uint64_t Be64(const NtpPacket& p, int at) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[at + i];
  return v;
}

TEST(CeilingNtpReply, EchoesTransmitAndCarriesStamps) {
  NtpPacket req = BuildNtpRequest(0x1122334455667788ull);
  req[2] = 6;  // poll, kept
  auto r = BuildCeilingNtpReply(req, 0xAAAA000000000001ull, 0xBBBB000000000002ull);
  ASSERT_TRUE(r) << "a valid client request got no reply";
  EXPECT_EQ((*r)[0], 0x24) << "not LI 0, version 4, mode 4";
  EXPECT_EQ((*r)[1], 2) << "stratum is not 2";
  EXPECT_EQ((*r)[2], 6) << "poll of the request not kept";
  EXPECT_EQ(Be64(*r, 24), 0x1122334455667788ull) << "originate is not the request's transmit";
  EXPECT_EQ(Be64(*r, 32), 0xAAAA000000000001ull) << "receive stamp wrong";
  EXPECT_EQ(Be64(*r, 40), 0xBBBB000000000002ull) << "transmit stamp wrong";
  auto parsed = ParseNtpReply(*r);
  ASSERT_TRUE(parsed) << "the generator would reject this reply";
  EXPECT_EQ(parsed->originate, 0x1122334455667788ull);
}

TEST(CeilingNtpReply, KeepsClientVersion) {
  NtpPacket req = BuildNtpRequest(1);
  req[0] = 0xDB;  // LI 3, version 3, mode 3
  auto r = BuildCeilingNtpReply(req, 1, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0], 0x1C) << "expected LI 0, version 3, mode 4";
}

TEST(CeilingNtpReply, DropsWhatIsNotAClientRequest) {
  NtpPacket req = BuildNtpRequest(1);
  std::vector<uint8_t> short_req(req.begin(), req.begin() + 47);
  std::vector<uint8_t> long_req(req.begin(), req.end());
  long_req.push_back(0);
  NtpPacket server_mode = req;
  server_mode[0] = 0x24;
  NtpPacket broadcast = req;
  broadcast[0] = 0x25;
  struct Case {
    const char* what;
    std::span<const uint8_t> bytes;
  } cases[] = {
      {"47 bytes", short_req},      {"49 bytes", long_req},        {"empty", {}},
      {"server mode", server_mode}, {"broadcast mode", broadcast},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(BuildCeilingNtpReply(c.bytes, 1, 2)) << c.what << " got a reply";
  }
}

TEST(TimeProtocolAnswer, SecondsSince1900BigEndian) {
  struct Case {
    int64_t unix_ns;
    uint32_t expected;
  } cases[] = {
      {0, 2208988800u},
      {999999999, 2208988800u},    // fraction truncated
      {-1, 2208988799u},           // just before 1970
      {2085978496'000000000, 0u},  // 2036-02-07 06:28:16: era wraps
      {1700000000'500000000, 3908988800u},
  };
  for (const Case& c : cases) {
    auto a = TimeProtocolAnswer(c.unix_ns);
    uint32_t got = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
    EXPECT_EQ(got, c.expected) << "unix ns " << c.unix_ns;
  }
}

}  // namespace
}  // namespace mdl::bench
