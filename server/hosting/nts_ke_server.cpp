// NtsKeServer over Boost.Asio and OpenSSL: an acceptor and its TLS
// connections, all on the server's own thread.
#include "server/hosting/nts_ke_server.h"

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <thread>
#include <vector>

#include "common/clock/timer.h"
#include "common/net/tcp_system.h"
#include "common/nts/ke_records.h"
#include "common/nts/tls_ke.h"

namespace mdl::service {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// What a connection is served with; replaced whole at a reload.
struct Served {
  std::shared_ptr<ssl::context> tls;
  std::string ntp_server;
};

std::vector<uint8_t> ErrorMessage(nts::KeErrorCode code) {
  return nts::BuildKeError(static_cast<uint16_t>(code));
}

}  // namespace

struct NtsKeServer::Impl {
  Impl(NtsKeHooks h, NtsKeServerOptions o) : hooks(std::move(h)), options(o) {
    for (nts::AeadId a : nts::SupportedAeads()) supported.push_back(static_cast<uint16_t>(a));
  }

  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Impl& impl, tcp::socket s, std::shared_ptr<const Served> what)
        : owner(impl),
          served(std::move(what)),
          stream(std::move(s), *served->tls),
          deadline(MakeAsioTimer(*impl.io)) {}
    ~Connection() { --owner.open; }

    void Start() {
      std::weak_ptr<Connection> weak = shared_from_this();
      deadline->Start(owner.options.deadline, [weak] {
        if (auto self = weak.lock()) self->Shut();
      });
      stream.async_handshake(ssl::stream_base::server,
                             [self = shared_from_this()](const ErrorCode& ec) { self->OnHandshake(ec); });
    }
    void OnHandshake(const ErrorCode& ec) {
      // Refused clients (no "ntske/1", old TLS, bad records) get the alert OpenSSL sent.
      if (ec || !nts::AgreedOnKe(stream.native_handle())) return Shut();
      Read();
    }
    void Read() {
      stream.async_read_some(asio::buffer(chunk), [self = shared_from_this()](const ErrorCode& ec, size_t n) {
        self->OnRead(ec, n);
      });
    }
    void OnRead(const ErrorCode& ec, size_t n) {
      if (responded) return;
      request.insert(request.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
      const nts::KeParse parse = nts::ParseKeMessage(request);
      if (parse.state == nts::KeParse::State::kMalformed)
        return Respond(ErrorMessage(nts::KeErrorCode::kBadRequest));
      if (parse.state == nts::KeParse::State::kIncomplete) {
        if (ec) return Shut();
        return Read();
      }
      Respond(Answer(parse));
    }
    std::vector<uint8_t> Answer(const nts::KeParse& parse) {
      const nts::KeRequestDecision d = nts::InterpretKeRequest(parse.records, owner.supported);
      if (d.kind != nts::KeRequestDecision::Kind::kKeys) return nts::BuildKeRefusal(d);
      const auto keys = owner.hooks.cookie_keys ? owner.hooks.cookie_keys() : nullptr;
      const nts::CookieKey* newest = keys ? keys->current() : nullptr;
      nts::SessionKeys session;
      if (!newest ||
          !nts::ExportSessionKeys(stream.native_handle(), static_cast<nts::AeadId>(d.aead), &session))
        return ErrorMessage(nts::KeErrorCode::kInternal);
      if (owner.hooks.on_keys) owner.hooks.on_keys(session);
      nts::KeResponseParts parts;
      parts.aead = d.aead;
      for (size_t i = 0; i < nts::kKeCookiesPerExchange; ++i) {
        std::vector<uint8_t> cookie = nts::SealCookie(*newest, session);
        if (cookie.empty()) return ErrorMessage(nts::KeErrorCode::kInternal);
        parts.cookies.push_back(std::move(cookie));
      }
      const uint16_t ntp_port = owner.hooks.ntp_port ? owner.hooks.ntp_port() : 0;
      if (ntp_port != 0 && ntp_port != 123) parts.port = ntp_port;
      parts.server = served->ntp_server;
      return nts::BuildKeResponse(parts);
    }
    void Respond(std::vector<uint8_t> message) {
      responded = true;
      request.clear();
      request.shrink_to_fit();
      response = std::move(message);
      asio::async_write(stream, asio::buffer(response),
                        [self = shared_from_this()](const ErrorCode& ec, size_t) {
                          if (ec) return self->Shut();
                          // close_notify, then the client's own (bounded by the deadline).
                          self->stream.async_shutdown([self](const ErrorCode&) { self->Shut(); });
                        });
    }
    void Shut() {
      deadline->Cancel();
      ErrorCode ignored;
      stream.lowest_layer().close(ignored);
    }

    Impl& owner;
    std::shared_ptr<const Served> served;
    ssl::stream<tcp::socket> stream;
    std::unique_ptr<Timer> deadline;
    std::array<uint8_t, 4096> chunk{};
    std::vector<uint8_t> request;
    std::vector<uint8_t> response;
    bool responded = false;
  };

  void Accept() {
    acceptor->async_accept([this](const ErrorCode& ec, tcp::socket s) {
      if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
      if (ec) {
        // Out of descriptors or memory: try again a little later rather than spin.
        retry->Start(std::chrono::milliseconds(100), [this] { Accept(); });
        return;
      }
      ErrorCode peer_ec;
      const tcp::endpoint peer = s.remote_endpoint(peer_ec);
      const bool admitted = !peer_ec && (!hooks.admit || hooks.admit(peer.address()));
      if (!admitted || open >= options.max_connections) {
        ErrorCode ignored;
        s.close(ignored);
      } else {
        ++open;
        std::make_shared<Connection>(*this, std::move(s), served)->Start();
      }
      Accept();
    });
  }

  NtsKeHooks hooks;
  NtsKeServerOptions options;
  std::vector<uint16_t> supported;
  std::shared_ptr<const Served> served;  // on the server's thread once it runs
  size_t open = 0;                       // connections alive (on the server's thread)
  uint16_t port = 0;
  std::unique_ptr<asio::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<Timer> retry;
  std::thread thread;
};

NtsKeServer::NtsKeServer(NtsKeHooks hooks, NtsKeServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(hooks), options)) {}

NtsKeServer::~NtsKeServer() { Close(); }

namespace {

std::shared_ptr<const Served> LoadServed(const NtsKeConfig& config, std::string* why) {
  auto tls = nts::MakeKeServerTls(config.certificate, config.key, why);
  if (!tls) return nullptr;
  auto served = std::make_shared<Served>();
  served->tls = std::move(tls);
  served->ntp_server = config.ntp_server;
  return served;
}

}  // namespace

bool NtsKeServer::Open(const NtsKeConfig& config, const asio::ip::address& address, uint16_t port,
                       std::string* why) {
  Close();
  Impl& m = *impl_;
  if (m.supported.empty()) {
    *why = "no AEAD algorithm available";
    return false;
  }
  m.served = LoadServed(config, why);
  if (!m.served) return false;
  m.io = std::make_unique<asio::io_context>(1);
  m.acceptor = std::make_unique<tcp::acceptor>(*m.io);
  m.retry = MakeAsioTimer(*m.io);
  const tcp::endpoint where(address, port);
  ErrorCode ec;
  m.acceptor->open(where.protocol(), ec);
  if (!ec) net::HoldPort(*m.acceptor, ec);
  if (!ec && address.is_v6()) m.acceptor->set_option(asio::ip::v6_only(!address.is_unspecified()), ec);
  if (!ec) m.acceptor->bind(where, ec);
  if (!ec) m.acceptor->listen(64, ec);
  if (!ec) m.port = m.acceptor->local_endpoint(ec).port();
  if (ec) {
    m.retry.reset();
    m.acceptor.reset();
    m.io.reset();
    m.port = 0;
    *why = ec.message();
    return false;
  }
  m.Accept();
  m.thread = std::thread([io = m.io.get()] { io->run(); });
  return true;
}

bool NtsKeServer::Reload(const NtsKeConfig& config, std::string* why) {
  auto served = LoadServed(config, why);
  if (!served) return false;
  Impl& m = *impl_;
  if (!m.io) {
    m.served = std::move(served);
    return true;
  }
  asio::post(*m.io, [&m, served = std::move(served)]() mutable { m.served = std::move(served); });
  return true;
}

uint16_t NtsKeServer::port() const { return impl_->port; }

void NtsKeServer::Close() {
  Impl& m = *impl_;
  if (!m.io) return;
  m.io->stop();
  if (m.thread.joinable()) m.thread.join();
  // The acceptor first, then the loop with the connections its handlers hold.
  m.retry.reset();
  m.acceptor.reset();
  m.io.reset();
  m.port = 0;
}

}  // namespace mdl::service
