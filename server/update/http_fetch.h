// One HTTP(S) GET on the engine's io_context: name look-up, connect, TLS
// (net::ClientStream: verified against the system's CA store and `extra_ca_file`),
// the request, and the response through ResponseReader; the whole exchange ends within
// `timeout` on the engine's clock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "common/clock/clock.h"
#include "server/update/update_core.h"

namespace boost::asio {
class io_context;
}

namespace mdl {

struct FetchResult {
  bool ok = false;
  std::string body;   // when ok
  std::string error;  // otherwise
  bool too_large = false;
};

struct FetchRequest {
  UpdateHost host;
  std::string path;
  std::string version;
  size_t body_limit = kMaxVersionBody;
  std::chrono::nanoseconds timeout = std::chrono::seconds(30);
  std::string extra_ca_file;  // PEM CAs trusted besides the system's store; empty: none
};

class HttpFetch {
 public:
  // `done` runs once on the io_context's thread, unless Cancel() came first.
  static std::shared_ptr<HttpFetch> Start(boost::asio::io_context& io, Clock& clock, FetchRequest request,
                                          std::function<void(FetchResult)> done);
  virtual ~HttpFetch() = default;
  virtual void Cancel() = 0;
};

}  // namespace mdl
