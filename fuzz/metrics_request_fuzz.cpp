// Fuzz target: any bytes as the metrics endpoint's request, read at a limit
// taken from the first byte. A complete head must lie within the data and
// the limit and read the same when cut at its end; every response must be
// a whole HTTP/1.1 response whose Content-Length is its body's (or, for
// HEAD, a GET's); nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/hosting/metrics_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using mdl::service::HttpRequestHead;
  if (size == 0) return 0;
  const size_t limit = data[0] < 128 ? mdl::service::kMetricsRequestLimit : data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const HttpRequestHead head = mdl::service::ParseHttpRequestHead(text, limit);
  if (head.state == HttpRequestHead::State::kComplete) {
    if (head.length == 0 || head.length > text.size() || head.length > limit) std::abort();
    if (head.method.empty() || head.target.empty()) std::abort();
    const HttpRequestHead cut = mdl::service::ParseHttpRequestHead(text.substr(0, head.length), limit);
    if (cut.state != head.state || cut.length != head.length || cut.method != head.method ||
        cut.target != head.target)
      std::abort();
  } else if (head.state == HttpRequestHead::State::kIncomplete && text.size() >= limit) {
    std::abort();  // the buffer can hold no more: it must be too large or bad
  }
  if (head.state == HttpRequestHead::State::kIncomplete) return 0;

  const std::string body = "meridel_build_info{version=\"1\"} 1\n";
  const std::string r = mdl::service::MetricsResponse(head, [&] { return std::optional<std::string>(body); });
  if (r.rfind("HTTP/1.1 ", 0) != 0) std::abort();
  const size_t end = r.find("\r\n\r\n");
  const size_t length_at = r.find("\r\nContent-Length: ");
  if (end == std::string::npos || length_at == std::string::npos || length_at > end) std::abort();
  const size_t length = std::strtoul(r.c_str() + length_at + 18, nullptr, 10);
  const size_t sent = r.size() - end - 4;
  if (sent != length && !(head.method == "HEAD" && sent == 0)) std::abort();
  return 0;
}
