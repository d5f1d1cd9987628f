// Fuzz target: any text as AllowNetworks and DenyNetworks. Every network read
// must be within its family's bounds with its host bits clear and read back
// the same from its text; each network of an allow list alone admits its own
// address, and the same list as allow and deny denies it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/serving/network_access.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const mdl::NetworkList list = mdl::ParseNetworkList(text);
  const mdl::NetworkList none;
  const mdl::NetworkAccess allow_only(list, none);
  const mdl::NetworkAccess both(list, list);
  if (list.given() != allow_only.restricting()) __builtin_trap();
  for (const std::string& bad : list.malformed)
    if (bad.empty() || bad.size() > 67) __builtin_trap();
  for (const mdl::Network& n : list.networks) {
    if (n.prefix > (n.v6 ? 128 : 32)) __builtin_trap();
    for (unsigned bit = n.prefix; bit < (n.v6 ? 128u : 32u); ++bit)
      if (n.bytes[bit / 8] & (0x80u >> (bit % 8))) __builtin_trap();
    const mdl::NetworkList back = mdl::ParseNetworkList(mdl::NetworkText(n));
    if (back.networks.size() != 1 || !back.malformed.empty() || !(back.networks[0] == n)) __builtin_trap();
    boost::asio::ip::address a;
    if (n.v6) {
      a = boost::asio::ip::address_v6(n.bytes);
    } else {
      a = boost::asio::ip::address_v4({n.bytes[0], n.bytes[1], n.bytes[2], n.bytes[3]});
    }
    // An IPv6 network of mapped addresses shorter than /96 stays IPv6 while its sources read as IPv4.
    if (a.is_v6() && a.to_v6().is_v4_mapped()) continue;
    if (!allow_only.Allows(a) || both.Allows(a)) __builtin_trap();
  }
  (void)mdl::DescribeAccessLists(list, list);
  return 0;
}
