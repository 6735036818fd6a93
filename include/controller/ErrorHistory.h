#pragma once
/// @file ErrorHistory.h
/// The error codes a controller reports to hosts, kept without allocating.

#include <array>
#include <cstddef>
#include <vector>

namespace kav {
namespace t8 {

/// Every error code reported since start, up to a bound: the first 1000
/// ever recorded (they name the cause of a flood) and the newest 9000.
/// append() never allocates, so the control thread may call it.
class ErrorHistory {
 public:
  static constexpr std::size_t kFirst = 1000;   ///< the first codes kept
  static constexpr std::size_t kNewest = 9000;  ///< the newest codes kept

  /// Records @p code (without allocating).
  void append(int code) {
    if (count_ < kFirst) {
      first_[count_] = code;
    } else {
      newest_[(count_ - kFirst) % kNewest] = code;
    }
    ++count_;
  }

  /// The kept codes, oldest first: the first ones, then the newest.
  std::vector<int> codes() const {
    std::vector<int> codes(first_.begin(), first_.begin() + (count_ < kFirst ? count_ : kFirst));
    const std::size_t from = count_ > kFirst + kNewest ? count_ - kNewest : kFirst;
    for (std::size_t n = from; n < count_; ++n) codes.push_back(newest_[(n - kFirst) % kNewest]);
    return codes;
  }

  /// Codes recorded since start, including those no longer kept.
  std::size_t total() const { return count_; }

 private:
  std::array<int, kFirst> first_{};
  std::array<int, kNewest> newest_{};
  std::size_t count_ = 0;
};

}  // namespace t8
}  // namespace kav
