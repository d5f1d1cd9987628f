// The NTS key establishment server: TLS 1.3 with "ntske/1" on a thread and
// io_context of its own. Each connection gets one response to one request
// (eight cookies sealed with the newest cookie key, or an Error record),
// then closes; all within a deadline, with a bounded number of connections.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/nts/cookie.h"

namespace mdl::service {

// What can change at a reload: the certificate and key (PEM files) and the
// host a Server record names (empty: none, the client stays with us).
struct NtsKeConfig {
  std::string certificate;
  std::string key;
  std::string ntp_server;
};

struct NtsKeHooks {
  // The cookie keys in force (null while there are none: clients then get an internal error).
  std::function<std::shared_ptr<const nts::CookieKeySet>()> cookie_keys;
  // Whether a client may connect (null: everyone).
  std::function<bool(const boost::asio::ip::address&)> admit;
  // Our NTP port; a Port record is sent when it is neither 0 (unknown) nor 123.
  std::function<uint16_t()> ntp_port;
  // For tests: the keys of each exchange, as the server exported them.
  std::function<void(const nts::SessionKeys&)> on_keys;
};

struct NtsKeServerOptions {
  // From the accept to the end of the response (a client that sends nothing,
  // or too slowly, is cut off).
  std::chrono::milliseconds deadline{5000};
  size_t max_connections = 64;  // connections beyond are closed at once
};

class NtsKeServer {
 public:
  explicit NtsKeServer(NtsKeHooks hooks, NtsKeServerOptions options = {});
  ~NtsKeServer();  // Close()
  NtsKeServer(const NtsKeServer&) = delete;
  NtsKeServer& operator=(const NtsKeServer&) = delete;

  // Loads the certificate and key, listens on `address`:`port` (0: any free
  // port; the IPv6 any-address takes IPv4 too) and starts the thread. False,
  // with the reason in *why, when either fails; nothing runs then.
  bool Open(const NtsKeConfig& config, const boost::asio::ip::address& address, uint16_t port,
            std::string* why);
  // Loads the certificate and key again for the connections to come; on a
  // failure (reason in *why) the ones in force stay. From any thread.
  bool Reload(const NtsKeConfig& config, std::string* why);
  // The bound port; 0 while closed.
  uint16_t port() const;
  // Closes the listener and every connection and ends the thread. Safe to call twice.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mdl::service
