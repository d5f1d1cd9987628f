// FrequencyDiscipline.
#include "server/upstream/discipline.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mdl {
namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

void FrequencyDiscipline::Start(double ppm) {
  correction_ppm_ = confirmed_ppm_ = std::clamp(ppm, -max_ppm_, max_ppm_);
  last_sync_.reset();
}

void FrequencyDiscipline::SetMaxPpm(double max_ppm) {
  max_ppm_ = std::clamp(max_ppm, 0.0, kKernelMaxPpm);
  correction_ppm_ = std::clamp(correction_ppm_, -max_ppm_, max_ppm_);
  confirmed_ppm_ = std::clamp(confirmed_ppm_, -max_ppm_, max_ppm_);
}

std::optional<double> FrequencyDiscipline::Estimate() const {
  if (figures_.size() < kAgreeing) return std::nullopt;
  const std::vector<double> all(figures_.begin(), figures_.end());
  const double median = Median(all);
  std::vector<double> deviations;
  for (double f : all) deviations.push_back(std::fabs(f - median));
  const double tolerance = std::clamp(3 * Median(deviations), kAgreeFloorPpm, kAgreeCeilingPpm);
  std::vector<double> agreeing;
  for (double f : all)
    if (std::fabs(f - median) <= tolerance) agreeing.push_back(f);
  if (agreeing.size() < kAgreeing) return std::nullopt;
  return Median(agreeing);
}

void FrequencyDiscipline::TakeFigure(double figure) {
  last_figure_ = figure;
  // No oscillator is that far off: the upstream (or its path) is.
  last_figure_refused_ = !(std::fabs(figure) <= max_ppm_);
  if (!last_figure_refused_) {
    figures_.push_back(figure);
    if (figures_.size() > kKept) figures_.pop_front();
  }
  if (const std::optional<double> estimate = Estimate()) {
    const double target = std::clamp(*estimate, -max_ppm_, max_ppm_);
    correction_ppm_ = std::clamp(target, correction_ppm_ - kMaxChangePpm, correction_ppm_ + kMaxChangePpm);
    if (correction_ppm_ == target) confirmed_ppm_ = correction_ppm_;
  }
}

double FrequencyDiscipline::OnSync(Nanoseconds at, Nanoseconds step) {
  last_figure_.reset();
  last_figure_refused_ = false;
  if (last_sync_ && at - *last_sync_ >= kMinInterval) {
    const double interval = static_cast<double>((at - *last_sync_).count());
    // The clock ran at correction_ppm_ and still lost `step` over the interval.
    TakeFigure(correction_ppm_ + static_cast<double>(step.count()) / interval * 1e6);
  }
  last_sync_ = at;
  last_heard_ = at;
  return correction_ppm_;
}

double FrequencyDiscipline::OnFigure(Nanoseconds at, std::optional<double> figure) {
  last_figure_.reset();
  last_figure_refused_ = false;
  if (figure) TakeFigure(*figure);
  last_sync_ = at;
  last_heard_ = at;
  return correction_ppm_;
}

std::optional<double> FrequencyDiscipline::OnSilence(Nanoseconds now, Nanoseconds interval) {
  if (!last_heard_ || confirmed()) return std::nullopt;
  const Nanoseconds lost_after = kHoldIntervals * std::max<Nanoseconds>(interval, kMinInterval);
  if (now - *last_heard_ <= lost_after) return std::nullopt;
  correction_ppm_ = confirmed_ppm_;
  // The interval under way ran at two rates.
  last_sync_.reset();
  return correction_ppm_;
}

void FrequencyDiscipline::Forget() {
  figures_.clear();
  last_sync_.reset();
}

}  // namespace mdl
