// Access lists: reading AllowNetworks/DenyNetworks text, and the look-up
// that decides per source (most specific network first, deny over allow at
// equal length, an allow list admitting only its networks), checked against
// a plain scan of the lists.
#include "server/serving/network_access.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <random>
#include <string>
#include <vector>

namespace mdl {
namespace {

using boost::asio::ip::make_address;

std::vector<std::string> Texts(const NetworkList& list) {
  std::vector<std::string> out;
  for (const Network& n : list.networks) out.push_back(NetworkText(n));
  return out;
}

TEST(NetworkList, ReadsEntriesBetweenAnySeparatorsHostsAsFullLengthAndClearsHostBits) {
  const NetworkList l = ParseNetworkList(
      " 192.168.0.0/16,10.1.2.3;2001:db8::/32\t\r\n172.16.5.4/12 ::1 fe80::1:2/64 0.0.0.0/0 ::/0 ,;, ");
  EXPECT_TRUE(l.malformed.empty()) << l.malformed.front();
  EXPECT_EQ(Texts(l),
            (std::vector<std::string>{"192.168.0.0/16", "10.1.2.3/32", "2001:db8::/32", "172.16.0.0/12",
                                      "::1/128", "fe80::/64", "0.0.0.0/0", "::/0"}));
  EXPECT_FALSE(ParseNetworkList("").given());
  EXPECT_FALSE(ParseNetworkList(" ,; \t").given()) << "separators alone name nothing";
}

TEST(NetworkList, IpvFourMappedNetworksReadAsIpvFour) {
  EXPECT_EQ(Texts(ParseNetworkList("::ffff:10.0.0.0/104 ::ffff:192.0.2.7")),
            (std::vector<std::string>{"10.0.0.0/8", "192.0.2.7/32"}));
  EXPECT_EQ(Texts(ParseNetworkList("::ffff:0:0/96")), (std::vector<std::string>{"0.0.0.0/0"}));
}

TEST(NetworkList, MalformedEntriesAreNamedAndNoneTurnsIntoANetwork) {
  struct Case {
    const char* entry;
    const char* why;
  };
  const Case cases[] = {
      {"10.0.0.256", "octet out of range"},
      {"10.0.0", "three octets"},
      {"10.0.0.0/33", "IPv4 prefix beyond 32"},
      {"2001:db8::/129", "IPv6 prefix beyond 128"},
      {"10.0.0.0/", "empty prefix"},
      {"10.0.0.0/+8", "signed prefix"},
      {"10.0.0.0/-1", "negative prefix"},
      {"10.0.0.0/0008", "four-digit prefix"},
      {"10.0.0.0/8/8", "two prefixes"},
      {"/8", "no address"},
      {"fe80::1%eth0", "scope id"},
      {"junk", "a word"},
      {"*", "a wildcard"},
      {"2001:db8:::1", "bad IPv6"},
      {"0x0a000000", "hexadecimal IPv4"},
  };
  for (const Case& c : cases) {
    const NetworkList l = ParseNetworkList(std::string("192.0.2.0/24 ") + c.entry + " 198.51.100.1");
    EXPECT_EQ(l.networks.size(), 2u) << c.why << ": " << c.entry;
    ASSERT_EQ(l.malformed.size(), 1u) << c.why << ": " << c.entry;
    EXPECT_EQ(l.malformed[0], c.entry) << c.why;
  }
  // A long or unprintable entry is shown cut and cleaned, never as written.
  const NetworkList l = ParseNetworkList(std::string(200, 'x') +
                                         " a\x01"
                                         "b");
  ASSERT_EQ(l.malformed.size(), 2u);
  EXPECT_EQ(l.malformed[0], std::string(64, 'x') + "...");
  EXPECT_EQ(l.malformed[1], "a?b");
}

NetworkAccess Access(const std::string& allow, const std::string& deny) {
  return NetworkAccess(ParseNetworkList(allow), ParseNetworkList(deny));
}

struct Expect {
  const char* address;
  bool allowed;
};

void Check(const NetworkAccess& a, std::initializer_list<Expect> cases, const std::string& what) {
  for (const Expect& e : cases)
    EXPECT_EQ(a.Allows(make_address(e.address)), e.allowed)
        << what << ": " << e.address << (e.allowed ? " must be allowed" : " must be denied");
}

TEST(NetworkAccess, WithoutListsEveryoneIsAllowedAndNothingRestricts) {
  const NetworkAccess none = Access("", "");
  EXPECT_FALSE(none.restricting());
  Check(none, {{"10.0.0.1", true}, {"::1", true}, {"::ffff:1.2.3.4", true}}, "no lists");
  EXPECT_FALSE(NetworkAccess().restricting());
  EXPECT_FALSE(Access(" ", ";").restricting());
}

TEST(NetworkAccess, TheMostSpecificNetworkDecidesAndAnAllowListAdmitsOnlyItsNetworks) {
  const NetworkAccess a = Access("10.0.0.0/8 10.1.2.0/24 2001:db8::/32", "10.1.0.0/16 2001:db8:1::/48");
  EXPECT_TRUE(a.restricting());
  Check(a,
        {{"10.9.9.9", true},        // in the /8 only
         {"10.1.9.9", false},       // the /16 deny is more specific
         {"10.1.2.200", true},      // the /24 allow is more specific still
         {"11.0.0.1", false},       // outside every allowed network
         {"2001:db8:2::5", true},   // the /32 allow
         {"2001:db8:1::5", false},  // the /48 deny
         {"2001:db9::1", false},    // outside
         {"::1", false}},           // IPv6 outside
        "nested lists");
  // A deny list alone denies its networks and nothing else.
  const NetworkAccess deny_only = Access("", "192.168.0.0/16 fd00::/8");
  Check(deny_only,
        {{"192.168.3.4", false},
         {"192.169.0.1", true},
         {"fd12::1", false},
         {"fe80::1", true},
         {"8.8.8.8", true}},
        "deny only");
}

TEST(NetworkAccess, DenyBeatsAllowOfTheSameNetworkWhicheverListIsReadFirst) {
  for (const auto& [allow, deny] :
       {std::pair{"192.168.1.0/24 0.0.0.0/0", "192.168.1.0/24"},
        std::pair{"0.0.0.0/0 192.168.1.7/24 192.168.1.0/24", "192.168.1.99/24"}}) {
    const NetworkAccess a = Access(allow, deny);
    Check(a, {{"192.168.1.1", false}, {"192.168.2.1", true}}, std::string(allow) + " / " + deny);
  }
  // The same host listed in both, and an IPv6 host.
  Check(Access("127.0.0.1 ::1", "127.0.0.1 ::1"), {{"127.0.0.1", false}, {"::1", false}},
        "hosts in both lists");
}

TEST(NetworkAccess, MappedSourcesAndMappedEntriesMeetAsIpvFour) {
  const NetworkAccess a = Access("::ffff:10.0.0.0/104", "10.5.0.0/16");
  Check(a,
        {{"10.1.1.1", true},
         {"::ffff:10.1.1.1", true},
         {"::ffff:10.5.1.1", false},
         {"10.5.1.1", false},
         {"::ffff:11.1.1.1", false},
         {"::10.1.1.1", false}},  // IPv4-compatible, not mapped: an IPv6 address
        "mapped");
}

TEST(NetworkAccess, ZeroLengthAndHostEntriesCoverExactlyTheirFamily) {
  Check(Access("0.0.0.0/0", "10.0.0.0/8"), {{"1.2.3.4", true}, {"10.1.1.1", false}, {"2001:db8::1", false}},
        "all of IPv4 allowed, IPv6 not");
  Check(Access("", "::/0"),
        {{"2001:db8::1", false}, {"::1", false}, {"192.0.2.1", true}, {"::ffff:192.0.2.1", true}},
        "all of IPv6 denied");
  Check(Access("192.0.2.10 2001:db8::10", ""),
        {{"192.0.2.10", true}, {"192.0.2.11", false}, {"2001:db8::10", true}, {"2001:db8::11", false}},
        "hosts");
  // Prefixes that cut inside a byte and straddle the two halves of an IPv6 address.
  Check(Access("192.0.2.64/27 2001:db8:0:0:8000::/65 2001:db8::/63", ""),
        {{"192.0.2.95", true},
         {"192.0.2.96", false},
         {"2001:db8:0:0:8000::1", true},
         {"2001:db8:0:1::1", true},
         {"2001:db8:0:2::1", false}},
        "odd prefix lengths");
}

TEST(NetworkAccess, AnAllowListOfOnlyMalformedEntriesDeniesEveryoneAndSaysSo) {
  const NetworkList allow = ParseNetworkList("10.0.0.0/33 nonsense");
  const NetworkAccess a(allow, ParseNetworkList(""));
  EXPECT_TRUE(a.restricting());
  Check(a, {{"10.0.0.1", false}, {"127.0.0.1", false}, {"::1", false}}, "unusable allow list");
  const std::vector<std::string> lines = DescribeAccessLists(allow, ParseNetworkList(""));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[0],
      "AllowNetworks: \"10.0.0.0/33\", \"nonsense\" are not networks (address or address/prefix length); "
      "ignored");
  EXPECT_EQ(lines[1], "AllowNetworks names no usable network: every client is denied until it does");
  EXPECT_EQ(lines[2],
            "access lists: 0 networks allowed, 0 denied; clients outside the allowed networks are denied");
  // A deny list of only malformed entries denies no one.
  const NetworkAccess d(ParseNetworkList(""), ParseNetworkList("bad"));
  EXPECT_FALSE(d.restricting());
  EXPECT_TRUE(d.Allows(make_address("10.0.0.1")));
}

TEST(NetworkAccess, DescriptionCountsNetworksAndNamesAtMostEightBadEntries) {
  EXPECT_TRUE(DescribeAccessLists(ParseNetworkList(""), ParseNetworkList("")).empty());
  EXPECT_EQ(DescribeAccessLists(ParseNetworkList(""), ParseNetworkList("10.0.0.0/8")),
            (std::vector<std::string>{"access lists: 0 networks allowed, 1 denied"}));
  std::string bad;
  for (int i = 0; i < 10; ++i) bad += "b" + std::to_string(i) + " ";
  const std::vector<std::string> lines = DescribeAccessLists(ParseNetworkList("10.0.0.0/8 ::1 192.0.2.1"),
                                                             ParseNetworkList(bad + "10.1.0.0/16"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "DenyNetworks: \"b0\", \"b1\", \"b2\", \"b3\", \"b4\", \"b5\", \"b6\", \"b7\" and 2 more are not "
            "networks (address or address/prefix length); ignored");
  EXPECT_EQ(lines[1],
            "access lists: 3 networks allowed, 1 denied; clients outside the allowed networks are denied");
}

// The look-up against a scan of every entry: the longest containing prefix,
// a deny among those of that length, else whether an allow list was given.
bool Contains(const Network& n, const std::array<uint8_t, 16>& a) {
  for (unsigned bit = 0; bit < n.prefix; ++bit) {
    const uint8_t m = static_cast<uint8_t>(0x80u >> (bit % 8));
    if ((n.bytes[bit / 8] & m) != (a[bit / 8] & m)) return false;
  }
  return true;
}

bool ScanAllows(const NetworkList& allow, const NetworkList& deny, bool v6,
                const std::array<uint8_t, 16>& a) {
  int best = -1;
  bool denied = false;
  auto visit = [&](const NetworkList& l, bool is_deny) {
    for (const Network& n : l.networks) {
      if (n.v6 != v6 || !Contains(n, a)) continue;
      if (n.prefix > best) {
        best = n.prefix;
        denied = is_deny;
      } else if (n.prefix == best) {
        denied = denied || is_deny;
      }
    }
  };
  visit(allow, false);
  visit(deny, true);
  return best < 0 ? !allow.given() : !denied;
}

TEST(NetworkAccess, AHundredNetworksDecideAsAScanOfEveryEntryDoes) {
  std::mt19937 rng(20261210);
  // Networks near each other (few distinct leading bytes), so that they nest and overlap.
  // `narrow`: /16 or longer (IPv4), /48 or longer (IPv6).
  auto random_network = [&](bool v6, bool narrow) {
    std::string text;
    if (v6) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "2001:db8:%x:%x::%x/%u", static_cast<unsigned>(rng() % 4),
                    static_cast<unsigned>(rng() % 3), static_cast<unsigned>(rng() % 2),
                    static_cast<unsigned>(rng() % 129));
      text = buf;
    } else {
      text = "10." + std::to_string(rng() % 4) + "." + std::to_string(rng() % 4) + "." +
             std::to_string(rng() % 256) + "/" + std::to_string(narrow ? 16 + rng() % 17 : rng() % 33);
    }
    return text;
  };
  for (int round = 0; round < 20; ++round) {
    std::string allow_text, deny_text;
    // Every fourth round a deny list alone, of narrower networks (wide ones would deny everything).
    const bool deny_only = round % 4 == 0;
    for (int i = 0; i < 100; ++i)
      (rng() % 3 && !deny_only ? allow_text : deny_text) += random_network(rng() % 2, deny_only) + " ";
    const NetworkList allow = ParseNetworkList(allow_text);
    const NetworkList deny = ParseNetworkList(deny_text);
    ASSERT_TRUE(allow.malformed.empty() && deny.malformed.empty());
    const NetworkAccess access(allow, deny);
    int allowed = 0;
    for (int i = 0; i < 2000; ++i) {
      const bool v6 = rng() % 2;
      std::array<uint8_t, 16> b{};
      std::string text;
      if (v6) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "2001:db8:%x:%x::%x", static_cast<unsigned>(rng() % 5),
                      static_cast<unsigned>(rng() % 3), static_cast<unsigned>(rng() % 3));
        text = buf;
        b = make_address(text).to_v6().to_bytes();
      } else {
        text = "10." + std::to_string(rng() % 5) + "." + std::to_string(rng() % 4) + "." +
               std::to_string(rng() % 256);
        const auto four = make_address(text).to_v4().to_bytes();
        std::copy(four.begin(), four.end(), b.begin());
      }
      const bool expected = ScanAllows(allow, deny, v6, b);
      allowed += expected;
      ASSERT_EQ(access.Allows(make_address(text)), expected)
          << text << " in round " << round << "\nallow: " << allow_text << "\ndeny: " << deny_text;
    }
    EXPECT_GT(allowed, 0) << "round " << round << " decides nothing but deny: the cases test too little";
    EXPECT_LT(allowed, 2000) << "round " << round << " decides nothing but allow: the cases test too little";
  }
}

}  // namespace
}  // namespace mdl
