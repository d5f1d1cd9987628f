// The cryptographic random source: getrandom on Linux, rand_s on Windows.
#ifdef _WIN32
#define _CRT_RAND_S
#include <stdlib.h>
#else
#include <sys/random.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstring>

#include "common/clock/secure_random.h"

namespace mdl {

bool FillSecureRandom(std::span<uint8_t> out) {
#ifdef _WIN32
  for (std::size_t done = 0; done < out.size();) {
    unsigned int word = 0;
    if (rand_s(&word) != 0) return false;
    const std::size_t n = std::min(sizeof word, out.size() - done);
    std::memcpy(out.data() + done, &word, n);
    done += n;
  }
  return true;
#else
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
#endif
}

}  // namespace mdl
