// The metrics endpoint: the request head parser and the responses as pure
// functions, then the server on loopback (status codes, HEAD, oversized
// heads, silent clients, the connection cap, a port already taken).
#include "server/hosting/metrics_endpoint.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/loopback_ask.h"

namespace mdl::service {
namespace {

using namespace std::chrono_literals;
using HeadState = HttpRequestHead::State;
using WallClock = std::chrono::steady_clock;

TEST(MetricsRequestTest, HeadsAreReadWithinTheirLimit) {
  const std::string big_header = "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(8200, 'a') + "\r\n\r\n";
  const struct {
    std::string data;
    HeadState state;
    std::string method, target;
    size_t length;
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", HeadState::kComplete, "GET", "/metrics", 34},
      {"HEAD /metrics?a=b HTTP/1.0\n\n", HeadState::kComplete, "HEAD", "/metrics?a=b", 28},
      {"\r\n\r\nGET / HTTP/1.1\r\nAccept: */*\r\nUser-Agent: a\tb\r\n\r\nbody", HeadState::kComplete, "GET",
       "/", 52},
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n", HeadState::kIncomplete, "", "", 0},
      {"GET /metr", HeadState::kIncomplete, "", "", 0},
      {"", HeadState::kIncomplete, "", "", 0},
      {big_header, HeadState::kTooLarge, "", "", 0},
      {std::string(9000, '\n'), HeadState::kTooLarge, "", "", 0},
      {"GET /metrics HTTP/1.1\r\n" + std::string(8200, 'a'), HeadState::kTooLarge, "", "", 0},
      {"GET /metrics\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET /metrics HTTP/2.0\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET  /metrics HTTP/1.1\r\n\r\n", HeadState::kBad, "", "", 0},
      {"G(T /metrics HTTP/1.1\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET /met\x01rics HTTP/1.1\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET /metrics HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", HeadState::kBad, "", "", 0},
      {"GET /metrics HTTP/1.1\r\nA: b\x7f\r\n\r\n", HeadState::kBad, "", "", 0},
      {std::string("GET /metrics HTTP/1.1\r\nA: \0\r\n\r\n", 30), HeadState::kBad, "", "", 0},
  };
  for (const auto& c : cases) {
    const HttpRequestHead h = ParseHttpRequestHead(c.data);
    EXPECT_EQ(h.state, c.state) << c.data.substr(0, 60);
    if (c.state != HeadState::kComplete) continue;
    EXPECT_EQ(h.method, c.method);
    EXPECT_EQ(h.target, c.target);
    EXPECT_EQ(h.length, c.length) << c.data;
  }
  // A head ending exactly at the limit is complete; one byte more is too large.
  std::string exact = "GET / HTTP/1.1\r\nA: ";
  exact += std::string(100 - exact.size() - 4, 'x') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), 100u);
  EXPECT_EQ(ParseHttpRequestHead(exact, 100).state, HeadState::kComplete);
  EXPECT_EQ(ParseHttpRequestHead(exact, 99).state, HeadState::kTooLarge);
}

HttpRequestHead RequestHead(const std::string& method, const std::string& target) {
  return ParseHttpRequestHead(method + " " + target + " HTTP/1.1\r\n\r\n");
}

TEST(MetricsRequestTest, ResponsesFollowMethodAndPath) {
  int calls = 0;
  const MetricsSource source = [&calls]() -> std::optional<std::string> {
    ++calls;
    return std::string("meridel_up 1\n");
  };
  const struct {
    HttpRequestHead head;
    std::string status;
    bool body;
  } cases[] = {
      {RequestHead("GET", "/metrics"), "200 OK", true},
      {RequestHead("GET", "/metrics?x=1"), "200 OK", true},
      {RequestHead("HEAD", "/metrics"), "200 OK", false},
      {RequestHead("GET", "/"), "404 Not Found", true},
      {RequestHead("GET", "/metrics/"), "404 Not Found", true},
      {RequestHead("HEAD", "/other"), "404 Not Found", false},
      {RequestHead("POST", "/metrics"), "405 Method Not Allowed", true},
      {RequestHead("get", "/metrics"), "405 Method Not Allowed", true},
      {ParseHttpRequestHead(std::string(9000, 'a')), "431 Request Header Fields Too Large", true},
      {ParseHttpRequestHead("nonsense\r\n\r\n"), "400 Bad Request", true},
  };
  for (const auto& c : cases) {
    const std::string r = MetricsResponse(c.head, source);
    SCOPED_TRACE(c.head.method + " " + c.head.target + " -> " + c.status);
    ASSERT_EQ(r.rfind("HTTP/1.1 " + c.status + "\r\n", 0), 0u) << r;
    EXPECT_NE(r.find("\r\nConnection: close\r\n"), std::string::npos) << r;
    const size_t end = r.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string body = r.substr(end + 4);
    const size_t length_at = r.find("Content-Length: ");
    ASSERT_NE(length_at, std::string::npos);
    const size_t length = std::stoul(r.substr(length_at + 16));
    EXPECT_GT(length, 0u);
    // HEAD: the length a GET would get, without the body.
    EXPECT_EQ(body.size(), c.body ? length : 0u) << r;
    if (c.status == "200 OK") {
      EXPECT_NE(r.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
      if (c.body) {
        EXPECT_EQ(body, "meridel_up 1\n");
      }
      EXPECT_EQ(length, 13u);
    }
    if (c.status.starts_with("405")) {
      EXPECT_NE(r.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
    }
  }
  EXPECT_EQ(calls, 3) << "the source is read for the 200s only";
  // No text yet (before the first snapshot).
  const std::string r =
      MetricsResponse(RequestHead("GET", "/metrics"), [] { return std::optional<std::string>(); });
  EXPECT_EQ(r.rfind("HTTP/1.1 503 ", 0), 0u) << r;
}

// An endpoint on 127.0.0.1, any free port, serving a text that counts the scrapes.
class MetricsEndpointTest : public ::testing::Test {
 protected:
  void Open(MetricsEndpointOptions options = {}) {
    endpoint_ = std::make_unique<MetricsEndpoint>(
        [this]() -> std::optional<std::string> { return "scrape " + std::to_string(++scrapes_) + "\n"; },
        options);
    ASSERT_FALSE(endpoint_->Open(boost::asio::ip::make_address("127.0.0.1"), 0));
    ASSERT_NE(endpoint_->port(), 0);
  }
  // Everything the endpoint sends back before it closes (2 s at most).
  testing::TcpTextReply Ask(std::string_view request, std::chrono::milliseconds timeout = 2000ms) {
    auto r = testing::TcpAskText(endpoint_->port(), request, timeout);
    EXPECT_TRUE(r.has_value()) << "no connection to the endpoint";
    return r.value_or(testing::TcpTextReply{});
  }

  std::atomic<int> scrapes_{0};
  std::unique_ptr<MetricsEndpoint> endpoint_;
};

TEST_F(MetricsEndpointTest, AnswersEachRequestAndCloses) {
  Open();
  const struct {
    std::string request;
    std::string status_line;
    std::string body;
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 200 OK", "scrape 1\n"},
      {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", ""},
      {"GET /metrics HTTP/1.0\n\n", "HTTP/1.1 200 OK", "scrape 3\n"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "Not found: try /metrics\n"},
      {"DELETE /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Method not allowed\n"},
      {"\x16\x03\x01\x02\x07\x01\xfc\x03\x03\n\n", "HTTP/1.1 400 Bad Request", "Bad request\n"},
  };
  for (const auto& c : cases) {
    const testing::TcpTextReply r = Ask(c.request);
    SCOPED_TRACE(c.request);
    EXPECT_TRUE(r.closed_by_server);
    EXPECT_EQ(r.data.substr(0, r.data.find("\r\n")), c.status_line) << r.data;
    const size_t end = r.data.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << r.data;
    EXPECT_EQ(r.data.substr(end + 4), c.body);
  }
  EXPECT_EQ(scrapes_, 3);
}

TEST_F(MetricsEndpointTest, ARequestInPiecesIsAnsweredOnceWhole) {
  Open();
  testing::UniqueFd fd = testing::TcpConnect(endpoint_->port());
  ASSERT_TRUE(fd.valid());
  for (std::string_view piece : {"GE", "T /met", "rics HTTP/1.1\r", "\nHost: a\r\n", "\r", "\n"}) {
    ASSERT_EQ(::send(fd.get(), piece.data(), piece.size(), MSG_NOSIGNAL), static_cast<ssize_t>(piece.size()));
    std::this_thread::sleep_for(20ms);
  }
  std::string got;
  char buf[512];
  while (testing::WaitReadable(fd.get(), 2000ms)) {
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
  EXPECT_TRUE(got.ends_with("\r\n\r\nscrape 1\n")) << got;
}

TEST_F(MetricsEndpointTest, AnOversizedHeadGets431OrACloseAndNoScrape) {
  Open();
  const std::string request = "GET /metrics HTTP/1.1\r\nCookie: " + std::string(20000, 'c') + "\r\n\r\n";
  const testing::TcpTextReply r = Ask(request);
  EXPECT_TRUE(r.closed_by_server);
  if (!r.data.empty()) {
    EXPECT_EQ(r.data.rfind("HTTP/1.1 431 ", 0), 0u) << r.data.substr(0, 80);
  }
  EXPECT_EQ(scrapes_, 0);
  // The endpoint still serves.
  EXPECT_EQ(Ask("GET /metrics HTTP/1.1\r\n\r\n").data.rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(MetricsEndpointTest, AClientThatSendsNothingIsClosedAtTheDeadline) {
  Open({.deadline = 300ms});
  // Nothing, then half a request: both are closed after the deadline, not before.
  for (std::string_view request : {std::string_view(), std::string_view("GET /metrics HTTP/1.1\r\n")}) {
    const auto start = WallClock::now();
    const testing::TcpTextReply r = Ask(request, 3000ms);
    const auto took = WallClock::now() - start;
    EXPECT_TRUE(r.closed_by_server) << "still open after 3 s";
    EXPECT_TRUE(r.data.empty()) << r.data;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2500ms);
  }
  EXPECT_EQ(scrapes_, 0);
}

TEST_F(MetricsEndpointTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
  Open({.deadline = 10000ms, .max_connections = 2});
  testing::UniqueFd a = testing::TcpConnect(endpoint_->port());
  testing::UniqueFd b = testing::TcpConnect(endpoint_->port());
  ASSERT_TRUE(a.valid() && b.valid());
  std::this_thread::sleep_for(100ms);  // both accepted
  // The third is closed unanswered (an end of stream, or a reset when the
  // request was already in when it was closed).
  const auto start = WallClock::now();
  testing::UniqueFd third = testing::TcpConnect(endpoint_->port());
  ASSERT_TRUE(third.valid());
  const std::string_view request = "GET /metrics HTTP/1.1\r\n\r\n";
  (void)::send(third.get(), request.data(), request.size(), MSG_NOSIGNAL);
  ASSERT_TRUE(testing::WaitReadable(third.get(), 3000ms)) << "the third connection is still open";
  char c;
  EXPECT_LE(::recv(third.get(), &c, 1, 0), 0) << "the third connection got an answer";
  EXPECT_LT(WallClock::now() - start, 2000ms) << "the third connection waited rather than being closed";
  EXPECT_EQ(scrapes_, 0);
  // Once a client leaves, a new connection is served again.
  a.Reset();
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    served = Ask("GET /metrics HTTP/1.1\r\n\r\n").data.rfind("HTTP/1.1 200 OK", 0) == 0;
    if (!served) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(served) << "no connection served after one of the two left";
}

TEST_F(MetricsEndpointTest, APortInUseIsReportedAndCloseEndsEverything) {
  Open();
  MetricsEndpoint second([] { return std::optional<std::string>("x"); });
  const std::error_code ec = second.Open(boost::asio::ip::make_address("127.0.0.1"), endpoint_->port());
  EXPECT_EQ(ec, std::errc::address_in_use) << ec.message();
  EXPECT_EQ(second.port(), 0);
  second.Close();

  // Close with a client still connected ends the connection, and the port is free again.
  testing::UniqueFd idle = testing::TcpConnect(endpoint_->port());
  ASSERT_TRUE(idle.valid());
  const uint16_t port = endpoint_->port();
  endpoint_->Close();
  endpoint_->Close();
  EXPECT_EQ(endpoint_->port(), 0);
  ASSERT_TRUE(testing::WaitReadable(idle.get(), 2000ms));
  char c;
  EXPECT_LE(::recv(idle.get(), &c, 1, 0), 0) << "the connection outlived Close()";
  EXPECT_FALSE(second.Open(boost::asio::ip::make_address("127.0.0.1"), port)) << "port not freed by Close()";
}

}  // namespace
}  // namespace mdl::service
