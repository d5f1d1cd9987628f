// NTP responder core: which datagrams are answered and the reply layout.
#include "server/protocols/ntp_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace mdl {
namespace {

using Packet = std::array<uint8_t, kNtpPacketSize>;

Packet RequestWithFirstByte(uint8_t first) {
  Packet p{};
  p[0] = first;
  return p;
}

NtpReferenceState SampleState() {
  NtpReferenceState s;
  s.first_byte = 0x24;
  s.ref_id = {192, 0, 2, 7};
  s.ref_stamp = {0xE8, 0x01, 0x02, 0x03, 0x80, 0x00, 0x00, 0x01};
  return s;
}

constexpr NtpStampBytes kReceive = {0xE9, 0x10, 0x20, 0x30, 0x11, 0x22, 0x33, 0x44};
constexpr NtpStampBytes kTransmit = {0xE9, 0x10, 0x20, 0x31, 0x55, 0x66, 0x77, 0x88};

TEST(ClassifyNtpRequest, OnlyExactly48BytesAreConsidered) {
  for (size_t size : {0u, 1u, 47u, 49u, 52u, 68u, 1500u}) {
    std::vector<uint8_t> d(size, 0x23);  // a version-4 client header
    EXPECT_EQ(ClassifyNtpRequest(d), NtpRequestKind::kBadLength) << size << " bytes";
  }
  EXPECT_EQ(ClassifyNtpRequest(RequestWithFirstByte(0x23)), NtpRequestKind::kClient);
}

TEST(ClassifyNtpRequest, AnswersClientModesAndRefusesEveryOtherMode) {
  struct Case {
    uint8_t first;
    NtpRequestKind kind;
    const char* what;
  };
  const Case cases[] = {
      {0x0B, NtpRequestKind::kClient, "v1 client"},
      {0x13, NtpRequestKind::kClient, "v2 client"},
      {0x1B, NtpRequestKind::kClient, "v3 client"},
      {0x23, NtpRequestKind::kClient, "v4 client"},
      {0xE3, NtpRequestKind::kClient, "v4 client, leap bits set (unsynchronised)"},
      {0x08, NtpRequestKind::kClient, "v1 mode 0 (old client)"},
      {0x03, NtpRequestKind::kNotClientMode, "version 0 client"},
      {0x2B, NtpRequestKind::kNotClientMode, "version 5 client"},
      {0x10, NtpRequestKind::kNotClientMode, "v2 mode 0"},
      {0x20, NtpRequestKind::kNotClientMode, "v4 mode 0"},
      {0x21, NtpRequestKind::kNotClientMode, "symmetric active"},
      {0x22, NtpRequestKind::kNotClientMode, "symmetric passive"},
      {0x24, NtpRequestKind::kNotClientMode, "server reply: would start a loop"},
      {0x25, NtpRequestKind::kNotClientMode, "broadcast"},
      {0x26, NtpRequestKind::kNotClientMode, "control"},
      {0x27, NtpRequestKind::kNotClientMode, "private"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyNtpRequest(RequestWithFirstByte(c.first)), c.kind)
        << c.what << " (first byte 0x" << std::hex << int{c.first} << ")";
  }
}

TEST(BuildNtpReply, FillsTheFixedHeaderAndReferenceFields) {
  Packet request = RequestWithFirstByte(0x23);
  request[2] = 4;  // the client's poll, copied
  Packet reply{};
  const NtpReferenceState state = SampleState();
  BuildNtpReply(request, state, kReceive, kTransmit, reply);

  const Packet expected_head = {0x24, 2, 4, 0xEF, 0,    0,    0,    0x4F, 0,    0,    0x02, 0xA1,
                                192,  0, 2, 7,    0xE8, 0x01, 0x02, 0x03, 0x80, 0x00, 0x00, 0x01};
  for (size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(reply[i], expected_head[i]) << "header byte " << i;
  }
  EXPECT_TRUE(std::equal(kReceive.begin(), kReceive.end(), reply.begin() + 32))
      << "receive stamp not in bytes 32..39";
  EXPECT_TRUE(std::equal(kTransmit.begin(), kTransmit.end(), reply.begin() + 40))
      << "transmit stamp not in bytes 40..47";
}

TEST(BuildNtpReply, FirstByteTakesLeapFromTheSettingVersionFromTheRequestAndModeFour) {
  struct Case {
    uint8_t setting;
    uint8_t request;
    uint8_t sent;
    const char* what;
  };
  const Case cases[] = {
      {0x24, 0x23, 0x24, "the default, v4 request: v4 server"},
      {0x24, 0x1B, 0x1C, "v3 request: v3 reply"},
      {0x24, 0x13, 0x14, "v2 request: v2 reply"},
      {0x24, 0x0B, 0x0C, "v1 request: v1 reply"},
      {0x24, 0x08, 0x0C, "v1 mode 0 (old client): v1 reply"},
      {0x1C, 0x23, 0x24, "a v3 setting does not lower a v4 client's version"},
      {0xE4, 0x23, 0xE4, "the operator's leap 3 kept"},
      {0x64, 0x1B, 0x5C, "the operator's leap 1 (61 s minute) kept"},
      {27, 0x23, 0x24, "client-mode setting: still mode 4"},
      {0x25, 0x23, 0x24, "broadcast setting: still mode 4"},
  };
  for (const Case& c : cases) {
    NtpReferenceState state = SampleState();
    state.first_byte = c.setting;
    Packet reply{};
    BuildNtpReply(RequestWithFirstByte(c.request), state, kReceive, kTransmit, reply);
    EXPECT_EQ(reply[0], c.sent) << c.what;
  }
}

TEST(BuildNtpReply, TellsTheStateOfTheServer) {
  Packet request = RequestWithFirstByte(0x23);
  request[2] = 10;  // the client polls every 1024 s
  NtpReferenceState state = SampleState();
  state.stratum = 6;
  state.root_delay = {0, 0, 0x12, 0x34};
  state.root_dispersion = {0, 1, 0x56, 0x78};
  Packet reply{};
  BuildNtpReply(request, state, kReceive, kTransmit, reply);
  EXPECT_EQ(reply[1], 6) << "stratum from the state";
  EXPECT_EQ(reply[2], 10) << "poll copied from the request";
  EXPECT_EQ((std::vector<uint8_t>(reply.begin() + 4, reply.begin() + 12)),
            (std::vector<uint8_t>{0, 0, 0x12, 0x34, 0, 1, 0x56, 0x78}))
      << "root delay and dispersion from the state";

  state.unsynchronised = true;
  BuildNtpReply(request, state, kReceive, kTransmit, reply);
  EXPECT_EQ(reply[0] >> 6, 3) << "leap 3 once the last synchronisation is too old";
  EXPECT_EQ(reply[1], 16) << "stratum 16 once the last synchronisation is too old";
  EXPECT_EQ(reply[0] & 7, 4) << "still a server reply";
}

TEST(BuildNtpReply, NoSettingMakesAReplyThatAServerWouldAnswer) {
  for (int setting = 0; setting < 256; ++setting) {
    NtpReferenceState state = SampleState();
    state.first_byte = static_cast<uint8_t>(setting);
    Packet reply{};
    BuildNtpReply(RequestWithFirstByte(0x23), state, kReceive, kTransmit, reply);
    EXPECT_NE(ClassifyNtpRequest(reply), NtpRequestKind::kClient) << "first byte setting " << setting;
  }
}

TEST(BuildNtpReply, OriginateIsAlwaysTheRequestsTransmitStamp) {
  for (uint8_t byte24 : {0x00, 0x01, 0xE9}) {
    Packet request{};
    request[0] = 0x23;
    for (size_t i = 24; i < 48; ++i) request[i] = static_cast<uint8_t>(i);
    request[24] = byte24;  // whatever the request's own originate says
    Packet reply{};
    BuildNtpReply(request, SampleState(), kReceive, kTransmit, reply);
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(reply[24 + i], request[40 + i]) << "request byte 24 = " << int{byte24} << ", byte " << i;
    }
  }
}

TEST(BuildNtpReply, WorksInPlaceOnTheRequestBuffer) {
  Packet request{};
  request[0] = 0x23;
  for (size_t i = 40; i < 48; ++i) request[i] = static_cast<uint8_t>(0xA0 + i);
  Packet separate{};
  BuildNtpReply(request, SampleState(), kReceive, kTransmit, separate);
  BuildNtpReply(request, SampleState(), kReceive, kTransmit, request);
  EXPECT_EQ(request, separate) << "building into the request buffer changed the result";
}

TEST(BuildNtpReply, HeadThenPatchEqualsTheWholeReply) {
  Packet request = RequestWithFirstByte(0x23);
  request[24] = 0x42;
  Packet whole{};
  BuildNtpReply(request, SampleState(), kReceive, kTransmit, whole);
  Packet staged;
  staged.fill(0xCC);
  BuildNtpReplyHead(request, SampleState(), kReceive, staged);
  for (size_t i = 40; i < 48; ++i) EXPECT_EQ(staged[i], 0xCC) << "head wrote byte " << i;
  PatchTransmit(kTransmit, staged);
  EXPECT_EQ(staged, whole);
}

// A client request full of distinct bytes, so that any copied field shows.
Packet BusyRequest(uint8_t first, int8_t poll) {
  Packet r{};
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(0x80 + i);
  r[0] = first;
  r[2] = static_cast<uint8_t>(poll);
  return r;
}

TEST(BuildNtpKissRate, EachFieldOfTheKiss) {
  const Packet request = BusyRequest(0x23, -2);
  Packet kiss;
  kiss.fill(0xCC);
  BuildNtpKissRate(request, 3, kiss);
  EXPECT_EQ(kiss[0], 0xE4) << "leap 3, the request's version 4, mode 4";
  EXPECT_EQ(kiss[1], 0) << "stratum 0";
  EXPECT_EQ(static_cast<int8_t>(kiss[2]), 3) << "the limit's interval beats the request's poll -2";
  EXPECT_EQ(kiss[3], 0xEF) << "our precision";
  for (size_t i = 4; i < 12; ++i) EXPECT_EQ(kiss[i], 0) << "root delay and dispersion, byte " << i;
  EXPECT_EQ(std::string(kiss.begin() + 12, kiss.begin() + 16), "RATE");
  for (size_t i = 16; i < 24; ++i) EXPECT_EQ(kiss[i], 0) << "reference stamp, byte " << i;
  for (size_t at : {size_t{24}, size_t{32}, size_t{40}}) {
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(kiss[at + i], request[40 + i]) << "stamp at " << at << ": the request's transmit stamp";
  }
  EXPECT_NE(ClassifyNtpRequest(kiss), NtpRequestKind::kClient) << "a kiss is never taken for a request";
}

TEST(BuildNtpKissRate, VersionAndPollFollowTheRequest) {
  struct Case {
    uint8_t first;
    int8_t poll;
    int8_t min_poll;
    uint8_t first_out;
    int8_t poll_out;
  };
  const Case cases[] = {
      {0x1B, 6, 3, 0xDC, 6},     // version 3, the client already polls slower
      {0x0B, -6, -4, 0xCC, -4},  // version 1, a sub-second poll raised to the limit's
      {0x08, 0, 12, 0xCC, 12},   // version 1 mode 0
      {0x23, 17, 3, 0xE4, 17},   // a poll out of range is echoed as given
      {0x03, 4, 3, 0xE4, 4},     // version 0: 4
      {0x3B, -128, 0, 0xE4, 0},  // version 7: 4
  };
  for (const Case& c : cases) {
    Packet kiss;
    BuildNtpKissRate(BusyRequest(c.first, c.poll), c.min_poll, kiss);
    EXPECT_EQ(kiss[0], c.first_out) << "first byte " << int{c.first};
    EXPECT_EQ(static_cast<int8_t>(kiss[2]), c.poll_out) << "first byte " << int{c.first};
  }
}

TEST(BuildNtpKissRate, WorksInPlaceAndOnlyForAStampedRequest) {
  Packet request = BusyRequest(0x23, 0);
  Packet separate;
  BuildNtpKissRate(request, 3, separate);
  EXPECT_TRUE(NtpKissAllowed(request));
  BuildNtpKissRate(request, 3, request);
  EXPECT_EQ(request, separate);
  Packet unstamped = BusyRequest(0x23, 0);
  std::fill(unstamped.begin() + 40, unstamped.end(), uint8_t{0});
  EXPECT_FALSE(NtpKissAllowed(unstamped)) << "a zero transmit stamp: no origin to check";
  unstamped[47] = 1;
  EXPECT_TRUE(NtpKissAllowed(unstamped));
}

TEST(NtpErrorText, NamesLengthAndErrorNumber) {
  EXPECT_EQ(NtpErrorText(47, 0), "47 Bytes NTP ERROR: 0");
  EXPECT_EQ(NtpErrorText(52, 10054), "52 Bytes NTP ERROR: 10054");
  EXPECT_EQ(kNtpRequestLogText, "48 Bytes NTP...");
}

}  // namespace
}  // namespace mdl
