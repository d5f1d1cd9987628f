// The client's protocol engine on Boost.Asio.
#include "client/client_engine.h"

#include <array>
#include <charconv>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace mdl {

namespace asio = boost::asio;
using asio::ip::tcp;
using Outcome = ExchangeResult::Outcome;

// One exchange: socket `o3777`, its name lookup, its deadline and buffers.
// Handlers keep it alive; `engine` is cleared when the exchange is closed, so
// a late handler of a closed exchange does nothing.
struct ClientEngine::Session {
  Session(asio::io_context& io, Clock& clock) : resolver(io), socket(io), deadline(clock.MakeTimer(io)) {}

  void CloseAll() {
    engine = nullptr;
    done = nullptr;
    boost::system::error_code ignored;
    resolver.cancel();
    deadline->Cancel();
    socket.close(ignored);
  }

  ClientEngine* engine = nullptr;
  Done done;
  tcp::resolver resolver;
  tcp::socket socket;
  std::unique_ptr<Timer> deadline;
  ClientRequest request;
  Nanoseconds round_trip_start{0};
  std::array<uint8_t, 64> chunk{};
  std::vector<uint8_t> reply;
};

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSynchronised:
      return "synchronised";
    case Outcome::kClockNotSet:
      return "clock not set";
    case Outcome::kBadHost:
      return "bad host";
    case Outcome::kResolveFailed:
      return "resolve failed";
    case Outcome::kConnectFailed:
      return "connect failed";
    case Outcome::kSendFailed:
      return "send failed";
    case Outcome::kTimedOut:
      return "timed out";
    case Outcome::kBadReply:
      return "bad reply";
    case Outcome::kRefused:
      return "refused";
  }
  return "unknown";
}

HostPort SplitHostPort(std::string_view text) {
  HostPort out;
  std::string_view port_text;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return out;
    out.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return out;
      port_text = rest.substr(1);
      if (port_text.empty()) return out;
    }
  } else if (const auto colon = text.find(':');
             colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    out.host = std::string(text.substr(0, colon));
    port_text = text.substr(colon + 1);
    if (port_text.empty()) return out;
  } else {
    out.host = std::string(text);
  }
  if (!port_text.empty()) {
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port == 0 || port > 65535) {
      return out;
    }
    out.port = static_cast<uint16_t>(port);
  }
  out.ok = !out.host.empty() && out.host.find_first_of(" \t") == std::string::npos;
  return out;
}

ClientEngine::ClientEngine(asio::io_context& io, Clock& clock) : io_(io), clock_(clock) {}

ClientEngine::~ClientEngine() { Close(); }

void ClientEngine::Close() {
  if (session_) session_->CloseAll();
  session_.reset();
}

void ClientEngine::Exchange(const std::string& host, Done done) {
  Close();
  auto s = std::make_shared<Session>(io_, clock_);
  s->engine = this;
  s->done = std::move(done);
  session_ = s;
  s->request = BuildClientRequest(clock_.now());

  const HostPort target = SplitHostPort(host);
  if (!target.ok) {
    // Reported after this call returns, as a failed connect would be.
    asio::post(io_, [s, host] {
      if (s->engine) s->engine->Fail(s, Outcome::kBadHost, "bad server address \"" + host + "\"");
    });
    return;
  }
  const std::weak_ptr<Session> weak = s;
  s->deadline->Start(timeout_, [weak] {
    if (auto s = weak.lock(); s && s->engine) {
      s->engine->Fail(s, Outcome::kTimedOut, "no reply from the server in time");
    }
  });
  s->resolver.async_resolve(
      target.host, std::to_string(target.port),
      [s](const boost::system::error_code& ec, const tcp::resolver::results_type& results) {
        if (!s->engine) return;
        if (ec)
          return s->engine->Fail(s, Outcome::kResolveFailed, "cannot resolve the server: " + ec.message());
        asio::async_connect(
            s->socket, results, [s](const boost::system::error_code& ec2, const tcp::endpoint&) {
              if (!s->engine) return;
              if (ec2) return s->engine->Fail(s, Outcome::kConnectFailed, "cannot connect: " + ec2.message());
              s->engine->Connected(s);
            });
      });
}

void ClientEngine::Connected(const std::shared_ptr<Session>& s) {
  s->round_trip_start = clock_.monotonic();
  asio::async_write(s->socket, asio::buffer(s->request.bytes),
                    [s](const boost::system::error_code& ec, std::size_t) {
                      if (!s->engine) return;
                      if (ec) return s->engine->Fail(s, Outcome::kSendFailed, "cannot send: " + ec.message());
                    });
  ReadReply(s);
}

// Collects the reply across segments; more than 24 bytes, or the connection
// closing before 24 have come, is a reply of the wrong length.
void ClientEngine::ReadReply(const std::shared_ptr<Session>& s) {
  s->socket.async_read_some(asio::buffer(s->chunk), [s](const boost::system::error_code& ec, std::size_t n) {
    if (!s->engine) return;
    s->reply.insert(s->reply.end(), s->chunk.begin(), s->chunk.begin() + n);
    if (s->reply.size() > kMdlMessageSize) {
      return s->engine->Fail(
          s, Outcome::kBadReply,
          "reply of wrong length (more than " + std::to_string(kMdlMessageSize) + " bytes)");
    }
    if (s->reply.size() == kMdlMessageSize) return s->engine->ReplyArrived(s);
    if (ec) {
      return s->engine->Fail(
          s, Outcome::kBadReply,
          "reply of wrong length (" + std::to_string(s->reply.size()) + " bytes): " + ec.message());
    }
    s->engine->ReadReply(s);
  });
}

void ClientEngine::ReplyArrived(const std::shared_ptr<Session>& s) {
  ExchangeResult r;
  r.arrival = clock_.monotonic();
  r.rtt_ms = std::chrono::round<std::chrono::milliseconds>(r.arrival - s->round_trip_start).count();
  const auto reply = ProcessReply(s->reply, r.rtt_ms, s->request.send_millis, clock_.zone());
  if (!reply) return Fail(s, Outcome::kBadReply, "reply of wrong length");
  const UtcTime local_now = clock_.now();
  if (const ReplyVerdict v =
          CheckReply(s->reply, s->request.bytes, r.rtt_ms, reply->new_clock, local_now, limits_);
      v != ReplyVerdict::kAccept) {
    r.outcome = Outcome::kRefused;
    r.error = RefusalLine(v, r.rtt_ms, reply->new_clock, local_now, limits_);
    // A refused reply shows who answered (when it is one of ours) and why it
    // was refused, never a drift, date or adjustment that was not applied.
    const bool readable = v == ReplyVerdict::kRoundTripTooLong || v == ReplyVerdict::kImplausibleTime;
    r.report = readable ? reply->report.substr(0, reply->report.find("\r\n")) + "\r\n" + r.error : r.error;
    return Finish(s, std::move(r));
  }
  r.time_to_set = reply->new_clock;
  r.report = reply->report;
  // The new time holds for the arrival; the set comes a little later.
  const UtcTime set_to = reply->new_clock + (clock_.monotonic() - r.arrival);
  if (const std::error_code set_error = clock_.set(set_to)) {
    r.outcome = Outcome::kClockNotSet;
    r.error = "Clock not set: " + set_error.message();
    r.report += "\r\n" + r.error;
  } else {
    r.outcome = Outcome::kSynchronised;
    r.tray_tip = reply->tray_tip;
    r.clock_set_to = set_to;
  }
  Finish(s, std::move(r));
}

void ClientEngine::Fail(const std::shared_ptr<Session>& s, Outcome outcome, std::string why) {
  ExchangeResult r;
  r.outcome = outcome;
  r.error = std::move(why);
  Finish(s, std::move(r));
}

// The session is closed before `done` runs, so `done` may start a new one.
void ClientEngine::Finish(const std::shared_ptr<Session>& s, ExchangeResult result) {
  Done done = std::move(s->done);
  s->CloseAll();
  if (session_ == s) session_.reset();
  if (done) done(std::move(result));
}

}  // namespace mdl
