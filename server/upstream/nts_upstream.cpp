// The NTS upstreams' sessions and the rules for using them.
#include "server/upstream/nts_upstream.h"

#include <algorithm>

#include "common/nts/aead.h"

namespace mdl {
namespace {

constexpr std::size_t kHeaderBytes = 48;
constexpr uint16_t kUniqueIdentifierField = 0x0104;
constexpr uint16_t kAuthenticatorField = 0x0404;

uint16_t Be16(std::span<const uint8_t> b, std::size_t at) {
  return static_cast<uint16_t>(uint16_t{b[at]} << 8 | b[at + 1]);
}

}  // namespace

void NtsSession::AddCookies(std::vector<std::vector<uint8_t>> fresh) {
  for (auto& c : fresh) {
    if (c.empty() || c.size() > kNtsMaxCookieBytes) continue;
    cookies.push_back(std::move(c));
  }
  while (cookies.size() > kNtsCookiesWanted) cookies.pop_front();
}

bool NtsSession::Failed() {
  if (++failures >= kNtsFailuresBeforeKe) renew = true;
  return renew;
}

NtsSession* NtsSessions::Find(const std::string& key) {
  auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : &it->second;
}

NtsSession& NtsSessions::Put(const std::string& key, NtsSession session) {
  order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
  while (sessions_.size() >= kMax && !sessions_.count(key) && !order_.empty()) {
    sessions_.erase(order_.front());
    order_.pop_front();
  }
  order_.push_back(key);
  return sessions_[key] = std::move(session);
}

NtsSessionResult SessionFromKe(nts::KeOutcome outcome, const std::string& ke_host) {
  NtsSessionResult r;
  if (!outcome.ok) {
    r.error = outcome.error.empty() ? "the key exchange failed" : outcome.error;
    return r;
  }
  const std::size_t key_length = nts::AeadKeyLength(outcome.keys.aead);
  if (key_length == 0 || outcome.keys.c2s.size() != key_length || outcome.keys.s2c.size() != key_length) {
    r.error = "the key exchange gave keys of the wrong length";
    return r;
  }
  NtsSession& s = r.session;
  s.keys = std::move(outcome.keys);
  s.AddCookies(std::move(outcome.cookies));
  if (s.cookies.empty()) {
    r.error = "the key exchange gave no usable cookie";
    return r;
  }
  s.ntp_server = outcome.ntp_server.empty() ? ke_host : outcome.ntp_server;
  s.ntp_port = outcome.ntp_port == 0 ? 123 : outcome.ntp_port;
  r.ok = true;
  return r;
}

std::size_t NtsPlaceholdersWanted(std::size_t in_hand) {
  return in_hand >= kNtsCookiesWanted ? 0 : kNtsCookiesWanted - in_hand;
}

bool IsNtsNak(std::span<const uint8_t> reply, std::span<const uint8_t> unique_id) {
  if (reply.size() < kHeaderBytes || unique_id.empty()) return false;
  constexpr uint8_t kNtsn[] = {'N', 'T', 'S', 'N'};
  if (reply[1] != 0 || !std::equal(std::begin(kNtsn), std::end(kNtsn), reply.begin() + 12)) return false;
  bool echoed = false;
  std::size_t at = kHeaderBytes;
  while (reply.size() - at >= 4) {
    const uint16_t type = Be16(reply, at);
    const std::size_t length = Be16(reply, at + 2);
    if (length < 4 || length % 4 != 0 || length > reply.size() - at) return false;
    if (type == kAuthenticatorField) return false;
    const auto body = reply.subspan(at + 4, length - 4);
    if (type == kUniqueIdentifierField && body.size() == unique_id.size() &&
        std::equal(body.begin(), body.end(), unique_id.begin()))
      echoed = true;
    at += length;
  }
  return echoed && at == reply.size();
}

}  // namespace mdl
