// Tests of the load generator's NTP packet, offset and percentile helpers.
#include "bench/load_stats.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl::bench {
namespace {

TEST(NtpStampConversion, KnownInstantsAndRoundTrip) {
  struct Case {
    int64_t unix_ns;
    uint64_t ntp;
  } cases[] = {
      {0, uint64_t{2208988800} << 32},
      {500000000, (uint64_t{2208988800} << 32) | 0x80000000u},
      {1700000000'250000000, (uint64_t{2208988800 + 1700000000} << 32) | 0x40000000u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NtpFromUnixNanos(c.unix_ns), c.ntp) << "unix ns " << c.unix_ns;
    EXPECT_EQ(UnixNanosFromNtp(c.ntp), c.unix_ns) << "ntp " << std::hex << c.ntp;
  }
  for (int64_t ns : {int64_t{1}, int64_t{999999999}, int64_t{1712345678'123456789}}) {
    EXPECT_EQ(UnixNanosFromNtp(NtpFromUnixNanos(ns)), ns) << "round trip loses " << ns;
  }
}

TEST(NtpStampConversion, FractionRoundingCarriesIntoSeconds) {
  // 999999999.9 ns would round the fraction up to 2^32; it must carry.
  uint64_t ntp = NtpFromUnixNanos(1'999999999);
  EXPECT_LE(ntp & 0xFFFFFFFFu, 0xFFFFFFFFu);
  EXPECT_EQ(ntp >> 32, uint64_t{2208988801}) << "second field wrong after rounding";
}

TEST(NtpRequest, IsClientModeWithTransmitAndZeroOriginate) {
  NtpPacket p = BuildNtpRequest(0x0102030405060708ull);
  EXPECT_EQ(p[0], 0x23) << "not version 4 mode 3";
  for (int i = 24; i < 32; ++i) EXPECT_EQ(p[i], 0) << "originate byte " << i << " set";
  for (int i = 0; i < 8; ++i) EXPECT_EQ(p[40 + i], i + 1) << "transmit byte " << i;
}

NtpPacket ServerReply(uint64_t originate, uint64_t receive, uint64_t transmit) {
  NtpPacket p{};
  p[0] = 0x24;
  p[1] = 2;
  auto put = [&](int at, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[at + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  };
  put(24, originate);
  put(32, receive);
  put(40, transmit);
  return p;
}

TEST(NtpReplyParsing, AcceptsServerModeAndRejectsOthers) {
  NtpPacket good = ServerReply(7, 8, 9);
  auto r = ParseNtpReply(good);
  ASSERT_TRUE(r) << "a valid server reply was rejected";
  EXPECT_EQ(r->originate, 7u);
  EXPECT_EQ(r->receive, 8u);
  EXPECT_EQ(r->transmit, 9u);
  EXPECT_EQ(r->stratum, 2);

  NtpPacket client_mode = good;
  client_mode[0] = 0x23;
  NtpPacket no_receive = ServerReply(7, 0, 9);
  NtpPacket no_transmit = ServerReply(7, 8, 0);
  std::vector<uint8_t> short_one(good.begin(), good.end() - 1);
  std::vector<uint8_t> long_one(good.begin(), good.end());
  long_one.push_back(0);
  EXPECT_FALSE(ParseNtpReply(client_mode)) << "client-mode datagram accepted as reply";
  EXPECT_FALSE(ParseNtpReply(no_receive)) << "reply without receive stamp accepted";
  EXPECT_FALSE(ParseNtpReply(no_transmit)) << "reply without transmit stamp accepted";
  EXPECT_FALSE(ParseNtpReply(short_one)) << "47-byte datagram accepted";
  EXPECT_FALSE(ParseNtpReply(long_one)) << "49-byte datagram accepted";
}

TEST(ClientOffset, SymmetricPathGivesServerOffset) {
  struct Case {
    int64_t t1, t2, t3, t4, offset;
  } cases[] = {
      // Server 2 ms ahead, 100 us each way, 10 us in the server.
      {1700000000'000000000, 1700000000'002100000, 1700000000'002110000, 1700000000'000210000, 2000000},
      // Server 3 us behind.
      {1700000000'000000000, 1700000000'000047000, 1700000000'000050000, 1700000000'000103000, -3000},
      // Exactly in step.
      {1700000000'000000000, 1700000000'000020000, 1700000000'000030000, 1700000000'000050000, 0},
  };
  for (const Case& c : cases) {
    NtpReply r;
    r.receive = NtpFromUnixNanos(c.t2);
    r.transmit = NtpFromUnixNanos(c.t3);
    EXPECT_NEAR(ClientOffsetNanos(c.t1, r, c.t4), c.offset, 2) << "t1 " << c.t1 << " t2 " << c.t2;
  }
}

TEST(Percentiles, NearestRank) {
  std::vector<int64_t> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);
  EXPECT_EQ(*Percentile(v, 50), 50);
  EXPECT_EQ(*Percentile(v, 90), 90);
  EXPECT_EQ(*Percentile(v, 99), 99);
  EXPECT_EQ(*Percentile(v, 100), 100);
  EXPECT_EQ(*Percentile(v, 0), 1);
  std::vector<int64_t> one{42};
  EXPECT_EQ(*Percentile(one, 99), 42);
  std::vector<int64_t> none;
  EXPECT_FALSE(Percentile(none, 50)) << "percentile of nothing must be empty";
}

}  // namespace
}  // namespace mdl::bench
