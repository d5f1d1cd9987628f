// ParseHttpRequestHead and MetricsResponse.
#include "server/hosting/metrics_request.h"

namespace mdl::service {
namespace {

using State = HttpRequestHead::State;

// RFC 9110 token characters (method and header names).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsTokenChar(c)) return false;
  return true;
}

// "METHOD SP target SP HTTP/1.x"; the target is visible ASCII.
bool ReadRequestLine(std::string_view line, HttpRequestHead& out) {
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return false;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return false;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(method) || target.empty() || (version != "HTTP/1.1" && version != "HTTP/1.0")) return false;
  for (char c : target)
    if (c < 0x21 || c > 0x7e) return false;
  out.method = method;
  out.target = target;
  return true;
}

// "name: value" with a token name, no folding, no control characters but tab.
bool IsHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return false;
  for (char c : line.substr(colon + 1)) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
  }
  return true;
}

std::string Response(std::string_view status, std::string_view extra_headers, std::string_view content_type,
                     std::string_view body, bool with_body) {
  std::string out;
  out.reserve(160 + (with_body ? body.size() : 0));
  out.append("HTTP/1.1 ").append(status).append("\r\n");
  out.append("Content-Type: ").append(content_type).append("\r\n");
  out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out.append(extra_headers);
  out.append("Connection: close\r\n\r\n");
  if (with_body) out.append(body);
  return out;
}

constexpr std::string_view kPlain = "text/plain; charset=utf-8";

}  // namespace

HttpRequestHead ParseHttpRequestHead(std::string_view data, size_t limit) {
  HttpRequestHead out;
  size_t at = 0;
  while (at < data.size() && at < limit && (data[at] == '\r' || data[at] == '\n')) ++at;
  bool first = true;
  for (;;) {
    const size_t nl = data.find('\n', at);
    if (nl == std::string_view::npos || nl >= limit) {
      out.state = data.size() >= limit ? State::kTooLarge : State::kIncomplete;
      return out;
    }
    std::string_view line = data.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      if (!ReadRequestLine(line, out)) {
        out.state = State::kBad;
        return out;
      }
      first = false;
    } else if (line.empty()) {
      out.state = State::kComplete;
      out.length = nl + 1;
      return out;
    } else if (!IsHeaderLine(line)) {
      out.state = State::kBad;
      return out;
    }
    at = nl + 1;
  }
}

std::string MetricsResponse(const HttpRequestHead& head, const MetricsSource& source) {
  switch (head.state) {
    case State::kTooLarge:
      return Response("431 Request Header Fields Too Large", "", kPlain, "Request head too large\n", true);
    case State::kBad:
    case State::kIncomplete:
      return Response("400 Bad Request", "", kPlain, "Bad request\n", true);
    case State::kComplete:
      break;
  }
  const bool head_only = head.method == "HEAD";
  if (!head_only && head.method != "GET")
    return Response("405 Method Not Allowed", "Allow: GET, HEAD\r\n", kPlain, "Method not allowed\n", true);
  const std::string_view path = std::string_view(head.target).substr(0, head.target.find('?'));
  if (path != "/metrics")
    return Response("404 Not Found", "", kPlain, "Not found: try /metrics\n", !head_only);
  std::optional<std::string> body = source ? source() : std::nullopt;
  if (!body)
    return Response("503 Service Unavailable", "Retry-After: 1\r\n", kPlain, "Starting\n", !head_only);
  return Response("200 OK", "", "text/plain; version=0.0.4; charset=utf-8", *body, !head_only);
}

}  // namespace mdl::service
