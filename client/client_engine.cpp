// The client's protocol engine on Boost.Asio.
#include "client/client_engine.h"

#include <array>
#include <charconv>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace mdl {

namespace asio = boost::asio;
using asio::ip::tcp;

// One exchange: socket `o3777`, its name lookup, its deadline and buffers.
// Handlers keep it alive; `engine` is cleared when the exchange is closed, so
// a late handler of a closed exchange does nothing.
struct ClientEngine::Exchange {
  explicit Exchange(asio::io_context& io) : resolver(io), socket(io), deadline(io) {}

  void CloseAll() {
    engine = nullptr;
    boost::system::error_code ignored;
    resolver.cancel();
    deadline.cancel();
    socket.close(ignored);
  }

  ClientEngine* engine = nullptr;
  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer deadline;
  ClientRequest request;
  std::chrono::steady_clock::time_point round_trip_start;
  std::array<uint8_t, 64> chunk{};
  std::vector<uint8_t> reply;
};

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

ClientEngine::ClientEngine(asio::io_context& io, Clock& clock, ClientSchedule& schedule,
                           StatusHandler on_status)
    : io_(io), clock_(clock), schedule_(schedule), on_status_(std::move(on_status)) {}

ClientEngine::~ClientEngine() { Close(); }

void ClientEngine::Close() {
  if (exchange_) exchange_->CloseAll();
  exchange_.reset();
}

void ClientEngine::SyncNow_Click() {
  Close();
  auto ex = std::make_shared<Exchange>(io_);
  ex->engine = this;
  exchange_ = ex;
  ex->request = BuildClientRequest(clock_.now());

  const HostPort target = SplitHostPort(host_);
  if (!target.ok) {
    // Reported after this call returns, as a failed connect would be.
    asio::post(io_, [ex, host = host_] {
      if (ex->engine) ex->engine->o3777Err(ex, "bad server address \"" + host + "\"");
    });
    return;
  }
  ex->deadline.expires_after(timeout_);
  ex->deadline.async_wait([ex](const boost::system::error_code& ec) {
    if (!ec && ex->engine) ex->engine->o3777Err(ex, "no reply from the server in time");
  });
  ex->resolver.async_resolve(
      target.host, std::to_string(target.port),
      [ex](const boost::system::error_code& ec, const tcp::resolver::results_type& results) {
        if (!ex->engine) return;
        if (ec) return ex->engine->o3777Err(ex, "cannot resolve the server: " + ec.message());
        asio::async_connect(ex->socket, results,
                            [ex](const boost::system::error_code& ec2, const tcp::endpoint&) {
                              if (!ex->engine) return;
                              if (ec2) {
                                return ex->engine->o3777Err(ex, "cannot connect: " + ec2.message());
                              }
                              ex->engine->o3777_Connect(ex);
                            });
      });
}

void ClientEngine::o3777_Connect(const std::shared_ptr<Exchange>& ex) {
  ex->round_trip_start = std::chrono::steady_clock::now();
  asio::async_write(ex->socket, asio::buffer(ex->request.bytes),
                    [ex](const boost::system::error_code& ec, std::size_t) {
                      if (!ex->engine) return;
                      if (ec) return ex->engine->o3777Err(ex, "cannot send: " + ec.message());
                    });
  ReadReply(ex);
}

// Collects the reply across segments; more than 24 bytes, or the connection
// closing before 24 have come, is a reply of the wrong length.
void ClientEngine::ReadReply(const std::shared_ptr<Exchange>& ex) {
  ex->socket.async_read_some(
      asio::buffer(ex->chunk), [ex](const boost::system::error_code& ec, std::size_t n) {
        if (!ex->engine) return;
        ex->reply.insert(ex->reply.end(), ex->chunk.begin(), ex->chunk.begin() + n);
        if (ex->reply.size() > kMdlMessageSize) {
          return ex->engine->o3777Err(
              ex, "reply of wrong length (more than " + std::to_string(kMdlMessageSize) + " bytes)");
        }
        if (ex->reply.size() == kMdlMessageSize) return ex->engine->o3777_DataArrival(ex);
        if (ec) {
          return ex->engine->o3777Err(
              ex, "reply of wrong length (" + std::to_string(ex->reply.size()) + " bytes): " + ec.message());
        }
        ex->engine->ReadReply(ex);
      });
}

void ClientEngine::o3777_DataArrival(const std::shared_ptr<Exchange>& ex) {
  const auto elapsed = std::chrono::steady_clock::now() - ex->round_trip_start;
  const int64_t rtt_ms = std::chrono::round<std::chrono::milliseconds>(elapsed).count();
  const auto result = ProcessReply(ex->reply, rtt_ms, ex->request.send_millis, clock_.zone());
  if (!result) return o3777Err(ex, "reply of wrong length");
  const std::error_code set_error = clock_.set(result->new_clock);
  Finish(ex);

  status_.report = result->report;
  if (set_error) {
    status_.report += "\r\nClock not set: " + set_error.message();
    status_.succeeded = false;
    status_.error = "Clock not set: " + set_error.message();
    status_.clock_set_to.reset();
  } else {
    status_.tray_tip = result->tray_tip;
    status_.succeeded = true;
    status_.error.clear();
    status_.clock_set_to = result->new_clock;
  }
  Publish();
}

void ClientEngine::o3777Err(const std::shared_ptr<Exchange>& ex, std::string why) {
  Finish(ex);
  schedule_.OnFailure();
  status_.succeeded = false;
  status_.error = std::move(why);
  status_.clock_set_to.reset();
  Publish();
}

// The handler gets a copy, so it may start a new exchange or stop the loop.
void ClientEngine::Publish() {
  if (!on_status_) return;
  const StatusHandler handler = on_status_;
  const ClientStatus snapshot = status_;
  handler(snapshot);
}

void ClientEngine::Finish(const std::shared_ptr<Exchange>& ex) {
  ex->CloseAll();
  if (exchange_ == ex) exchange_.reset();
}

}  // namespace mdl
