// The usage texts of the two service programs: what -install, -pause and the
// stop requests do depends on the platform's service manager.
#pragma once

#include <string_view>

namespace mdl::service {

std::string_view ServerServiceUsage();
std::string_view ClientServiceUsage();

}  // namespace mdl::service
