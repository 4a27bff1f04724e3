#pragma once
// Where a solve's time goes, for the benchmarks: the seconds of its phases,
// added up by a scoped timer wherever a solve is handed a profile.

#include <chrono>

namespace vantok::tmatrix::driver {

/// Seconds spent in the phases of one solve, added to by every solve that is
/// handed one (for benchmarks).
struct SolveProfile {
  /// The convergence stages, each with every solve it makes: stage 1 (N),
  /// stage 2 (the quadrature size), the solve of all modes and the Greek
  /// check's finer solve.
  double stage_terms = 0.0;
  double stage_theta = 0.0;
  double full = 0.0;
  double check = 0.0;
  /// Across every solve: the f64 kernel.
  double kernel = 0.0;
  /// The f64 block solves with their error bounds (in parallel).
  double lu = 0.0;
  /// The double-double pass over the flagged modes: its kernel and the
  /// refinement of its blocks.
  double refinement = 0.0;
  /// Of the refinement: its double-double kernel.
  double refinement_kernel = 0.0;
  /// The full double-double solve (asked for, or the automatic fallback).
  double double_double = 0.0;
  /// Of the double-double solve: its kernel.
  double double_double_kernel = 0.0;
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
