// Recognising the NTS NAK among the replies to an NTS request.
#pragma once

#include <cstdint>
#include <span>

namespace mdl {

// An NTS NAK: a kiss-o'-death ("NTSN", stratum 0) echoing `unique_id` in a
// Unique Identifier field, without an authenticator. The reply's fields are
// parsed with every length checked.
bool IsNtsNak(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id);

}  // namespace mdl
