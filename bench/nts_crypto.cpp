// mdl_nts_crypto: the per-request crypto of authenticated NTP, one piece at a
// time, on this thread: what a server spends on a request besides the
// network. Prints one line of key=value pairs (ns per operation).
#include <time.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/nts/aead.h"
#include "common/nts/cookie.h"
#include "common/nts/ntp_auth.h"

namespace {

int64_t Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ns per call of `f` over `n` calls; false results are counted in `failed`.
double PerCall(int n, const std::function<bool()>& f, int* failed) {
  const int64_t start = Now();
  for (int i = 0; i < n; ++i) {
    if (!f()) ++*failed;
  }
  return static_cast<double>(Now() - start) / n;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace mdl::nts;
  const int n = argc > 1 ? std::atoi(argv[1]) : 50000;
  if (n < 1 || n > 10000000) {
    std::fprintf(stderr, "usage: mdl_nts_crypto [ITERATIONS 1..1e7, default 50000]\n");
    return 2;
  }
  const auto cookie_key = MakeCookieKey(1, 0);
  if (!cookie_key) return 1;
  CookieKeySet set;
  set.keys.push_back(*cookie_key);
  SessionKeys keys;
  keys.c2s.assign(32, 0x11);
  keys.s2c.assign(32, 0x22);
  const std::vector<uint8_t> cookie = SealCookie(*cookie_key, keys);
  std::array<uint8_t, kNtpHeaderLength> header{};
  header[0] = 0x23;
  header[47] = 1;
  const std::vector<uint8_t> uid(32, 0x5a);
  const std::vector<uint8_t> request = BuildNtsRequest(header, uid, cookie, 0, keys);
  const std::vector<uint8_t> nonce(16, 3), ad(100, 4), plain(104, 5);
  std::vector<uint8_t> out, back;
  int failed = 0;
  const double seal_empty = PerCall(
      n, [&] { return AeadSeal(keys.aead, keys.c2s, nonce, ad, {}, &out); }, &failed);
  std::vector<uint8_t> tag;
  AeadSeal(keys.aead, keys.c2s, nonce, ad, {}, &tag);
  const double open_empty = PerCall(
      n, [&] { return AeadOpen(keys.aead, keys.c2s, nonce, ad, tag, &back); }, &failed);
  const double seal_104 = PerCall(
      n, [&] { return AeadSeal(keys.aead, keys.s2c, nonce, ad, plain, &out); }, &failed);
  const double seal_cookie = PerCall(
      n, [&] { return !SealCookie(*cookie_key, keys).empty(); }, &failed);
  const double open_cookie = PerCall(
      n, [&] { return OpenCookie(set, cookie).has_value(); }, &failed);
  NtsServerRequest read;
  const double read_request = PerCall(
      n,
      [&] {
        read = ReadNtsRequest(request, set);
        return read.verdict == NtsVerdict::kAuthentic;
      },
      &failed);
  const double build_reply = PerCall(
      n, [&] { return BuildNtsReply(header, read, *cookie_key, request.size(), &out); }, &failed);
  std::printf(
      "iterations=%d failed=%d seal_empty_ns=%.0f open_empty_ns=%.0f seal_104_ns=%.0f seal_cookie_ns=%.0f"
      " open_cookie_ns=%.0f read_request_ns=%.0f build_reply_ns=%.0f per_request_ns=%.0f\n",
      n, failed, seal_empty, open_empty, seal_104, seal_cookie, open_cookie, read_request, build_reply,
      read_request + build_reply);
  return failed == 0 ? 0 : 1;
}
