// The metrics endpoint: a small HTTP/1.1 server on a thread and io_context
// of its own. Each connection gets one response to one request, then
// closes. The body comes from a MetricsSource called on the endpoint's
// thread (the host reads the engine's latest snapshot there), so that no
// engine thread ever waits for a scrape.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>

#include "server/hosting/metrics_request.h"

namespace mdl::service {

struct MetricsEndpointOptions {
  // A connection gets this long from its accept to the end of its response
  // (a client that sends nothing, or too slowly, is closed).
  std::chrono::milliseconds deadline{5000};
  size_t max_connections = 16;  // connections beyond are closed at once
  size_t request_limit = kMetricsRequestLimit;
};

class MetricsEndpoint {
 public:
  explicit MetricsEndpoint(MetricsSource source, MetricsEndpointOptions options = {});
  ~MetricsEndpoint();  // Close()
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Listens on `address`:`port` (0: any free port) and starts the thread.
  // An error when the socket could not be opened, nothing running then.
  std::error_code Open(const boost::asio::ip::address& address, uint16_t port);
  // The bound port; 0 while closed.
  uint16_t port() const;
  // Closes the listener and every connection and ends the thread. Safe to call twice.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mdl::service
