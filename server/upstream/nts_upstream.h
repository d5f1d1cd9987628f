// What the synchronisation keeps of its NTS upstreams between exchanges:
// the keys and cookies of each key exchange, and the pure rules for using
// them (placeholders, the NAK, when a new key exchange is due).
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/nts/cookie.h"
#include "common/nts/ke_client.h"

namespace mdl {

// One NTS-KE exchange as a client (nts::AsyncKeExchange; tests give their own).
using NtsKeRunner =
    std::function<void(boost::asio::io_context&, std::string host, uint16_t port, nts::KeTrust trust,
                       std::chrono::milliseconds timeout, std::function<void(nts::KeOutcome)> done)>;

// The key exchange must end within this time (TLS handshake included).
inline constexpr std::chrono::seconds kNtsKeTimeout{10};
// Cookies kept in hand for one upstream.
inline constexpr std::size_t kNtsCookiesWanted = 8;
// A cookie longer than this is not kept (a server's are about 100 bytes).
inline constexpr std::size_t kNtsMaxCookieBytes = 1024;
// Exchanges in a row without an authentic reply before a new key exchange.
inline constexpr int kNtsFailuresBeforeKe = 3;
// LI 0, version 4, mode 3: NTS requests carry extension fields, which version 3 has not.
inline constexpr uint8_t kNtsRequestFirstByte = 0x23;
// Unique Identifier length sent in each request.
inline constexpr std::size_t kNtsUniqueIdBytes = 32;

// What the last key exchange with one NTS upstream gave.
struct NtsSession {
  nts::SessionKeys keys;
  std::deque<std::vector<uint8_t>> cookies;  // oldest first, at most kNtsCookiesWanted
  std::string ntp_server;                    // where the NTP exchanges go
  uint16_t ntp_port = 123;
  int failures = 0;    // exchanges in a row without an authentic reply
  bool renew = false;  // a new key exchange before the next exchange

  // Whether the next exchange needs a key exchange first.
  bool NeedsKe() const { return renew || cookies.empty(); }
  // Keeps fresh cookies, the newest last; the oldest go beyond the limit.
  void AddCookies(std::vector<std::vector<uint8_t>> fresh);
  // An exchange ended without an authentic reply; true when it makes a new key exchange due.
  bool Failed();
};

// The sessions by upstream (the list's field 1, lower case), at most kMax.
class NtsSessions {
 public:
  static constexpr std::size_t kMax = 16;
  NtsSession* Find(const std::string& key);
  // Replaces the session of `key` (the oldest other one goes when full).
  NtsSession& Put(const std::string& key, NtsSession session);
  void Drop(const std::string& key) { sessions_.erase(key); }
  std::size_t size() const { return sessions_.size(); }

 private:
  std::map<std::string, NtsSession> sessions_;
  std::deque<std::string> order_;  // keys, oldest first
};

// The session a successful key exchange gives, or the reason it is not
// usable (empty cookies, keys of the wrong length); `ke_host` is the server
// the NTP exchanges go to when the exchange named none.
struct NtsSessionResult {
  bool ok = false;
  std::string error;
  NtsSession session;
};
NtsSessionResult SessionFromKe(nts::KeOutcome outcome, const std::string& ke_host);

// Placeholders to send beside the one cookie a request uses when `in_hand`
// cookies (that one included) are held: enough to hold kNtsCookiesWanted
// again once the reply's cookies come.
std::size_t NtsPlaceholdersWanted(std::size_t in_hand);

}  // namespace mdl
