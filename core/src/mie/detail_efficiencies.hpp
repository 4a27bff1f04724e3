#pragma once
// Q_sca of a solved sphere, for the normalisation of its angular outputs.

#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/efficiencies.hpp"

namespace vantok::mie::detail {

/// Q_sca = 2 S_sca / x^2, formed as the efficiency rule forms it (u = 1/x,
/// (u u + u u) S_sca), so that a normalisation by it agrees to the bit with the
/// Q_sca the efficiencies report.
inline double scattering_efficiency(const coefficients::Coefficients& c) {
  const double u = 1.0 / c.x;
  return (u * u + u * u) * efficiencies::value_sums(c.a, c.b).scattering;
}

}  // namespace vantok::mie::detail
