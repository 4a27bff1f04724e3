#pragma once
// What every stage of the wavelength engine shares: the size parameter of a
// radius, formed alike everywhere, its limit, and the place an engine error
// names.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vantok/constants.hpp"
#include "vantok/error.hpp"
#include "vantok/limits.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine {

/// The size parameter (r·2π)/λ, grouped alike wherever the engine forms one,
/// so that the term counts of both passes agree at every radius.
inline double size_parameter(double radius, double wavelength) { return radius * constants::TWO_PI / wavelength; }
/// A bound on the term count of the particle at a radius: the default count
/// at its size parameter, at most the largest accepted order (above it a node
/// fails its checks before anything is solved).
inline std::size_t terms_bound(double radius, double wavelength) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(mie::default_terms(size_parameter(radius, wavelength)), MAX_MIE_ORDER));
}
/// The largest size parameter an integration range may reach.
inline constexpr double MAX_SIZE_PARAMETER = 1e6;

/// Puts the place of an engine error in front of its message: "at wavelength
/// {:e}, radius {:e}: " on InvalidInput and OutsideValidatedDomain; a
/// NotConverged error is returned unchanged.
Error context(Error error, double wavelength, double radius);

}  // namespace vantok::ensemble::engine
