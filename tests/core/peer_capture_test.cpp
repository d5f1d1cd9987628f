// Datagrams captured once from real peers (an NTP client library, chronyd
// in query mode, chronyd as a server) through the pure cores.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "common/time/ntp_timestamp.h"
#include "server/protocols/ntp_core.h"
#include "server/upstream/sntp_query.h"

namespace mdl {
namespace {

std::vector<uint8_t> Hex(std::string_view h) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

// Requests of real clients.
constexpr std::string_view kNtplibRequest =
    "23000000000000000000000000000000000000000000000000000000000000000000000000000000eec217ed6769e000";
constexpr std::string_view kChronyQueryRequest =
    "2300062000000000000000000000000000000000000000000000000000000000000000000000000046e72a35996e3775";
// chronyd (local stratum 1) answering a request whose transmit stamp was ed0a1b2c3d4e5f60.
constexpr std::string_view kChronyReply =
    "1c0100e600000000000000007f7f0101eec217ecd3ca3405ed0a1b2c3d4e5f60eec217eeb9b9f373eec217eeb9bdca0c";
constexpr NtpStampBytes kSendStamp{0xed, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60};

TEST(PeerCapture, RealClientRequestsAreAnsweredWithTheirTransmitStampEchoed) {
  for (std::string_view captured : {kNtplibRequest, kChronyQueryRequest}) {
    auto request = Hex(captured);
    ASSERT_EQ(request.size(), 48u);
    EXPECT_EQ(ClassifyNtpRequest(request), NtpRequestKind::kClient) << captured;
    std::array<uint8_t, 48> reply{};
    NtpStampBytes rx{1, 2, 3, 4, 5, 6, 7, 8}, tx{9, 9, 9, 9, 9, 9, 9, 9};
    BuildNtpReply(std::span<const uint8_t, 48>(request.data(), 48), NtpReferenceState{}, rx, tx, reply);
    // Their byte 24 is zero, so their transmit stamp comes back as originate:
    // that is what both clients check.
    EXPECT_TRUE(std::equal(reply.begin() + 24, reply.begin() + 32, request.begin() + 40)) << captured;
    EXPECT_EQ(reply[1], 2);
  }
}

TEST(PeerCapture, ChronydReplyIsRecognisedAndCorrectsByHalfThePathDelay) {
  auto reply = Hex(kChronyReply);
  ASSERT_EQ(reply.size(), 48u);
  EXPECT_EQ(ClassifyArrival(reply, /*query_pending=*/true, kSendStamp), UpstreamArrival::kUpstreamReply);
  EXPECT_EQ(ClassifyArrival(reply, /*query_pending=*/false, kSendStamp), UpstreamArrival::kClientRequest);
  // Arriving when no query is pending it is a server packet, never answered.
  EXPECT_EQ(ClassifyNtpRequest(reply), NtpRequestKind::kNotClientMode);
  std::span<const uint8_t, 48> r(reply.data(), 48);
  EXPECT_EQ(CheckReply(r), ReplyFault::kUsable);
  auto transmit = NtpTimestamp::FromBytes(reply.data() + 40);
  auto receive = NtpTimestamp::FromBytes(reply.data() + 32);
  UtcTime pivot = UtcFromNtp(transmit, UtcFromNs(0) + std::chrono::hours(24 * 365 * 56));
  Correction c = ComputeCorrection(r, kSendStamp, std::chrono::milliseconds(1), pivot);
  auto holding = UtcFromNtp(transmit, pivot) - UtcFromNtp(receive, pivot);
  EXPECT_GT(holding, std::chrono::nanoseconds(0));
  EXPECT_LE(std::chrono::abs(c.path_delay - (std::chrono::milliseconds(1) - holding)),
            std::chrono::nanoseconds(2));
  auto expected = UtcFromNtp(transmit, pivot) + (std::chrono::milliseconds(1) - holding) / 2;
  EXPECT_LE(std::chrono::abs(c.new_time - expected), std::chrono::nanoseconds(2));
}

}  // namespace
}  // namespace mdl
