#pragma once
// Helpers shared by the solves of the T-matrix driver.

#include <chrono>
#include <cstddef>
#include <string_view>
#include <vector>

#include "vantok/memory.hpp"
#include "tmatrix/detail_kernel.hpp"

namespace vantok::tmatrix::driver {

/// Before the block solves of a double-double pass over `matrices` (modes
/// 0..=m_max), one at a time: the matrices, the LU of the largest block
/// (`lu_bytes` per element) and the T blocks (`t_bytes` per element) must fit
/// the work budget, else memory::Refused names `what` with the block's size.
/// Returns the lease that holds the matrices while they live.
template <class S>
memory::Lease block_work(const std::vector<kernel::ModeMatrices<S>>& matrices, std::size_t m_max,
                         std::size_t lu_bytes, std::size_t t_bytes, std::string_view what);

}  // namespace vantok::tmatrix::driver

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
