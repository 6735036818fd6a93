#include "Health.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "controller/ErrorCode.h"

namespace kav {
namespace bridge {

std::optional<double> percentile99(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  const auto rank = static_cast<std::size_t>(std::ceil(0.99 * values.size())) - 1;
  std::nth_element(values.begin(), values.begin() + rank, values.end());
  return values[rank];
}

LoopHealth loopHealth(const std::vector<t8::InterfacesThread::CycleTiming>& timings,
                      std::chrono::steady_clock::time_point now, std::chrono::nanoseconds window,
                      std::chrono::nanoseconds nominal) {
  using Micros = std::chrono::duration<double, std::micro>;
  std::vector<double> deviations;
  std::vector<double> updates;
  for (std::size_t i = 0; i < timings.size(); ++i) {
    if (timings[i].start < now - window) continue;
    updates.push_back(Micros(timings[i].update).count());
    if (i > 0)
      deviations.push_back(std::fabs(Micros(timings[i].start - timings[i - 1].start - nominal).count()));
  }
  return {updates.size(), percentile99(deviations), percentile99(updates)};
}

std::vector<int> ErrorCodeWatch::update(const std::vector<int>& all) {
  std::vector<int> added;
  if (all.size() > seen_) {
    added.assign(all.begin() + seen_, all.end());
  } else if (!all.empty() && all.back() != newest_) {
    added.push_back(all.back());
  }
  seen_ = all.size();
  if (!all.empty()) newest_ = all.back();
  for (int code : added) {
    const t8::ErrorCode decoded(code);
    if (decoded.kind() == t8::ErrorCode::Kind::kMotorOffline) offline_.insert(decoded.motor());
    if (decoded.kind() == t8::ErrorCode::Kind::kCollision) reflex_ = true;
    // A recovery succeeds only with every motor answering again, and ends a reflex.
    if (decoded.kind() == t8::ErrorCode::Kind::kRecovered) {
      offline_.clear();
      reflex_ = false;
    }
  }
  return added;
}

void RecoverOutcome::succeeded() {
  last_ = "succeeded";
  unreported_failure_.clear();
}

void RecoverOutcome::failed(const std::string& reason) {
  last_ = "failed: " + reason;
  unreported_failure_ = reason;
}

std::string RecoverOutcome::takeFailure() { return std::exchange(unreported_failure_, {}); }

}  // namespace bridge
}  // namespace kav
