#pragma once
// The work memory of one wavelength of an ensemble run. Each large working set
// (a first pass's panel sums and node solvers, a second pass's bands, sums,
// panel scratch and panel batches, the projection's tables) is leased from the
// work budget (memory.hpp) before it is allocated, in pieces where the work
// splits without changing an operation (workers with a scratch each, panels
// per batch). A run lets its first pending wavelength exceed what is free by
// its least piece; any other wavelength whose least piece does not fit in what
// is free gives way (GiveWay) and is evaluated again later, when fewer run
// beside it. Which wavelengths run together never changes a result.

#include <cstddef>
#include <string>

#include "vantok/memory.hpp"

namespace vantok::ensemble::engine {

/// Thrown by Claim::take when a wavelength gives way.
struct GiveWay {};

/// Refuses `bytes` of work memory for `what` (memory::Refused, counting
/// doubles) when they exceed the whole work budget.
void require_bytes(std::size_t bytes, const std::string& what);

/// A wavelength's right to the work budget.
class Claim {
 public:
  /// `first`: the wavelength may exceed what is free by its least pieces (the
  /// first pending wavelength of a run, or a call outside a run); otherwise it
  /// gives way when they do not fit.
  explicit Claim(bool first = true) noexcept : first_(first) {}

  /// A lease of at least `least` and at most `most` bytes (what is free
  /// decides between them). `least` above the whole work budget is refused
  /// with memory::Refused, counting its doubles and naming `what()` (called
  /// only then); GiveWay when the claim is not first and `least` does not fit
  /// in what is free.
  template <class What>
  memory::Lease take(std::size_t least, std::size_t most, What&& what) const {
    if (least > memory::work_budget()) require_bytes(least, what());
    return lease(least, most);
  }

 private:
  memory::Lease lease(std::size_t least, std::size_t most) const;
  bool first_;
};

}  // namespace vantok::ensemble::engine
