#pragma once
// What the diagnostics say about an arm: the control loop's timing over the
// last second, the error codes that are new since the last look, and how the
// last recover request ended.

#include <chrono>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "interfaces/InterfacesThread.h"

namespace kav {
namespace bridge {

/// The control loop over a window of time.
struct LoopHealth {
  std::size_t cycles = 0;                  ///< cycles that began in the window
  std::optional<double> p99_deviation_us;  ///< of |period - nominal|; none below two cycles
  std::optional<double> p99_update_us;     ///< of the control step's duration; none without cycles
};

/// The 99th percentile (nearest rank) of @p values; none when empty.
std::optional<double> percentile99(std::vector<double> values);

/// Loop health of the cycles in @p timings that began within @p window
/// before @p now; the deviation of each period from @p nominal.
LoopHealth loopHealth(const std::vector<t8::InterfacesThread::CycleTiming>& timings,
                      std::chrono::steady_clock::time_point now, std::chrono::nanoseconds window,
                      std::chrono::nanoseconds nominal);

/// Follows the arm's list of error codes between looks.
///
/// The arm's list only grows until it holds 10000 codes; from then on its
/// length stays the same and a new code is noticed when the newest entry
/// changes.
class ErrorCodeWatch {
 public:
  /// The codes added to @p all since the previous call.
  std::vector<int> update(const std::vector<int>& all);
  /// Motors (1-7) reported offline (code 16 x motor + 15) since the start
  /// or the last recovery (code 176).
  const std::set<int>& offlineMotors() const { return offline_; }
  /// Whether a collision reflex (code 160 + joint) holds the arm compliant:
  /// one came in since the start or the last recovery (code 176), which
  /// alone ends it.
  bool reflexHolds() const { return reflex_; }

 private:
  std::size_t seen_ = 0;
  int newest_ = 0;
  std::set<int> offline_;
  bool reflex_ = false;
};

/// The outcome of the recover requests, for the diagnostics.
class RecoverOutcome {
 public:
  void succeeded();
  /// @param reason the library's message (which motor is still silent or faulty)
  void failed(const std::string& reason);
  /// "none" before the first request, then "succeeded" or "failed: <reason>".
  const std::string& last() const { return last_; }
  /// The reason of a failure not yet taken; "" when there is none.
  std::string takeFailure();

 private:
  std::string last_ = "none";
  std::string unreported_failure_;
};

}  // namespace bridge
}  // namespace kav
