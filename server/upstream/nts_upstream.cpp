// The NTS upstreams' sessions and the rules for using them.
#include "server/upstream/nts_upstream.h"

#include <algorithm>

#include "common/nts/aead.h"

namespace mdl {
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

}  // namespace mdl
