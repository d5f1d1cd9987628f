// The client's protocol engine: one exchange with the server over TCP on a
// single io_context thread, the clock set, and the status it publishes.
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
#include "client/client_settings.h"
#include "common/clock/clock.h"

namespace mdl {

// What the engine publishes after every exchange.
struct ClientStatus {
  std::string report;                   // the report box (`t3777`); kept on failure
  std::string tray_tip;                 // kept on failure
  bool succeeded = false;               // the last exchange set the clock
  std::string error;                    // why the last exchange failed; empty on success
  std::optional<UtcTime> clock_set_to;  // the instant the clock was set to
};

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
  using StatusHandler = std::function<void(const ClientStatus&)>;
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // `schedule` gets the retry countdown after a failed exchange.
  ClientEngine(boost::asio::io_context& io, Clock& clock, ClientSchedule& schedule, StatusHandler on_status);
  ~ClientEngine();
  ClientEngine(const ClientEngine&) = delete;
  ClientEngine& operator=(const ClientEngine&) = delete;

  void set_host(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  // An exchange that has not finished within this time fails.
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  const ClientStatus& status() const { return status_; }
  bool busy() const { return exchange_ != nullptr; }

  // Starts one exchange; one still running is closed first.
  void SyncNow_Click();
  // Closes a running exchange without a status event.
  void Close();

 private:
  struct Exchange;
  void o3777_Connect(const std::shared_ptr<Exchange>& ex);
  void ReadReply(const std::shared_ptr<Exchange>& ex);
  void o3777_DataArrival(const std::shared_ptr<Exchange>& ex);
  void o3777Err(const std::shared_ptr<Exchange>& ex, std::string why);
  void Finish(const std::shared_ptr<Exchange>& ex);
  void Publish();

  boost::asio::io_context& io_;
  Clock& clock_;
  ClientSchedule& schedule_;
  StatusHandler on_status_;
  std::string host_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  std::shared_ptr<Exchange> exchange_;
  ClientStatus status_;
};

}  // namespace mdl
