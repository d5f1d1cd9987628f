// The client's protocol engine: one exchange with the server over TCP on a
// single io_context thread, measured on the clock's monotonic scale; a good
// reply sets the clock. Retry policy and displays belong to the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>

#include "client/client_core.h"
#include "common/clock/clock.h"

namespace mdl {

// What one exchange came to.
struct ExchangeResult {
  enum class Outcome : uint8_t {
    kSynchronised,   // a 24-byte reply came and the clock was set
    kClockNotSet,    // a 24-byte reply came but the clock refused the new time
    kBadHost,        // the host setting is not "host", "host:port" or "[v6]:port"
    kResolveFailed,  // the name lookup failed
    kConnectFailed,  // no connection (refused, unreachable)
    kSendFailed,     // the request could not be written
    kTimedOut,       // no complete reply within the time-out
    kBadReply,       // a reply of the wrong length
    kRefused,        // a 24-byte reply that fails CheckReply; the clock is left alone
  };

  Outcome outcome = Outcome::kTimedOut;
  std::string report;    // the report lines; empty when no usable reply came
  std::string tray_tip;  // kSynchronised only
  std::string error;     // why it failed; empty on kSynchronised
  int64_t rtt_ms = 0;    // connect to the reply's last byte
  // The time the reply gives for the instant `arrival` (monotonic) when it
  // came: server time plus half the round trip.
  std::optional<UtcTime> time_to_set;
  Nanoseconds arrival{0};
  // kSynchronised: what the clock was set to (time_to_set plus the monotonic
  // time from the arrival to the set).
  std::optional<UtcTime> clock_set_to;

  bool synchronised() const { return outcome == Outcome::kSynchronised; }
};

std::string_view OutcomeName(ExchangeResult::Outcome outcome);

struct HostPort {
  std::string host;
  uint16_t port = kMdlPort;
  bool ok = false;
};

// The host setting: "host", "host:port", "[v6]" or "[v6]:port"; a bare IPv6
// address (more than one ':') is a host. The port defaults to 3777.
HostPort SplitHostPort(std::string_view text);

class ClientEngine {
 public:
  using Done = std::function<void(ExchangeResult)>;
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  ClientEngine(boost::asio::io_context& io, Clock& clock);
  ~ClientEngine();
  ClientEngine(const ClientEngine&) = delete;
  ClientEngine& operator=(const ClientEngine&) = delete;

  // An exchange that has not finished within this time (from its start) fails.
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  std::chrono::milliseconds timeout() const { return timeout_; }
  // What a reply must meet before it sets the clock.
  void set_limits(const ReplyLimits& limits) { limits_ = limits; }
  const ReplyLimits& limits() const { return limits_; }
  bool busy() const { return session_ != nullptr; }

  // Starts one exchange with `host` (see SplitHostPort); one still running is
  // closed first and never calls its `done`. `done` runs once, as a handler
  // of the io_context (never inside this call), and may start another.
  void Exchange(const std::string& host, Done done);
  // Closes a running exchange; its `done` is not called.
  void Close();

 private:
  struct Session;
  void Connected(const std::shared_ptr<Session>& s);
  void ReadReply(const std::shared_ptr<Session>& s);
  void ReplyArrived(const std::shared_ptr<Session>& s);
  void Fail(const std::shared_ptr<Session>& s, ExchangeResult::Outcome outcome, std::string why);
  void Finish(const std::shared_ptr<Session>& s, ExchangeResult result);

  boost::asio::io_context& io_;
  Clock& clock_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  ReplyLimits limits_;
  std::shared_ptr<Session> session_;
};

}  // namespace mdl
