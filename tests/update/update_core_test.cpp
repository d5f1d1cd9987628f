// The update check's pure parts: request text, host value, version order,
// version file, decisions and the response reader over any split.
#include "server/update/update_core.h"

#include <gtest/gtest.h>

namespace mdl {
namespace {

TEST(UpdateRequest, LinesInTheirOrderEndedByAnEmptyLine) {
  EXPECT_EQ(BuildUpdateRequest(kVersionFilePath, "www.example.org", "5.1.10"),
            "GET /Meridel/MDLVCS4.IPF HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "Host: www.example.org\r\n"
            "Referer: Meridel S v5.1.10\r\n"
            "User-Agent: Meridel v5.1.10\r\n"
            "\r\n");
  EXPECT_EQ(BuildUpdateRequest(kListFilePath, "h:8080", "1").substr(0, 40),
            "GET /Meridel/QOR_MDLS4.MDL HTTP/1.1\r\nAcc");
}

TEST(UpdateHostValue, Forms) {
  struct Case {
    const char* text;
    bool tls;
    const char* host;
    uint16_t port;
    const char* header;
  } cases[] = {
      {"updates.example.org", false, "updates.example.org", 80, "updates.example.org"},
      {"updates.example.org:8080", false, "updates.example.org", 8080, "updates.example.org:8080"},
      {"http://127.0.0.1:80/", false, "127.0.0.1", 80, "127.0.0.1"},
      {"https://lists.example.org", true, "lists.example.org", 443, "lists.example.org"},
      {"https://lists.example.org:8443", true, "lists.example.org", 8443, "lists.example.org:8443"},
      {" [::1]:8080 ", false, "::1", 8080, "[::1]:8080"},
      {"https://[::1]", true, "::1", 443, "[::1]"},
  };
  for (const Case& c : cases) {
    auto h = ParseUpdateHost(c.text);
    ASSERT_TRUE(h) << c.text;
    EXPECT_EQ(h->tls, c.tls) << c.text;
    EXPECT_EQ(h->host, c.host) << c.text;
    EXPECT_EQ(h->port, c.port) << c.text;
    EXPECT_EQ(h->host_header, c.header) << c.text;
  }
  for (const char* bad : {"", "ftp://h", "h:0", "h:65536", "h:", "h/path", "bad host", "[::1", "[::1]x",
                          "h:80x", "host\r\nX-Injected: 1"}) {
    std::string why;
    EXPECT_FALSE(ParseUpdateHost(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(VersionOrder, DottedNumbersCompareAsNumbers) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {"5.1.9", "5.1.10", -1},  {"5.1.10", "5.1.9", 1},
      {"5.1.10", "5.1.10", 0},  {"5.1", "5.1.0", 0},
      {"5.1", "5.1.1", -1},     {"05.01", "5.1", 0},
      {"5.2", "5.10", -1},      {"10.0", "9.99.99", 1},
      {"5.1.9", "5.1.9a", -1},  {"5.1.9b", "5.1.9a", 1},
      {"5.1.9", "5.1.10a", -1}, {"99999999999999999999.1", "99999999999999999998.9", 1},
  };
  for (const Case& c : cases) {
    auto o = CompareVersions(c.a, c.b);
    ASSERT_TRUE(o) << c.a << " " << c.b;
    EXPECT_EQ(*o, c.order) << c.a << " vs " << c.b;
  }
  for (const char* bad : {"", "v5.1", "5..1", "5.1.", ".5", "5.1 beta", "5.1-rc1", "<script>",
                          "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17"}) {
    EXPECT_FALSE(CompareVersions("5.1.10", bad)) << bad;
  }
}

TEST(VersionFileFields, SplitAtSeparatorAfterCrLfPairsAreRemoved) {
  auto f = ParseVersionFile("MDL-:-5.1.11-:-x-:-y-:-2048-:-z\r\n");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->newest_version, "5.1.11");
  EXPECT_EQ(f->list_size_text, "2048");
  // A CR LF inside a field joins it.
  f = ParseVersionFile("a-:-5.1.\r\n12-:-b-:-c-:-10\r\n24-:-");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->newest_version, "5.1.12");
  EXPECT_EQ(f->list_size_text, "1024");
  EXPECT_FALSE(ParseVersionFile("a-:-5.1.11-:-b-:-c-:-2048"));  // five fields
  EXPECT_FALSE(ParseVersionFile(""));
  EXPECT_FALSE(ParseVersionFile("<html>Not here</html>"));
}

TEST(SaveItDecisions, VersionAndListCases) {
  const VersionFile file{"5.1.11", "2048"};
  struct Case {
    const char* newest;
    std::optional<uint64_t> local;
    bool offer_version;
    ListAction list;
  } cases[] = {
      {"5.1.11", 2048, true, ListAction::kNone},   // newer, same size
      {"5.1.10", 2048, false, ListAction::kNone},  // equal
      {"5.1.9", 2048, false, ListAction::kNone},   // older (a string compare would offer it)
      {"5.1.10", 100, false, ListAction::kOffer},  // other size
      {"5.1.10", std::nullopt, false, ListAction::kFetchWithoutAsking},  // no list
      {"junk", 2048, false, ListAction::kNone},
  };
  for (const Case& c : cases) {
    SaveItDecision d = DecideSaveIt(VersionFile{c.newest, file.list_size_text}, "5.1.10", c.local);
    EXPECT_EQ(d.offer_version, c.offer_version) << c.newest;
    EXPECT_EQ(d.list, c.list) << c.newest;
  }
  // A list size that is not a number offers nothing, but a missing list is still fetched.
  SaveItDecision d = DecideSaveIt(VersionFile{"5.1.10", "big"}, "5.1.10", 100);
  EXPECT_EQ(d.list, ListAction::kNone);
  EXPECT_NE(d.note.find("not a number"), std::string::npos);
  EXPECT_EQ(DecideSaveIt(VersionFile{"5.1.10", "big"}, "5.1.10", std::nullopt).list,
            ListAction::kFetchWithoutAsking);
}

using State = ResponseReader::State;

std::string Hex(size_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zx", n);
  return buf;
}

State FeedInPieces(ResponseReader& r, std::string_view text, size_t piece) {
  State s = State::kReading;
  for (size_t at = 0; at < text.size() && s == State::kReading; at += piece)
    s = r.Feed(text.substr(at, piece));
  return s;
}

TEST(ResponseReading, CompleteAnswersInAnySplit) {
  const std::string body = "MDL-:-5.1.11-:-x-:-y-:-2048-:-z";
  const std::string with_length =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nMDL-:\r\n" +
                              Hex(body.size() - 5) + "\r\n" + body.substr(5) + "\r\n0\r\n\r\n";
  for (size_t piece : {size_t{1}, size_t{3}, size_t{17}, size_t{4096}}) {
    ResponseReader a(kMaxVersionBody);
    EXPECT_EQ(FeedInPieces(a, with_length, piece), State::kDone) << piece;
    EXPECT_EQ(a.body(), body);
    ResponseReader b(kMaxVersionBody);
    EXPECT_EQ(FeedInPieces(b, chunked, piece), State::kDone) << piece << " " << b.error();
    EXPECT_EQ(b.body(), body);
    // Without Content-Length the body ends with the connection.
    ResponseReader c(kMaxVersionBody);
    EXPECT_EQ(FeedInPieces(c, "HTTP/1.0 200 OK\r\n\r\n" + body, piece), State::kReading);
    EXPECT_EQ(c.End(), State::kDone) << c.error();
    EXPECT_EQ(c.body(), body);
  }
}

TEST(ResponseReading, FailuresEndTheAnswer) {
  ResponseReader not_found(kMaxVersionBody);
  EXPECT_EQ(not_found.Feed("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), State::kFailed);
  EXPECT_NE(not_found.error().find("404"), std::string::npos);

  ResponseReader declared_large(16);
  EXPECT_EQ(declared_large.Feed("HTTP/1.1 200 OK\r\nContent-Length: 17\r\n\r\n"), State::kFailed);
  EXPECT_TRUE(declared_large.too_large());

  ResponseReader grows_large(16);
  EXPECT_EQ(FeedInPieces(grows_large, "HTTP/1.1 200 OK\r\n\r\n" + std::string(100, 'x'), 7), State::kFailed);
  EXPECT_TRUE(grows_large.too_large());

  ResponseReader chunked_large(16);
  EXPECT_EQ(
      chunked_large.Feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n0123456789abcdef\r\n"
                         "1\r\nx\r\n"),
      State::kFailed);
  EXPECT_TRUE(chunked_large.too_large());

  ResponseReader truncated(kMaxListBody);
  EXPECT_EQ(truncated.Feed("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part"), State::kReading);
  EXPECT_EQ(truncated.End(), State::kFailed);

  ResponseReader truncated_chunk(kMaxListBody);
  EXPECT_EQ(truncated_chunk.Feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n20\r\nabc"),
            State::kReading);
  EXPECT_EQ(truncated_chunk.End(), State::kFailed);

  ResponseReader nothing(kMaxListBody);
  EXPECT_EQ(nothing.End(), State::kFailed);

  ResponseReader garbage(kMaxListBody);
  EXPECT_EQ(garbage.Feed("SSH-2.0-OpenSSH_9.2\r\n\r\n"), State::kFailed);

  ResponseReader endless_header(kMaxListBody);
  EXPECT_EQ(FeedInPieces(endless_header, "HTTP/1.1 200 OK\r\n" + std::string(100000, 'a'), 1000),
            State::kFailed);
}

TEST(DownloadedList, MustNameAServer) {
  const std::string header = "1\n2\n3\n4\n5\n";
  EXPECT_EQ(CheckListBody(header + "127.0.0.1:::Local - NA:::2:::x\nh2:::Two - EU:::3:::y\n"), 2);
  EXPECT_FALSE(CheckListBody(header));
  EXPECT_FALSE(CheckListBody("<html><body>Moved</body></html>"));
  EXPECT_FALSE(CheckListBody(""));
}

}  // namespace
}  // namespace mdl
