// The server's cookie keys over time: rotation and the text of the file that
// keeps them across restarts. Pure apart from the random bytes of new keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/nts/cookie.h"

namespace mdl::nts {

inline constexpr size_t kKeptCookieKeys = 7;

// Brings `set` up to `now_unix`: a new key (the next id) when there is none,
// when the newest is `period_seconds` old, or when it lies more than a period
// in the future (the clock went back); then keys beyond `keep`, and keys
// older than `keep` periods, are dropped (never the newest). True when the
// set changed; false also when the random source failed (the set is kept).
bool RotateCookieKeys(CookieKeySet* set, int64_t now_unix, int64_t period_seconds,
                      size_t keep = kKeptCookieKeys);

// When the newest key is due to be replaced (0 for an empty set).
int64_t NextRotationUnix(const CookieKeySet& set, int64_t period_seconds);

// The file's text: a comment line, then "key <id> <created unix> <64 hex digits>"
// per key, newest first.
std::string SerializeCookieKeys(const CookieKeySet& set);
// The keys of a file's text; nullopt (with the reason in `error`) when any
// line is malformed, ids repeat, or it holds no key or more than 64.
std::optional<CookieKeySet> ParseCookieKeys(std::string_view text, std::string* error);

}  // namespace mdl::nts
