// The server's side of an authenticated request allocates only the session
// keys it reads from the cookie: buffers for cookies, ciphertexts and the
// reply are kept per thread.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <new>

#include "common/nts/ntp_auth.h"

namespace {
thread_local uint64_t t_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++t_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace mdl::nts {
namespace {

TEST(NtsReplyAllocations, OnlyTheSessionKeysPerRequestOnceWarm) {
  CookieKeySet set;
  set.keys.push_back(*MakeCookieKey(9, 0));
  std::array<uint8_t, kNtpHeaderLength> header{};
  header[0] = 0x23;
  // Several clients with their own keys, each asking for two cookies.
  std::vector<std::vector<uint8_t>> requests;
  std::vector<SessionKeys> sessions;
  for (uint8_t c = 0; c < 6; ++c) {
    const AeadId id = c % 2 ? AeadId::kAesSivCmac512 : AeadId::kAesSivCmac256;
    SessionKeys keys{id, std::vector<uint8_t>(AeadKeyLength(id), c),
                     std::vector<uint8_t>(AeadKeyLength(id), 0x80 | c)};
    const std::vector<uint8_t> uid(32, c);
    requests.push_back(BuildNtsRequest(header, uid, SealCookie(set.keys[0], keys), 1, keys));
    ASSERT_FALSE(requests.back().empty());
    sessions.push_back(std::move(keys));
  }
  std::vector<uint8_t> reply;
  auto serve = [&](size_t i) {
    const NtsServerRequest r = ReadNtsRequest(requests[i], set);
    return r.verdict == NtsVerdict::kAuthentic && r.cookies_wanted == 2 &&
           BuildNtsReply(header, r, set.keys[0], requests[i].size(), &reply);
  };
  for (size_t i = 0; i < 2 * requests.size(); ++i) ASSERT_TRUE(serve(i % requests.size()));

  constexpr int kRequests = 300;
  const uint64_t before = t_allocations;
  int served = 0;
  for (int i = 0; i < kRequests; ++i) served += serve(static_cast<size_t>(i) % requests.size());
  const uint64_t allocations = t_allocations - before;
  EXPECT_EQ(served, kRequests);
  EXPECT_LE(allocations, 2u * kRequests) << "beyond the c2s and s2c keys of each request";

  // And what was built that way is a reply the client accepts, two cookies in it.
  ASSERT_TRUE(serve(3));
  const auto verified = VerifyNtsReply(reply, std::vector<uint8_t>(32, 3), sessions[3]);
  ASSERT_TRUE(verified.has_value());
  EXPECT_EQ(verified->cookies.size(), 2u);
}

}  // namespace
}  // namespace mdl::nts
