// End-to-end: Daytime (Julian and plain text) and UnixTime over TCP and UDP,
// read with socat.
#include <ctime>
#include <regex>

#include "tests/e2e/harness.h"

namespace mdl::e2e {
namespace {

// What socat reads from 127.0.0.1:port over TCP (nothing sent) or UDP (sends "x\n").
std::string Socat(const fs::path& dir, uint16_t port, bool udp) {
  const std::string target = (udp ? "UDP:127.0.0.1:" : "TCP:127.0.0.1:") + std::to_string(port);
  const std::string cmd = (udp ? "echo x | " : "") + std::string("/usr/bin/socat -T1 - ") + target;
  RunResult r = RunToEnd(dir, udp ? "socat_udp" : "socat_tcp", {"/bin/sh", "-c", cmd}, 5s);
  return r.out;
}

TEST(TextServicesTest, JulianDaytimeAndUnixTimeAnswerOverTcpAndUdp) {
  ASSERT_TRUE(HavePeer("/usr/bin/socat", "socat"));
  ServerRig rig;
  ASSERT_TRUE(rig.Start());
  static const std::regex kJulian(
      R"(^\n(\d{5}) (\d\d-\d\d-\d\d \d\d:\d\d:\d\d) \d\d 0 0 \d+\.\d UTC\(MDLS\) \*\n$)");
  for (bool udp : {false, true}) {
    SCOPED_TRACE(udp ? "Daytime over UDP" : "Daytime over TCP");
    const std::string text = Socat(rig.dir.path(), rig.ports.daytime, udp);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, kJulian)) << "not the Julian layout: [" << text << "]";
    std::tm tm{};
    ASSERT_NE(strptime(m[2].str().c_str(), "%y-%m-%d %H:%M:%S", &tm), nullptr);
    const double served = static_cast<double>(timegm(&tm));
    EXPECT_NEAR(served, UnixNow(), 2.0) << "Daytime date-time is off: " << m[2];
    const long mjd = static_cast<long>(served / 86400) + 40587;
    EXPECT_EQ(std::stol(m[1]), mjd % 100000) << "Modified Julian Date does not match the date " << m[2];
  }
  for (bool udp : {false, true}) {
    SCOPED_TRACE(udp ? "UnixTime over UDP" : "UnixTime over TCP");
    const std::string bytes = Socat(rig.dir.path(), rig.ports.unix_time, udp);
    ASSERT_EQ(bytes.size(), 4u) << "UnixTime should answer 4 bytes";
    EXPECT_NEAR(static_cast<double>(BigEndian32(bytes, 0)), UnixNow(), 1.5) << "UnixTime is off";
  }
  EXPECT_TRUE(rig.StopCleanly());
}

TEST(TextServicesTest, PlainDaytimeTextWhenJulianIsOff) {
  ASSERT_TRUE(HavePeer("/usr/bin/socat", "socat"));
  ServerRig rig;
  ASSERT_TRUE(rig.Start("59:Minute/s", "NO"));
  static const std::regex kPlain(R"(^([A-Z][a-z]+day, [A-Z][a-z]+ \d\d, \d{4} \d\d:\d\d:\d\d)-\S.*$)");
  for (bool udp : {false, true}) {
    SCOPED_TRACE(udp ? "plain Daytime over UDP" : "plain Daytime over TCP");
    const std::string text = Socat(rig.dir.path(), rig.ports.daytime, udp);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, kPlain)) << "not the plain layout: [" << text << "]";
    std::tm tm{};
    ASSERT_NE(strptime(m[1].str().c_str(), "%A, %B %d, %Y %H:%M:%S", &tm), nullptr);
    tm.tm_isdst = -1;
    EXPECT_NEAR(static_cast<double>(std::mktime(&tm)), UnixNow(), 2.0)
        << "plain Daytime local time is off: " << m[1];
  }
  EXPECT_TRUE(rig.StopCleanly());
}

}  // namespace
}  // namespace mdl::e2e
