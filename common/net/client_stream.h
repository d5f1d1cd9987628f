// A client's TCP byte stream, plain or TLS, driven on one io_context's thread:
// connect the socket, Handshake, then Write and ReadSome. With TLS the peer is
// verified against the system's CA store and the certificates of
// `extra_ca_file`, and its certificate must carry `host`, which is also sent as
// the server name unless it is an address.
#pragma once

// First: Boost 1.74's coroutine headers use std::exchange without including <utility>.
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace mdl::net {

struct TlsPeer {
  std::string host;           // the name the certificate must carry
  std::string extra_ca_file;  // PEM CAs trusted besides the system's store; empty: none
};

class ClientStream {
 public:
  using Done = std::function<void(const boost::system::error_code&)>;
  using ReadDone = std::function<void(const boost::system::error_code&, std::size_t)>;

  // A plain stream; with `tls`, a TLS one. nullptr, with the reason in *why,
  // when TLS cannot be set up (no TLS in the system, unreadable CA file).
  static std::unique_ptr<ClientStream> Make(boost::asio::io_context& io, const TlsPeer* tls,
                                            std::string* why);
  virtual ~ClientStream() = default;

  // The TCP socket beneath: connect it before Handshake; shut down and close it to end.
  virtual boost::asio::ip::tcp::socket& socket() = 0;
  // The TLS handshake; a plain stream is done at once (from the io_context).
  virtual void Handshake(Done done) = 0;
  // All of `bytes`, which must stay alive until `done`.
  virtual void Write(boost::asio::const_buffer bytes, Done done) = 0;
  virtual void ReadSome(boost::asio::mutable_buffer into, ReadDone done) = 0;
  // Why the last step failed, in words, where the error code does not say it
  // (a certificate refused and the reason); empty otherwise.
  virtual std::string failure() const { return {}; }
};

}  // namespace mdl::net
