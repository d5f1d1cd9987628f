// Tests of the upstream server list: parsing, regions and the choice of server.
#include "server/upstream/server_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace mdl {
namespace {

const std::string kHeader = "h1\nh2\nh3\nh4\nh5\n";

std::string Line(const std::string& host, const std::string& text, const std::string& image = "3") {
  return host + ":::" + text + ":::" + image + ":::cc\n";
}

TEST(ServerListParse, FiveHeaderLinesAloneGiveAnEmptyList) {
  ServerList list = ServerList::Parse(kHeader);
  EXPECT_EQ(list.ServerCount(), 0);
  list.CalcRandR("NA");
  EXPECT_TRUE(list.RegionIndex().empty());
  EXPECT_FALSE(list.GrabRandom(0.5).has_value()) << "an empty list must give no server";
  EXPECT_TRUE(list.UpstreamHost().empty());
  EXPECT_TRUE(list.QueryHost().empty());
}

TEST(ServerListParse, HeaderLinesAreSkippedWhateverTheyHold) {
  const std::string text = Line("h1", "one NA") + "\n" + Line("h3", "three NA") + Line("h4", "four NA") +
                           Line("h5", "five NA") + Line("real", "Real NA");
  ServerList list = ServerList::Parse(text);
  ASSERT_EQ(list.ServerCount(), 1) << "lines 1-5 (even entries or empty) are header";
  EXPECT_EQ(list.entries()[0].host_field, "real");
}

TEST(ServerListParse, FieldsImageAndFourthFieldWithSeparators) {
  const std::string text = kHeader + "a.example:::Alpha - NA:::7:::x:::y:::z\n" +
                           "b.example:::Beta - NA:::q:::us\n" + "c.example:::Gamma - NA::: 12 :::\n" +
                           "d.example:::Delta - NA:::-4:::\n";
  ServerList list = ServerList::Parse(text);
  ASSERT_EQ(list.ServerCount(), 4);
  EXPECT_EQ(list.entries()[0], (ServerEntry{"Alpha - NA", 7, "a.example"}));
  EXPECT_EQ(list.entries()[1].image, 2) << "a letter as image number must give image 2";
  EXPECT_EQ(list.entries()[2].image, 12) << "a numeric image with blanks is numeric";
  EXPECT_EQ(list.entries()[3].image, 2) << "a negative image number is no picture";
  list.CalcRandR("NA");
  EXPECT_EQ(list.RegionIndex(), (std::vector<int>{1, 2, 3, 4}))
      << "the letter-image entry must still belong to NA";
}

TEST(ServerListParse, MalformedLineDoesNotShiftHosts) {
  const std::string text = kHeader + Line("first.example", "First NA") +
                           "broken.example:::only two:::fields\n" + Line("second.example", "Second NA");
  ServerList list = ServerList::Parse(text);
  ASSERT_EQ(list.ServerCount(), 2);
  ASSERT_TRUE(list.Select(2));
  EXPECT_EQ(list.UpstreamHost(), "second.example")
      << "selecting the second good entry must query its own host";
  EXPECT_EQ(list.entries()[1].display_text, "Second NA");
}

TEST(ServerListParse, EmptyLineEndsTheListAlsoWithCrLf) {
  for (const std::string eol : {"\n", "\r\n"}) {
    const std::string text = "1" + eol + "2" + eol + "3" + eol + "4" + eol + "5" + eol + "a:::A NA:::1:::x" +
                             eol + eol + "b:::B NA:::1:::x" + eol;
    ServerList list = ServerList::Parse(text);
    ASSERT_EQ(list.ServerCount(), 1) << "line end " << (eol.size() == 2 ? "CRLF" : "LF");
    EXPECT_EQ(list.entries()[0].display_text, "A NA") << "CR must not stay in the text";
    EXPECT_EQ(list.entries()[0].host_field, "a");
  }
}

TEST(ServerListParse, LastLineWithoutLineEndIsRead) {
  ServerList list = ServerList::Parse(kHeader + "z.example:::Zed EU:::5:::de");
  ASSERT_EQ(list.ServerCount(), 1);
  EXPECT_EQ(list.entries()[0].image, 5);
}

TEST(ServerListParse, MoreThan300EntriesAreCappedWithAWarning) {
  std::string text = kHeader;
  for (int i = 1; i <= 310; ++i) text += Line("h" + std::to_string(i), "S" + std::to_string(i) + " EU");
  ServerList list = ServerList::Parse(text);
  EXPECT_EQ(list.ServerCount(), 300);
  EXPECT_EQ(list.entries().back().host_field, "h300");
  ASSERT_EQ(list.warnings().size(), 1u) << "the cap must be reported";
  EXPECT_NE(list.warnings()[0].find("300"), std::string::npos) << list.warnings()[0];
  list.CalcRandR("EU");
  EXPECT_EQ(list.RegionIndex().size(), 300u);
  EXPECT_EQ(list.GrabRandom(0.999999), 300);

  std::string exact = kHeader;
  for (int i = 1; i <= 300; ++i) exact += Line("h", "S EU");
  EXPECT_TRUE(ServerList::Parse(exact).warnings().empty()) << "300 entries are no overflow";
}

TEST(ServerListParse, HugeInputsParseWithoutBlowingUp) {
  // A 10 MB line with no separator, then one of many separators, then many lines.
  std::string text =
      kHeader + std::string(10'000'000, 'x') + "\n" + "h:::" + std::string(5'000'000, ':') + "\n";
  for (int i = 0; i < 200'000; ++i) text += "no separators here\n";
  text += Line("last.example", "Last NA");
  ServerList list = ServerList::Parse(text);
  ASSERT_EQ(list.ServerCount(), 2);
  EXPECT_EQ(list.entries()[0].host_field, "h");
  EXPECT_EQ(list.entries()[1].host_field, "last.example");
}

TEST(ServerListRegion, LastTwoCharactersCaseSensitive) {
  const std::string text = kHeader + Line("a", "Alpha - NA") + Line("b", "Beta - na") +
                           Line("c", "Gamma - EU") + Line("d", "NA") + Line("e", "A") +
                           Line("f", "Foxtrot - NA ");
  ServerList list = ServerList::Parse(text);
  list.CalcRandR("NA");
  EXPECT_EQ(list.RegionIndex(), (std::vector<int>{1, 4}))
      << "lower-case na, a trailing blank and a short text are not NA";
  list.CalcRandR("");
  EXPECT_EQ(list.RegionIndex(), (std::vector<int>{1, 4})) << "an empty region code means NA";
  list.CalcRandR("EU");
  EXPECT_EQ(list.RegionIndex(), (std::vector<int>{3}));
  list.CalcRandR("AP");
  EXPECT_TRUE(list.RegionIndex().empty());
}

TEST(ServerListRegion, EmptyRegionLeavesTheCurrentHost) {
  ServerList list = ServerList::Parse(kHeader + Line("a", "A EU") + Line("b", "B NA"));
  ASSERT_TRUE(list.Select(2));
  list.CalcRandR("AP");
  EXPECT_FALSE(list.GrabRandom(0.3).has_value());
  EXPECT_EQ(list.UpstreamHost(), "b");
  EXPECT_EQ(list.SelectedServer(), 2);
}

TEST(ServerListRandom, ThreeCandidatesQuarterHalfQuarter) {
  std::string text = kHeader;
  const char* hosts[] = {"e1", "n1", "e2", "n2", "e3", "n3"};
  for (int i = 0; i < 6; ++i) text += Line(hosts[i], std::string(i % 2 ? "x NA" : "x EU"));
  ServerList list = ServerList::Parse(text);
  list.CalcRandR("NA");
  ASSERT_EQ(list.RegionIndex(), (std::vector<int>{2, 4, 6}));
  std::map<int, int> picks;
  constexpr int kDraws = 10000;
  for (int k = 0; k < kDraws; ++k) {
    const double u = (k + 0.5) / kDraws;  // an even spread over [0, 1)
    const auto position = list.GrabRandom(u);
    ASSERT_TRUE(position.has_value());
    ++picks[*position];
    EXPECT_EQ(list.SelectedServer(), *position);
    EXPECT_EQ(list.UpstreamHost(), hosts[*position - 1]);
  }
  EXPECT_EQ(picks.size(), 3u) << "only region members may be picked";
  EXPECT_NEAR(picks[2], kDraws / 4, kDraws / 100) << "first candidate should get a quarter";
  EXPECT_NEAR(picks[4], kDraws / 2, kDraws / 100) << "middle candidate should get a half";
  EXPECT_NEAR(picks[6], kDraws / 4, kDraws / 100) << "last candidate should get a quarter";
}

TEST(ServerListRandom, EdgesOfUAndSingleCandidate) {
  ServerList list = ServerList::Parse(kHeader + Line("a", "A NA") + Line("b", "B NA"));
  list.CalcRandR("NA");
  struct Case {
    double u;
    int position;
  };
  // i = round-half-even(u + 1): 0.5 -> 1.5 -> 2, just below 0.5 -> 1.
  for (const Case c : {Case{0.0, 1}, Case{0.4999, 1}, Case{0.5, 2}, Case{0.9999, 2}, Case{1.0, 2},
                       Case{-3.0, 1}, Case{std::nan(""), 1}}) {
    EXPECT_EQ(list.GrabRandom(c.u), c.position) << "u = " << c.u;
  }
  ServerList single = ServerList::Parse(kHeader + Line("only", "O NA"));
  single.CalcRandR("NA");
  EXPECT_EQ(single.GrabRandom(0.99), 1) << "one candidate is always chosen";
}

TEST(ServerListSelect, OperatorChoiceAndQueryHost) {
  ServerList list = ServerList::Parse(kHeader + Line(" first.example ", "A NA") + Line("b", "B NA"));
  EXPECT_EQ(list.QueryHost(), " first.example ") << "nothing chosen: position 1 of the table";
  EXPECT_EQ(list.SelectedServer(), 0);
  EXPECT_FALSE(list.Select(0));
  EXPECT_FALSE(list.Select(3));
  EXPECT_TRUE(list.UpstreamHost().empty()) << "a bad selection must change nothing";
  EXPECT_TRUE(list.Select(2));
  EXPECT_EQ(list.QueryHost(), "b");
}

TEST(UpstreamAddressParse, FormsOfFieldOne) {
  struct Case {
    const char* field;
    std::optional<UpstreamAddress> expected;
  };
  const Case cases[] = {
      {"time.example.org", UpstreamAddress{"time.example.org", 123}},
      {"  time.example.org\t", UpstreamAddress{"time.example.org", 123}},
      {"time.example.org:4123", UpstreamAddress{"time.example.org", 4123}},
      {"127.0.0.1:1", UpstreamAddress{"127.0.0.1", 1}},
      {"127.0.0.1:65535", UpstreamAddress{"127.0.0.1", 65535}},
      {"[::1]", UpstreamAddress{"::1", 123}},
      {"[2001:db8::5]:10123", UpstreamAddress{"2001:db8::5", 10123}},
      {"[fe80::1%eth0]:123", UpstreamAddress{"fe80::1%eth0", 123}},
      {"2001:db8::7", UpstreamAddress{"2001:db8::7", 123}},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"host:0", std::nullopt},
      {"host:65536", std::nullopt},
      {"host:99999999999999999999", std::nullopt},
      {"host:", std::nullopt},
      {"host:12a", std::nullopt},
      {"host:-5", std::nullopt},
      {"two words", std::nullopt},
      {"[::1", std::nullopt},
      {"[::1]x", std::nullopt},
      {"[::1]:", std::nullopt},
      {"[]:123", std::nullopt},
      {"[time.example.org]", std::nullopt},
      {"http://x", std::nullopt},
      {"2001:db8::zz", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseUpstreamAddress(c.field), c.expected) << "field 1 \"" << c.field << "\"";
  }
  EXPECT_FALSE(ParseUpstreamAddress(std::string(300, 'a')).has_value())
      << "a host longer than 255 characters is no host name";
}

TEST(ParseUpstreamAddress, NtsSchemeNamesAKeyExchangeServerOnPort4460) {
  struct Case {
    const char* field;
    std::optional<UpstreamAddress> expected;
  };
  const Case cases[] = {
      {"nts://time.example.org", UpstreamAddress{"time.example.org", 4460, true}},
      {" NTS://time.example.org:4461 ", UpstreamAddress{"time.example.org", 4461, true}},
      {"nts://127.0.0.1:1", UpstreamAddress{"127.0.0.1", 1, true}},
      {"nts://[::1]", UpstreamAddress{"::1", 4460, true}},
      {"nts://[2001:db8::5]:4470", UpstreamAddress{"2001:db8::5", 4470, true}},
      {"nts://2001:db8::7", UpstreamAddress{"2001:db8::7", 4460, true}},
      {"nts://", std::nullopt},
      {"nts://host:0", std::nullopt},
      {"nts://host:65536", std::nullopt},
      {"nts://nts://host", std::nullopt},
      {"nts:/host", std::nullopt},
      {"ntp://host", std::nullopt},
      {"nts://two words", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseUpstreamAddress(c.field), c.expected) << "field 1 \"" << c.field << "\"";
  }
  // A plain line stays plain, on port 123.
  EXPECT_FALSE(ParseUpstreamAddress("ntshost.example")->nts);
  EXPECT_EQ(ParseUpstreamAddress("ntshost.example")->port, 123);
  // The list keeps the field as written; the scheme's ":" is no field separator.
  ServerList list = ServerList::Parse("1\n2\n3\n4\n5\nnts://a.example:4461:::A - NA:::2:::us\n");
  ASSERT_EQ(list.ServerCount(), 1);
  EXPECT_EQ(list.entries()[0].host_field, "nts://a.example:4461");
}

std::filesystem::path SourceDir() { return std::filesystem::path(MDL_SOURCE_DIR); }

TEST(ShippedServerList, EveryRegionHasFiveUsableServers) {
  const std::filesystem::path path = SourceDir() / "data" / kServerListFileName;
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "cannot open " << path;
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  ServerList list = ServerList::Parse(text);
  EXPECT_TRUE(list.warnings().empty());

  // Every line after the header is an entry: no empty or malformed line.
  const auto lines = std::count(text.begin(), text.end(), '\n');
  EXPECT_EQ(list.ServerCount(), lines - ServerList::kHeaderLines)
      << "a line of the shipped list was skipped or the list ended early";
  for (const ServerEntry& e : list.entries()) {
    EXPECT_TRUE(ParseUpstreamAddress(e.host_field).has_value()) << e.host_field;
  }
  std::size_t in_regions = 0;
  for (const char* region : {"NA", "SA", "EU", "AF", "AW", "AE", "AP"}) {
    list.CalcRandR(region);
    EXPECT_GE(list.RegionIndex().size(), 5u) << "region " << region;
    in_regions += list.RegionIndex().size();
  }
  EXPECT_EQ(in_regions, list.entries().size()) << "an entry belongs to no region";
}

}  // namespace
}  // namespace mdl

namespace mdl {
namespace {

std::string ListText() { return "h1\nh2\nh3\nh4\nh5\nntp.example:::Example, NA:::2:::x\n"; }

TEST(ServerListFile, ReadsAPlainFileOrOurOwnLinkAndRefusesTheRest) {
  mdl::testing::TempDir dir;
  const std::filesystem::path list = dir.path() / "list";
  ASSERT_TRUE(mdl::testing::WriteFile(list, ListText()));
  const ServerListFile plain = LoadServerListFile(list, 4096);
  ASSERT_TRUE(plain.loaded) << plain.problem;
  EXPECT_EQ(plain.list.ServerCount(), 1);

  const std::filesystem::path link = dir.path() / "link";
  std::filesystem::create_symlink(list, link);
  EXPECT_TRUE(LoadServerListFile(link, 4096).loaded) << "a link of our own is read through";

  const ServerListFile missing = LoadServerListFile(dir.path() / "none", 4096);
  EXPECT_FALSE(missing.loaded);
  EXPECT_NE(missing.problem.find("is missing"), std::string::npos) << missing.problem;

  const ServerListFile big = LoadServerListFile(list, 10);
  EXPECT_FALSE(big.loaded);
  EXPECT_NE(big.problem.find("larger than 10 bytes"), std::string::npos) << big.problem;

  std::filesystem::create_directory(dir.path() / "folder");
  const ServerListFile folder = LoadServerListFile(dir.path() / "folder", 4096);
  EXPECT_FALSE(folder.loaded);
  EXPECT_NE(folder.problem.find("refused"), std::string::npos) << folder.problem;
}

}  // namespace
}  // namespace mdl
