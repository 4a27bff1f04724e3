#pragma once
// The sizes of a spheroid that set its truncation: the semi-axes as size
// parameters, the size parameter of the larger one, the Wiscombe-type term
// count and the quadrature floor of the aspect ratio; and the running maximum
// of the convergence tests and block bounds. And the truncation of one solve.

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vantok::tmatrix {

/// The truncation of one solve: N terms, n_theta nodes per hemisphere of the
/// polar quadrature, and the azimuthal modes 0..=m_max solved.
struct Truncation {
  std::size_t n_terms = 0;
  std::size_t n_theta = 0;
  std::size_t m_max = 0;

  bool operator==(const Truncation&) const = default;
};

/// The semi-axes of a spheroid as size parameters: a = x cbrt(eps)
/// (equatorial), b = a / eps (polar), so that a^2 b = x^3; r_min and r_max are
/// the smaller and the larger, both a when b is NaN.
struct SemiAxes {
  double a = 0.0;
  double b = 0.0;
  double r_min = 0.0;
  double r_max = 0.0;
};

SemiAxes semi_axes(double x, double eps);

/// The size parameter of the larger semi-axis (a when b is NaN).
double x_max(double x, double eps);

/// Wiscombe-type term count of a size parameter z: ceil(z + 4 cbrt(z)) as a
/// count (NaN and negatives give 0, saturating above), plus 2, saturating.
std::uint64_t n_w(double z);

/// The quadrature floor of an aspect ratio: with e = max(eps, 1/eps) (eps
/// when 1/eps is NaN), 0 when e <= 1, else
/// ceil(ln(1e4 / rtol) / (2 ln((e + 1) / (e - 1)))), saturating.
std::uint64_t n_f(double eps, double rtol);

/// Running maximum that starts from its first operand and skips a NaN value:
/// v replaces acc only when acc < v.
inline double run_max(double acc, double v) noexcept { return acc < v ? v : acc; }

/// run_max(acc, hypot(re, im)), without the hypot call where the modulus
/// cannot exceed acc: re^2 + im^2 lies within a few ulps of |v|^2 (once acc is
/// far above the range where it could underflow; an overflow gives +inf and
/// the call), so below acc^2 (1 - 2^-40) the modulus, hypot's rounding
/// included, stays below acc. A NaN square takes the call, which may still
/// give +inf.
inline double run_max_modulus(double acc, double re, double im) noexcept {
  if (acc > 0x1p-400) {
    const double squared = re * re + im * im;
    if (squared < (acc * acc) * (1.0 - 0x1p-40)) return acc;
  }
  return run_max(acc, std::hypot(re, im));
}

}  // namespace vantok::tmatrix
