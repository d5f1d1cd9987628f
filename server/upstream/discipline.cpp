// FrequencyDiscipline.
#include "server/upstream/discipline.h"

#include <algorithm>
#include <vector>

namespace mdl {

double FrequencyDiscipline::OnSync(Nanoseconds at, Nanoseconds step) {
  if (last_sync_ && at - *last_sync_ >= kMinInterval) {
    const double interval = static_cast<double>((at - *last_sync_).count());
    // The clock ran at correction_ppm_ and still lost `step` over the interval.
    estimates_.push_back(correction_ppm_ + static_cast<double>(step.count()) / interval * 1e6);
    if (estimates_.size() > kKept) estimates_.pop_front();
    std::vector<double> latest(estimates_.end() - static_cast<std::ptrdiff_t>(std::min(kUsed, estimates_.size())),
                               estimates_.end());
    std::sort(latest.begin(), latest.end());
    const size_t n = latest.size();
    const double median = n % 2 ? latest[n / 2] : (latest[n / 2 - 1] + latest[n / 2]) / 2;
    correction_ppm_ = std::clamp(median, -kMaxPpm, kMaxPpm);
  }
  last_sync_ = at;
  return correction_ppm_;
}

void FrequencyDiscipline::Forget() {
  estimates_.clear();
  last_sync_.reset();
}

}  // namespace mdl
