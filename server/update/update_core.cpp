// The update check's pure parts.
#include "server/update/update_core.h"

#include <utility>

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <charconv>

#include "server/upstream/server_list.h"

namespace mdl {
namespace http = boost::beast::http;

namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsHostName(std::string_view h) {
  if (h.empty() || h.size() > 253) return false;
  for (char c : h)
    if (!IsAlnum(c) && c != '.' && c != '-' && c != '_') return false;
  return true;
}

bool IsV6Literal(std::string_view h) {
  if (h.size() < 2 || h.size() > 45) return false;
  for (char c : h)
    if (!IsDigit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != ':' && c != '.')
      return false;
  return h.find(':') != std::string_view::npos;
}

// Digits and the letters after them; `number` without leading zeros.
struct Component {
  std::string_view number;
  std::string_view suffix;
};

Component SplitComponent(std::string_view c) {
  size_t digits = 0;
  while (digits < c.size() && IsDigit(c[digits])) ++digits;
  std::string_view number = c.substr(0, digits);
  while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
  if (number.empty()) number = "0";
  return {number, c.substr(digits)};
}

int CompareComponent(Component a, Component b) {
  if (a.number.size() != b.number.size()) return a.number.size() < b.number.size() ? -1 : 1;
  if (int c = a.number.compare(b.number); c != 0) return c < 0 ? -1 : 1;
  if (int c = a.suffix.compare(b.suffix); c != 0) return c < 0 ? -1 : 1;
  return 0;
}

// The next dot-separated component, consumed from `v`; "0" when none is left.
std::string_view NextComponent(std::string_view& v) {
  if (v.empty()) return "0";
  const size_t dot = v.find('.');
  std::string_view c = v.substr(0, dot);
  v = dot == std::string_view::npos ? std::string_view() : v.substr(dot + 1);
  return c;
}

}  // namespace

std::string NewVersionText(std::string_view newest) {
  return "Would you like to update your MDL Server Edition?\r\nThe latest version is: " + std::string(newest);
}

std::optional<UpdateHost> ParseUpdateHost(std::string_view text, std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<UpdateHost> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  std::string_view rest = Trim(text);
  UpdateHost out;
  if (rest.substr(0, 8) == "https://") {
    out.tls = true;
    out.port = 443;
    rest.remove_prefix(8);
  } else if (rest.substr(0, 7) == "http://") {
    rest.remove_prefix(7);
  } else if (rest.find("://") != std::string_view::npos) {
    return fail("only http:// and https:// are understood");
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('/') != std::string_view::npos) return fail("a host and port only, without a path");
  std::string_view host = rest, port_text;
  bool v6 = false;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return fail("the IPv6 address lacks its ']'");
    host = rest.substr(1, close - 1);
    std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return fail("only \":port\" may follow the ']'");
      port_text = after.substr(1);
      if (port_text.empty()) return fail("the port is missing after ':'");
    }
    v6 = true;
  } else if (const size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    if (port_text.empty()) return fail("the port is missing after ':'");
  }
  if (v6 ? !IsV6Literal(host) : !IsHostName(host))
    return fail("\"" + std::string(host) + "\" is not a host name");
  const uint16_t default_port = out.port;
  if (!port_text.empty()) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || value < 1 || value > 65535)
      return fail("\"" + std::string(port_text) + "\" is not a port from 1 to 65535");
    out.port = static_cast<uint16_t>(value);
  }
  out.host = std::string(host);
  out.host_header = v6 ? "[" + out.host + "]" : out.host;
  if (out.port != default_port) out.host_header += ":" + std::to_string(out.port);
  return out;
}

std::string BuildUpdateRequest(std::string_view path, std::string_view host_header,
                               std::string_view version) {
  std::string r;
  r.reserve(160);
  r.append("GET ").append(path).append(" HTTP/1.1\r\n");
  r.append("Accept: */*\r\n");
  r.append("Host: ").append(host_header).append("\r\n");
  r.append("Referer: Meridel S v").append(version).append("\r\n");
  r.append("User-Agent: Meridel v").append(version).append("\r\n");
  r.append("\r\n");
  return r;
}

struct ResponseReader::Parser {
  http::response_parser<http::string_body> p;
};

ResponseReader::ResponseReader(size_t body_limit)
    : parser_(std::make_unique<Parser>()), body_limit_(body_limit) {
  parser_->p.body_limit(body_limit);
  parser_->p.header_limit(16 * 1024);
}

ResponseReader::~ResponseReader() = default;

const std::string& ResponseReader::body() const { return parser_->p.get().body(); }

ResponseReader::State ResponseReader::Fail(std::string why) {
  state_ = State::kFailed;
  error_ = std::move(why);
  pending_.clear();
  return state_;
}

ResponseReader::State ResponseReader::Check() {
  auto& p = parser_->p;
  if (p.is_header_done() && p.get().result_int() != 200) {
    const auto& m = p.get();
    return Fail("the host answered " + std::to_string(m.result_int()) +
                (m.reason().empty() ? std::string() : " " + std::string(m.reason().substr(0, 80))));
  }
  if (p.is_done()) state_ = State::kDone;
  return state_;
}

ResponseReader::State ResponseReader::Feed(std::string_view bytes) {
  if (state_ != State::kReading) return state_;
  pending_.append(bytes);
  auto& p = parser_->p;
  while (!pending_.empty() && !p.is_done()) {
    boost::system::error_code ec;
    const size_t used = p.put(boost::asio::buffer(pending_.data(), pending_.size()), ec);
    pending_.erase(0, used);
    if (ec == http::error::need_more) break;
    if (ec == http::error::body_limit) {
      too_large_ = true;
      return Fail("the answer's body is larger than " + std::to_string(body_limit_) + " bytes");
    }
    if (ec) return Fail("the answer is not valid HTTP (" + ec.message() + ")");
    if (Check() != State::kReading) return state_;
    if (used == 0) break;
  }
  // The parser holds a whole header before it takes any of it; its limit bounds what waits here.
  if (pending_.size() > 64 * 1024) return Fail("the answer's header is too large");
  return Check();
}

ResponseReader::State ResponseReader::End() {
  if (state_ != State::kReading) return state_;
  auto& p = parser_->p;
  if (!p.got_some()) return Fail("the host closed the connection without an answer");
  boost::system::error_code ec;
  p.put_eof(ec);
  if (ec) return Fail("the host closed the connection before the answer was complete");
  Check();
  if (state_ == State::kReading) return Fail("the host closed the connection before the answer was complete");
  return state_;
}

std::optional<VersionFile> ParseVersionFile(std::string_view body) {
  std::string text;
  text.reserve(body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
      ++i;
      continue;
    }
    text.push_back(body[i]);
  }
  std::vector<std::string_view> fields;
  std::string_view rest = text;
  for (;;) {
    const size_t at = rest.find("-:-");
    fields.push_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + 3);
  }
  if (fields.size() < 6) return std::nullopt;
  return VersionFile{std::string(Trim(fields[1])), std::string(Trim(fields[4]))};
}

bool IsVersionText(std::string_view v) {
  if (v.empty() || v.size() > 40) return false;
  size_t start = 0;
  for (;;) {
    const size_t dot = v.find('.', start);
    std::string_view c =
        v.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (c.empty() || !IsDigit(c.front())) return false;
    for (char ch : c)
      if (!IsAlnum(ch)) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

std::optional<int> CompareVersions(std::string_view a, std::string_view b) {
  if (!IsVersionText(a) || !IsVersionText(b)) return std::nullopt;
  while (!a.empty() || !b.empty()) {
    const int c = CompareComponent(SplitComponent(NextComponent(a)), SplitComponent(NextComponent(b)));
    if (c != 0) return c;
  }
  return 0;
}

std::optional<uint64_t> ParseByteCount(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

SaveItDecision DecideSaveIt(const VersionFile& file, std::string_view running_version,
                            std::optional<uint64_t> local_list_size) {
  SaveItDecision d;
  const std::optional<int> order = CompareVersions(running_version, file.newest_version);
  if (!order) {
    d.note =
        "the version file's version \"" + file.newest_version.substr(0, 40) + "\" is not a version number";
  } else {
    d.offer_version = *order < 0;
  }
  if (!local_list_size) {
    d.list = ListAction::kFetchWithoutAsking;
    return d;
  }
  const std::optional<uint64_t> size = ParseByteCount(file.list_size_text);
  if (!size) {
    if (!d.note.empty()) d.note += "; ";
    d.note += "the version file's list size \"" + file.list_size_text.substr(0, 40) + "\" is not a number";
    return d;
  }
  if (*size != *local_list_size) d.list = ListAction::kOffer;
  return d;
}

std::optional<int> CheckListBody(std::string_view body) {
  if (body.size() > kMaxListBody) return std::nullopt;
  const int n = ServerList::Parse(body).ServerCount();
  if (n < 1) return std::nullopt;
  return n;
}

}  // namespace mdl
