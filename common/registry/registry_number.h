// The one reader of numbers stored as registry text, for server and client.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mdl {

// A whole number stored as plain decimal digits: no sign, no blanks, no
// fraction, at most `max`. Anything else (and a value that overflows) is
// nullopt, so that the caller keeps its default and says so.
std::optional<uint64_t> ReadRegistryNumber(std::string_view text, uint64_t max);

}  // namespace mdl
