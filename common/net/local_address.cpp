// LocalIpv4Text over getifaddrs.
#include "common/net/local_address.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <boost/asio/ip/address_v4.hpp>

namespace mdl::net {

std::string LocalIpv4Text() {
  ifaddrs* list = nullptr;
  std::string found = "127.0.0.1";
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    boost::asio::ip::address_v4 a(ntohl(sin->sin_addr.s_addr));
    if (!a.is_loopback()) {
      found = a.to_string();
      break;
    }
  }
  freeifaddrs(list);
  return found;
}

}  // namespace mdl::net
