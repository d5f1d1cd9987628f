// One key establishment exchange as a client: TLS to the server, our
// request, its response, the keys exported from the session. Bounded in
// time (one deadline for the whole exchange) and size (a response of at
// most kKeMessageLimit bytes).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/nts/cookie.h"

namespace boost::asio {
class io_context;
}

namespace mdl::nts {

struct KeOutcome {
  bool ok = false;
  // Why not, in words: "TLS handshake: certificate verify failed (...)",
  // "server sent error 1 (bad request)", "timed out after 5000 ms while connecting".
  std::string error;
  SessionKeys keys;
  std::vector<std::vector<uint8_t>> cookies;
  std::string ntp_server;  // from the response, else the key establishment host
  uint16_t ntp_port = 123;
};

struct KeTrust {
  std::string ca_file;       // PEM certificates trusted besides the system's (empty: none)
  bool system_store = true;  // the system's trusted certificates count
};

// Runs the exchange on `io`; `done` is called once, on `io`'s thread.
void AsyncKeExchange(boost::asio::io_context& io, std::string host, uint16_t port, KeTrust trust,
                     std::chrono::milliseconds timeout, std::function<void(KeOutcome)> done);

}  // namespace mdl::nts
