#pragma once
// Helpers shared by the solves of the T-matrix driver.

#include <chrono>

namespace vantok::tmatrix::driver::detail {

/// Adds the seconds of its lifetime to *slot (nothing when slot is null).
class PhaseTimer {
 public:
  explicit PhaseTimer(double* slot) : slot_(slot) {
    if (slot_ != nullptr) start_ = std::chrono::steady_clock::now();
  }
  ~PhaseTimer() {
    if (slot_ != nullptr) {
      *slot_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
  }
  PhaseTimer(const PhaseTimer&) = delete;
  PhaseTimer& operator=(const PhaseTimer&) = delete;

 private:
  double* slot_;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace vantok::tmatrix::driver::detail
