// ClientStream: the plain stream; the TLS one comes from tls_stream*.cpp.
#include "common/net/client_stream.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/net/tls_stream.h"

namespace mdl::net {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class PlainStream : public ClientStream {
 public:
  explicit PlainStream(asio::io_context& io) : socket_(io) {}
  tcp::socket& socket() override { return socket_; }
  void Handshake(Done done) override {
    asio::post(socket_.get_executor(), [done = std::move(done)] { done({}); });
  }
  void Write(asio::const_buffer bytes, Done done) override {
    asio::async_write(
        socket_, bytes,
        [done = std::move(done)](const boost::system::error_code& ec, std::size_t) { done(ec); });
  }
  void ReadSome(asio::mutable_buffer into, ReadDone done) override {
    socket_.async_read_some(into, std::move(done));
  }

 private:
  tcp::socket socket_;
};

}  // namespace

std::unique_ptr<ClientStream> ClientStream::Make(asio::io_context& io, const TlsPeer* tls, std::string* why) {
  if (!tls) return std::make_unique<PlainStream>(io);
  return MakeTlsStream(io, *tls, why);
}

}  // namespace mdl::net
