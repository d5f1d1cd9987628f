// LocalIpv4Text over GetAdaptersAddresses.
#include "common/net/local_address.h"

// winsock2.h first: iphlpapi.h needs its types.
#include <winsock2.h>

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <boost/asio/ip/address_v4.hpp>
#include <vector>

namespace mdl::net {

std::string LocalIpv4Text() {
  std::string found = "127.0.0.1";
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET,
                                  GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return found;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
      boost::asio::ip::address_v4 v4(ntohl(sin->sin_addr.s_addr));
      if (!v4.is_loopback()) return v4.to_string();
    }
  }
  return found;
}

}  // namespace mdl::net
