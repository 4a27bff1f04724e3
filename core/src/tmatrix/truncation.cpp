// Derived quantities of a spheroid: semi-axes, the size parameter of the
// larger semi-axis, and the term and quadrature counts built from them. Every
// count saturates, so that an absurd input (admitted by allow_unvalidated)
// reaches the caps and fails to converge rather than wrapping to a small count.

#include "tmatrix/detail_truncation.hpp"

#include <cmath>
#include <limits>

#include "vantok/numeric.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix {

SemiAxes semi_axes(double x, double eps) {
  const double a = x * scalar::math::cbrt(eps);
  const double b = a / eps;
  // A NaN b fails both comparisons: both are a.
  return {a, b, b < a ? b : a, b > a ? b : a};
}

double x_max(double x, double eps) { return semi_axes(x, eps).r_max; }

std::uint64_t n_w(double z) {
  const double w = std::ceil(z + 4.0 * scalar::math::cbrt(z));
  return sat_add<std::uint64_t>(sat_cast<std::uint64_t>(w), 2);
}

std::uint64_t n_f(double eps, double rtol) {
  const double inv = 1.0 / eps;
  const double e = inv > eps ? inv : eps;
  if (e <= 1.0) return 0;
  // The number of nodes per hemisphere that resolves the spheroid's surface
  // to 1e-4 rtol: the Legendre series of the surface converges like
  // ((e - 1) / (e + 1))^(2n).
  const double n = std::log(1e4 / rtol) / (2.0 * std::log((e + 1.0) / (e - 1.0)));
  return sat_cast<std::uint64_t>(std::ceil(n));
}

}  // namespace vantok::tmatrix
