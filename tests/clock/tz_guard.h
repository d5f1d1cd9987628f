// Test helper: sets TZ for one test and restores the previous value after it.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace mdl::testing {

class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzGuard() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  TzGuard(const TzGuard&) = delete;
  TzGuard& operator=(const TzGuard&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace mdl::testing
