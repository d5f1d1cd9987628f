// The TLS side of ClientStream, one per platform (tls_stream*.cpp).
#pragma once

#include <memory>
#include <string>

#include "common/net/client_stream.h"

namespace mdl::net {

// nullptr, with the reason in *why, when TLS cannot be set up.
std::unique_ptr<ClientStream> MakeTlsStream(boost::asio::io_context& io, const TlsPeer& peer,
                                            std::string* why);

}  // namespace mdl::net
