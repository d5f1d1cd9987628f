// The client's status texts of hand-built snapshots.
#include "client/client_status.h"

#include <gtest/gtest.h>

namespace mdl {
namespace {

TEST(ClientStatusTest, AfterAGoodExchange) {
  ClientSnapshot s;
  s.loaded = true;
  s.settings.host = "[2001:db8::5]:4000";
  s.settings.number = "2";
  s.settings.unit = "Hour/s";
  s.interval_seconds = 7200;
  s.last_outcome = ExchangeResult::Outcome::kSynchronised;
  s.clock_set_to = UtcFromNs(1'796'906'096'250'000'000);
  s.report = "line one\r\nline two\r\n";
  const std::string t = ClientStatusText(s);
  EXPECT_NE(t.find("Server          : [2001:db8::5]:4000 (port 4000)\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Interval        : 7200 s (2 Hour/s)\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Exchange running: no\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Last exchange   : synchronised\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Clock set to    : 2026-12-10T12:34:56Z\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Last error      : -\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Last report:\n  line one\n  line two\n"), std::string::npos) << t;
  EXPECT_EQ(t.find('\r'), std::string::npos);

  const std::string j = ClientStatusJson(s);
  EXPECT_EQ(
      j, R"({"server":"[2001:db8::5]:4000","server_host":"2001:db8::5","server_port":4000,"interval_s":7200,)"
         R"("loaded":true,"busy":false,"last_outcome":"synchronised","last_synchronised":true,)"
         R"("clock_set_to":"2026-12-10T12:34:56Z","clock_set_to_unix":1796906096,"last_error":null,)"
         R"("report":"line one\r\nline two\r\n"})"
         "\n");
}

TEST(ClientStatusTest, BeforeAnyExchangeAndAfterAFailure) {
  ClientSnapshot s;
  const std::string fresh = ClientStatusText(s);
  EXPECT_NE(fresh.find("Loaded          : no (starting)\n"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find("Last exchange   : none yet\n"), std::string::npos) << fresh;
  EXPECT_NE(ClientStatusJson(s).find(R"("last_outcome":null,"last_synchronised":null,"clock_set_to":null,)"),
            std::string::npos);

  s.loaded = true;
  s.busy = true;
  s.settings.host = "host:";  // a port that is not one
  s.last_outcome = ExchangeResult::Outcome::kConnectFailed;
  s.last_error = "connection refused by \"a\"";
  const std::string t = ClientStatusText(s);
  EXPECT_NE(t.find("Server          : host: (not a valid host)\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Exchange running: yes\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Last exchange   : connect failed\n"), std::string::npos) << t;
  EXPECT_NE(t.find("Last error      : connection refused by \"a\"\n"), std::string::npos) << t;
  const std::string j = ClientStatusJson(s);
  EXPECT_NE(j.find(R"("server":"host:","server_host":null,"server_port":null,)"), std::string::npos) << j;
  EXPECT_NE(j.find(R"("last_outcome":"connect failed","last_synchronised":false,)"), std::string::npos) << j;
  EXPECT_NE(j.find(R"("last_error":"connection refused by \"a\"")"), std::string::npos) << j;
}

}  // namespace
}  // namespace mdl
