// What the client's status command prints of a client snapshot. Pure.
#pragma once

#include <string>

#include "client/client_handle.h"

namespace mdl {

// Aligned lines for a terminal; times in UTC ISO 8601.
std::string ClientStatusText(const ClientSnapshot& s);
// One JSON object, snake_case keys; times as ISO 8601 strings and as Unix seconds.
std::string ClientStatusJson(const ClientSnapshot& s);

}  // namespace mdl
