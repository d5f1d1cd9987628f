// The Windows build has no TLS library (Debian has no OpenSSL for mingw):
// TLS is refused with the reason.
#include "common/net/tls_stream.h"

namespace mdl::net {

std::unique_ptr<ClientStream> MakeTlsStream(boost::asio::io_context&, const TlsPeer&, std::string* why) {
  *why = "TLS is not available: this build has no TLS library";
  return nullptr;
}

}  // namespace mdl::net
