// Private protocol, server side: which requests are answered and the reply.
#include "server/private/mdl_core.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl {
namespace {

using Message = std::array<uint8_t, kMdlMessageSize>;

// "MDLC", digit 5, "UTC", a client stamp, zero server stamp.
Message ClientRequest() {
  Message m{'M', 'D', 'L', 'C', '5', 'U', 'T', 'C', 0x0C, 0x1D, 0x2E, 0x3F, 0x80, 0x00, 0x00, 0x00};
  return m;
}

// 2002-01-01 00:00:00.500 UTC.
constexpr std::array<uint8_t, 8> kServerStamp = {0, 0, 0, 0, 0x80, 0, 0, 0};

TEST(CheckMdlRequest, NeedsExactly24Bytes) {
  for (size_t size : {0u, 1u, 23u, 25u, 48u}) {
    std::vector<uint8_t> bytes(size, 'M');
    if (size >= 4) bytes[1] = 'D', bytes[3] = 'C';
    EXPECT_EQ(CheckMdlRequest(bytes), MdlCheck::kBadLength) << size << " bytes";
  }
  EXPECT_EQ(CheckMdlRequest(ClientRequest()), MdlCheck::kOk);
}

TEST(CheckMdlRequest, ChecksBytes0To3ButNotByte2) {
  struct Case {
    std::array<uint8_t, 4> head;
    MdlCheck expected;
    const char* what;
  };
  const Case cases[] = {
      {{'M', 'D', 'L', 'C'}, MdlCheck::kOk, "client identification"},
      {{'M', 'D', 'X', 'C'}, MdlCheck::kOk, "byte 2 is not examined"},
      {{'M', 'D', 0x00, 'C'}, MdlCheck::kOk, "byte 2 zero"},
      {{'M', 'D', 'L', 'X'}, MdlCheck::kOk, "any byte 3 but L or S"},
      {{'M', 'D', 'L', 'L'}, MdlCheck::kBadIdentity, "byte 3 is L"},
      {{'M', 'D', 'L', 'S'}, MdlCheck::kBadIdentity, "a server reply: would start a loop"},
      {{'m', 'D', 'L', 'C'}, MdlCheck::kBadIdentity, "lower-case m"},
      {{'M', 'd', 'L', 'C'}, MdlCheck::kBadIdentity, "lower-case d"},
      {{'D', 'M', 'L', 'C'}, MdlCheck::kBadIdentity, "swapped"},
  };
  for (const Case& c : cases) {
    Message m = ClientRequest();
    std::copy(c.head.begin(), c.head.end(), m.begin());
    EXPECT_EQ(CheckMdlRequest(m), c.expected) << c.what;
  }
}

TEST(BuildMdlReply, IdentifiesTheServerEchoesTheClientAndAddsServerTime) {
  const Message request = ClientRequest();
  const Message reply = BuildMdlReply(request, kServerStamp, '5', false);
  const Message expected{'M',  'D',  'L',  'S',  '5', 'U', 'T', 'C', 0x0C, 0x1D, 0x2E, 0x3F,
                         0x80, 0x00, 0x00, 0x00, 0,   0,   0,   0,   0x80, 0,    0,    0};
  EXPECT_EQ(reply, expected);
  EXPECT_EQ(CheckMdlRequest(reply), MdlCheck::kBadIdentity)
      << "a reply sent back to the server must not be answered";
}

TEST(BuildMdlReply, EchoesBytes5To15UnlessServiceBuildTcp) {
  Message request = ClientRequest();
  request[4] = '4';  // an older client
  request[5] = 'G';
  request[6] = 'M';
  request[7] = 'T';
  const Message desktop = BuildMdlReply(request, kServerStamp, '5', false);
  EXPECT_EQ(desktop[4], '5') << "server digit not written";
  EXPECT_EQ(std::string(desktop.begin() + 5, desktop.begin() + 8), "GMT") << "bytes 5..7 must be echoed";

  const Message service_tcp = BuildMdlReply(request, kServerStamp, '5', true);
  EXPECT_EQ(std::string(service_tcp.begin() + 5, service_tcp.begin() + 8), "UTC")
      << "service build TCP reply must always say UTC";
  EXPECT_TRUE(std::equal(request.begin() + 8, request.begin() + 16, service_tcp.begin() + 8))
      << "client stamp not echoed in the service build";
  EXPECT_TRUE(std::equal(kServerStamp.begin(), kServerStamp.end(), service_tcp.begin() + 16));
}

TEST(MdlLogText, NamesTransportAndClientDigit) {
  EXPECT_EQ(MdlLogText(Transport::kTcp, '5'), "MDLSC5");
  EXPECT_EQ(MdlLogText(Transport::kUdp, '4'), "MDLSP4");
}

}  // namespace
}  // namespace mdl
