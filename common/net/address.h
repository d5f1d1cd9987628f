// IPv4 peers as an IPv6 socket that carries IPv4 sees them: IPv4-mapped IPv6
// addresses (::ffff:a.b.c.d). Above the socket layer every IPv4 peer is plain
// IPv4.
#pragma once

#include <boost/asio/ip/address.hpp>

namespace mdl::net {

// An IPv4-mapped IPv6 address as plain IPv4; any other unchanged.
inline boost::asio::ip::address Unmapped(const boost::asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6());
  return a;
}

template <class Endpoint>
Endpoint Unmapped(const Endpoint& e) {
  return Endpoint(Unmapped(e.address()), e.port());
}

// `e` as a socket of the given family can address it: IPv4 becomes
// IPv4-mapped on an IPv6 socket.
template <class Endpoint>
Endpoint ForFamily(const Endpoint& e, bool socket_is_v6) {
  if (socket_is_v6 && e.address().is_v4())
    return Endpoint(boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, e.address().to_v4()),
                    e.port());
  if (!socket_is_v6) return Unmapped(e);
  return e;
}

}  // namespace mdl::net
