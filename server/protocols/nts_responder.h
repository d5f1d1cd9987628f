// Authenticated NTP on the NTP service's UDP socket: what the responder does
// with a datagram longer than the NTP header while NTS is on.
#pragma once

#include <string_view>

#include "common/net/datagram_port.h"
#include "server/serving/serving.h"

namespace mdl {

// Log text of an answered authenticated request.
inline constexpr std::string_view kNtsRequestLogText = "NTS NTP...";

// Serves `d` when it is an authenticated NTP request (a client header with a
// cookie or authenticator field): an authenticated reply, an NTS NAK, or a
// drop (rate limit: no KoD, an unauthenticated one would be ignored and an
// authenticated one costs what the limit saves; malformed: counted and
// logged as any rejected datagram). False when it is not one: the caller
// treats it as today, a datagram of the wrong length.
bool ServeNtsDatagram(ServingContext& ctx, const net::Datagram& d);

}  // namespace mdl
