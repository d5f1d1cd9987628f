// The metrics endpoint's HTTP side without sockets: the request head read
// from a bounded buffer, and the whole response to it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mdl::service {

inline constexpr size_t kMetricsRequestLimit = 8192;  // request line and headers

struct HttpRequestHead {
  enum class State {
    kIncomplete,  // no blank line yet: read more
    kComplete,
    kTooLarge,  // no end of the head within the limit
    kBad,       // not an HTTP/1.x request
  };
  State state = State::kIncomplete;
  std::string method;
  std::string target;
  size_t length = 0;  // bytes of the head with its blank line (kComplete)
};

// Reads the head at the start of `data` (lines end in CR LF or LF; blank
// lines before the request line are skipped).
HttpRequestHead ParseHttpRequestHead(std::string_view data, size_t limit = kMetricsRequestLimit);

// The body of the metrics; nullopt while there is none yet (no snapshot).
using MetricsSource = std::function<std::optional<std::string>()>;

// The response to a head that is complete, too large or bad, always with
// "Connection: close": GET or HEAD of /metrics 200 with the source's text
// (503 while it has none), another path 404, another method 405, too large
// 431, bad 400. `source` is only called for a 200.
std::string MetricsResponse(const HttpRequestHead& head, const MetricsSource& source);

}  // namespace mdl::service
