#pragma once
// The radius range outside which a smooth size distribution's weighted tails
// are negligible.

#include <cstdint>
#include <span>
#include <utility>

#include "vantok/ensemble/distribution.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::range {

/// Marches outward from `start` in equal steps of ln r (min(0.5 s, 0.5)),
/// integrating r^k n(r) over each step by the 15-point Kronrod rule, and closes
/// a side once the geometric tail estimate of every exponent k is within `tol`
/// times the total accumulated so far. Returns the radii (lo, hi).
Result<std::pair<double, double>> cutoffs(const Density& density,
                                          std::span<const std::int32_t> exponents, double start,
                                          double tol);

}  // namespace vantok::ensemble::range
