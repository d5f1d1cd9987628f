// The machine's own address, as the request log's header names it.
#pragma once

#include <string>

namespace mdl::net {

// The first non-loopback IPv4 address of the machine's interfaces; "127.0.0.1" when there is none.
std::string LocalIpv4Text();

}  // namespace mdl::net
