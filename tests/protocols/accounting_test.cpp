// Request counters and the status texts built from them.
#include "server/serving/accounting.h"

#include <gtest/gtest.h>

namespace mdl {
namespace {

TEST(ServerStatusText, CountsPerServiceAndTransport) {
  RequestCounters counters;
  counters.Add(Service::kTime, Transport::kTcp);
  counters.Add(Service::kNtp, Transport::kUdp);
  counters.Add(Service::kNtp, Transport::kUdp);
  EXPECT_EQ(ServerStatusText(counters, "2026-12-07 10:00:00", "2026-12-07 09:59:00"),
            "Server Status: 2026-12-07 10:00:00\r"
            "# 3 | /T 1 | /D 0 | /S 2 | /U 0 | /MDL 0\r"
            "# UDP: 2 --- # TCP: 1\r"
            "Last Atomic Update: 2026-12-07 09:59:00");
}

TEST(ServerStatusText, EveryServiceLandsInItsOwnColumn) {
  RequestCounters counters;
  // Distinct counts per service so that a swapped column shows.
  const Service services[] = {Service::kTime, Service::kDaytime, Service::kNtp, Service::kUnixTime,
                              Service::kPrivate};
  for (int i = 0; i < 5; ++i) {
    for (int n = 0; n <= i; ++n) counters.Add(services[i], Transport::kTcp);
    for (int n = 0; n < 10 * (i + 1); ++n) counters.Add(services[i], Transport::kUdp);
  }
  EXPECT_EQ(ServerStatusText(counters, "now", "then"),
            "Server Status: now\r"
            "# 165 | /T 11 | /D 22 | /S 33 | /U 44 | /MDL 55\r"
            "# UDP: 150 --- # TCP: 15\r"
            "Last Atomic Update: then");
}

TEST(RequestCounters, SubTakesBackButNeverGoesBelowZero) {
  RequestCounters counters;
  counters.Sub(Service::kNtp, Transport::kUdp);
  EXPECT_EQ(counters.Get(Service::kNtp, Transport::kUdp), 0u) << "wrapped below zero";
  counters.Add(Service::kNtp, Transport::kUdp);
  counters.Add(Service::kNtp, Transport::kUdp);
  counters.Sub(Service::kNtp, Transport::kUdp);
  EXPECT_EQ(counters.Get(Service::kNtp, Transport::kUdp), 1u);
  EXPECT_EQ(counters.Get(Service::kNtp, Transport::kTcp), 0u) << "Sub touched the wrong transport";
}

TEST(SelectedTexts, ShowFlagsAndCountsOfTheSelectedService) {
  EXPECT_EQ(SelectedStatusText(true, true, false, 12, 0),
            "Server is: Enabled\r\nTCP: ON - UDP: OFF\r\nIN: 12/t - 0/u");
  EXPECT_EQ(SelectedStatusText(false, false, true, 0, 7),
            "Server is: Disabled\r\nTCP: OFF - UDP: ON\r\nIN: 0/t - 7/u");
  EXPECT_EQ(SelectedSummaryText(true, true, true, 3, 4),
            "Server is: Enabled\r\nTCP: ON - UDP: ON\r\nRequests: 3/t - 4/u");
}

}  // namespace
}  // namespace mdl
