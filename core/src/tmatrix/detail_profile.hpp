#pragma once
// Where a solve's time goes, for the benchmarks: the seconds of its phases,
// added up by a scoped timer wherever a solve is handed a profile.

#include <chrono>

namespace vantok::tmatrix::driver {

/// Seconds spent in the phases of one solve, added to by every solve that is
/// handed one (for benchmarks).
struct SolveProfile {
  double kernel = 0.0;
  /// The f64 block solves with their error bounds (in parallel).
  double lu = 0.0;
  /// The double-double pass over the flagged modes: its kernel and the
  /// refinement of its blocks.
  double refinement = 0.0;
  /// The full double-double solve (asked for, or the automatic fallback).
  double double_double = 0.0;
};

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

}  // namespace vantok::tmatrix::driver
