#pragma once
// The members of the generic mode kernel: what its one template does
// differently for each scalar (double, DoubleDouble, Dual<double, 4>,
// Dual<DoubleDouble, 4>) for numerical reasons. The members differ only
// through the policy Member<T>: how two semi-axes are ordered, how a scale
// factor is applied (a division in f64, a product with its double-double
// reciprocal), how the regular functions of z get their sine and cosine, which
// start rule the ratio recurrences use, the evaluation orders the members
// keep and how the quadrature rule is made. These are choices of this
// algorithm; what is a fact of the scalar itself (pi, from_int, the value
// order, finiteness, zero tests, the name) is read from ScalarTraits.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tmatrix/detail_node_functions.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/special/gauss_legendre.hpp"

namespace vantok::tmatrix::kernel::detail {

using scalar::math::abs;
using scalar::math::exp;
using scalar::math::hypot;
using scalar::math::powi;
using scalar::math::recip;
using scalar::math::sin_cos;
using scalar::math::sqrt;

/// A quadrature pair (cos theta, weight).
template <class T>
using Node = std::pair<T, T>;

/// A rule: (nodes, weights), ascending nodes.
template <class T>
using Rule = std::pair<std::vector<T>, std::vector<T>>;

/// The double-double Gauss-Legendre rule of n points, every root by Newton's
/// method in double-double (no asymptotic switch), renormalised by two-sum;
/// "Gauss-Legendre rule needs n >= 1" for n = 0, the upper-limit message above
/// 131072 points, and the Newton failure of a root. The roots are independent
/// and found in parallel.
Result<Rule<DoubleDouble>> gauss_legendre_dd(std::size_t n);

/// gauss_legendre_dd, the last few rules kept by size (a process-wide cache of
/// a pure function: the same values, computed once).
Result<Rule<DoubleDouble>> gauss_legendre_dd_cached(std::size_t n);

/// The number of rule points for ngauss nodes on (0, 1): 2 ngauss, saturating,
/// so that an ngauss beyond the largest rule is refused by the rule rather
/// than wrapped into a small one.
inline std::size_t rule_points(std::size_t ngauss) {
  return ngauss > 65536 ? sat_mul<std::size_t>(ngauss, 2) : 2 * ngauss;
}

template <class T>
struct Member;

/// The evaluation order of the f64 integrand, which the double-double and the
/// dual-over-f64 members keep: D = a^2 x^2 + b^2 sin^2, quotients by r, and
/// the regular weight A = r^2 W.
template <class T>
struct DirectOrders {
  static T surface_denominator(const T& a2, const T& b2, const T& /*x*/, const T& x2,
                               const T& st) {
    return a2 * x2 + b2 * (st * st);
  }
  /// v / r (the reciprocal 1/r unused).
  static T over_r(const T& v, const T& r, const T& /*inv_r*/) { return v / r; }
  static Complex<T> over_r(const Complex<T>& v, const T& r, const T& /*inv_r*/) {
    return {v.re / r, v.im / r};
  }
  static T regular_weight(const T& r2, const T& w) { return r2 * w; }
};

/// f64: IEEE operations, std::fmin/fmax (a NaN operand loses), division by the
/// scale factors, the inline scaled sine and cosine of z and the landed ratio
/// recurrences with the 52-bit start rule.
template <>
struct Member<double> : DirectOrders<double> {
  using T = double;
  static constexpr double series_tolerance = 0x1p-60;
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::F64_START;

  /// (rmin, rmax) of the driver: NaN-aware minimum and maximum.
  static std::pair<T, T> semi_axes(const T& a, const T& b) { return {std::fmin(a, b), std::fmax(a, b)}; }
  /// rmin of the node series (a NaN b gives a).
  static T series_rmin(const T& a, const T& b) { return std::fmin(a, b); }
  /// NaN-ignoring running maximum.
  static T running_max(const T& acc, const T& v) { return std::fmax(acc, v); }

  /// x / s for a scale factor s (its reciprocal r unused).
  static T by_scale(const T& x, const T& s, const T& /*r*/) { return x / s; }
  static Complex<T> by_scale(const Complex<T>& z, const T& s, const T& /*r*/) {
    return {z.re / s, z.im / s};
  }
  /// x / s for the series length scale.
  static T by_length(const T& x, const T& s, const T& /*r*/) { return x / s; }

  static T exp_neg(const T& h) { return std::exp(-h); }

  /// sin z e^-gamma and cos z e^-gamma from E1 = e^(-Im z - gamma),
  /// E2 = e^(Im z - gamma) and one sine and cosine of Re z.
  static std::pair<Complex<T>, Complex<T>> sin_cos_scaled(const Complex<T>& z, const T& gamma) {
    const T e1 = std::exp((-z.im) - gamma);
    const T e2 = std::exp(z.im - gamma);
    const auto [sr, cr] = sin_cos(z.re);
    return {Complex<T>{(sr * (e1 + e2)) / 2.0, (cr * (e2 - e1)) / 2.0},
            Complex<T>{(cr * (e1 + e2)) / 2.0, (sr * (e1 - e2)) / 2.0}};
  }

  static void ratios_real(std::vector<T>& out, std::size_t n, const T& x) {
    mie::kernel::ratios_real(out, n, x);
  }
  static void ratios_complex(std::vector<Complex<T>>& out, std::size_t n, const Complex<T>& z) {
    mie::kernel::ratios_complex(out, n, z);
  }

  static Result<Rule<T>> rule(std::size_t points) {
    return special::gauss_legendre::gauss_legendre<double>(points);
  }
};

/// Double-double: every decision in (hi, lo) order, products with the
/// reciprocals of the scale factors, sine and cosine of z from exps_scaled,
/// the 104-bit ratio recurrences and the node-by-node double-double rule.
template <>
struct Member<DoubleDouble> : DirectOrders<DoubleDouble> {
  using T = DoubleDouble;
  static constexpr double series_tolerance = 0x1p-112;
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::DD_START;

  /// Unordered (a NaN part): both a, or both b when a.hi is NaN. Equal: both
  /// that value, except that between zeros of opposite sign rmin is the
  /// negative one.
  static std::pair<T, T> semi_axes(const T& a, const T& b) {
    const bool unordered =
        std::isnan(a.hi) || std::isnan(a.lo) || std::isnan(b.hi) || std::isnan(b.lo);
    if (unordered) return std::isnan(a.hi) ? std::pair{b, b} : std::pair{a, a};
    if (a < b) return {a, b};
    if (b < a) return {b, a};
    if (std::signbit(a.hi) != std::signbit(b.hi)) {
      return std::signbit(a.hi) ? std::pair{a, b} : std::pair{b, a};
    }
    return {a, a};
  }
  /// The smaller hi, then the smaller lo; a NaN hi loses; on full equality a
  /// when the sign bit of a.hi is set, else b.
  static T series_rmin(const T& a, const T& b) {
    if (std::isnan(a.hi)) return b;
    if (std::isnan(b.hi)) return a;
    if (a.hi < b.hi) return a;
    if (b.hi < a.hi) return b;
    if (a.lo < b.lo) return a;
    if (b.lo < a.lo) return b;
    return std::signbit(a.hi) ? a : b;
  }
  static T running_max(const T& acc, const T& v) {
    if (std::isnan(v.hi)) return acc;
    if (std::isnan(acc.hi)) return v;
    return v > acc ? v : acc;
  }

  static T by_scale(const T& x, const T& /*s*/, const T& r) { return x * r; }
  static Complex<T> by_scale(const Complex<T>& z, const T& /*s*/, const T& r) {
    return {z.re * r, z.im * r};
  }
  static T by_length(const T& x, const T& /*s*/, const T& r) { return x * r; }

  /// e^-h: exp_reduced times 2^k while -708 <= h.hi <= 670, exp_wide beyond;
  /// DoubleDouble::exp applies exactly that rule to -h.
  static T exp_neg(const T& h) { return T::exp(-h); }

  /// sin z e^-gamma = (0.5 Im D, -0.5 Re D) with D = E+ - E-, and
  /// cos z e^-gamma = 0.5 (E+ + E-), from one exps_scaled.
  static std::pair<Complex<T>, Complex<T>> sin_cos_scaled(const Complex<T>& z, const T& gamma) {
    const auto [ep, em] = functions::exps_scaled(z, gamma);
    const Complex<T> d = ep - em;
    const Complex<T> c = ep + em;
    const T half(0.5);
    const T minus_half(-0.5);
    return {Complex<T>{half * d.im, minus_half * d.re}, Complex<T>{c.re * half, c.im * half}};
  }

  static void ratios_real(std::vector<T>& out, std::size_t n, const T& x) {
    mie::kernel::ratios_real(out, n, x);
  }
  static void ratios_complex(std::vector<Complex<T>>& out, std::size_t n, const Complex<T>& z) {
    mie::kernel::ratios_complex(out, n, z);
  }

  static Result<Rule<T>> rule(std::size_t points) { return gauss_legendre_dd_cached(points); }
};

/// Dual<double, 4>: the f64 member's operations on the values, so that every
/// value part is the f64 kernel's bit for bit, with the partials carried by
/// the dual rules. Decisions read values only: the semi-axes and the running
/// maximum of the series bounds pick a whole dual by its value (a NaN value
/// loses); on equal values the semi-axes are both a when the sign bits agree,
/// else both b, and the running maximum keeps its operand unless the sign bits
/// differ.
template <>
struct Member<scalar::DualF64> : DirectOrders<scalar::DualF64> {
  using T = scalar::DualF64;
  static constexpr double series_tolerance = 0x1p-60;
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::F64_START;

  static std::pair<T, T> semi_axes(const T& a, const T& b) {
    if (std::isnan(a.value)) return {b, b};
    if (std::isnan(b.value)) return {a, a};
    if (a.value < b.value) return {a, b};
    if (b.value < a.value) return {b, a};
    return std::signbit(a.value) == std::signbit(b.value) ? std::pair{a, a} : std::pair{b, b};
  }
  static T series_rmin(const T& a, const T& b) { return semi_axes(a, b).first; }
  static T running_max(const T& acc, const T& v) {
    if (std::isnan(v.value)) return acc;
    if (std::isnan(acc.value) || v.value > acc.value) return v;
    if (v.value == acc.value && std::signbit(v.value) != std::signbit(acc.value)) return v;
    return acc;
  }

  static T by_scale(const T& x, const T& s, const T& /*r*/) { return x / s; }
  static Complex<T> by_scale(const Complex<T>& z, const T& s, const T& /*r*/) {
    return {z.re / s, z.im / s};
  }
  static T by_length(const T& x, const T& s, const T& /*r*/) { return x / s; }

  static T exp_neg(const T& h) { return exp(-h); }

  /// The f64 formula: (sin Re z (E1 + E2)/2, cos Re z (E2 - E1)/2) and
  /// (cos Re z (E1 + E2)/2, sin Re z (E1 - E2)/2), E1 = e^(-Im z - gamma),
  /// E2 = e^(Im z - gamma).
  static std::pair<Complex<T>, Complex<T>> sin_cos_scaled(const Complex<T>& z, const T& gamma) {
    const T e1 = exp((-z.im) - gamma);
    const T e2 = exp(z.im - gamma);
    const auto [sr, cr] = sin_cos(z.re);
    return {Complex<T>{(sr * (e1 + e2)) * 0.5, (cr * (e2 - e1)) * 0.5},
            Complex<T>{(cr * (e1 + e2)) * 0.5, (sr * (e1 - e2)) * 0.5}};
  }

  static void ratios_real(std::vector<T>& out, std::size_t n, const T& x) {
    mie::kernel::ratios_real(out, n, x);
  }
  static void ratios_complex(std::vector<Complex<T>>& out, std::size_t n, const Complex<T>& z) {
    mie::kernel::ratios_complex(out, n, z);
  }

  /// The f64 rule with zero partials.
  static Result<Rule<T>> rule(std::size_t points) {
    return special::gauss_legendre::gauss_legendre<T>(points);
  }
};

/// Dual<DoubleDouble, 4>: decisions on the values in (hi, lo) order, the
/// double-double member's rule and exponentials, and its own evaluation
/// orders: D = (b^2 sin) sin + (a^2 x) x, products with 1/r where the other
/// members divide by r, A = W r^2, and quotients (not reciprocals) by the
/// series length scale. Semi-axes: a NaN hi is passed over; equal values give
/// a, except that between zeros of opposite sign rmin is the negative one.
template <>
struct Member<scalar::DualDD> {
  using T = scalar::DualDD;
  static constexpr double series_tolerance = 0x1p-112;
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::DD_START;

  static std::pair<T, T> semi_axes(const T& a, const T& b) {
    if (std::isnan(a.value.hi)) return {b, b};
    if (std::isnan(b.value.hi)) return {a, a};
    if (a.value < b.value) return {a, b};
    if (b.value < a.value) return {b, a};
    if (a.value.hi == 0.0 && b.value.hi == 0.0 &&
        std::signbit(a.value.hi) != std::signbit(b.value.hi)) {
      return std::signbit(a.value.hi) ? std::pair{a, b} : std::pair{b, a};
    }
    return {a, a};
  }
  static T series_rmin(const T& a, const T& b) { return semi_axes(a, b).first; }
  static T running_max(const T& acc, const T& v) {
    if (std::isnan(v.value.hi)) return acc;
    if (std::isnan(acc.value.hi)) return v;
    return semi_axes(acc, v).second;
  }

  static T by_scale(const T& x, const T& /*s*/, const T& r) { return x * r; }
  static Complex<T> by_scale(const Complex<T>& z, const T& /*s*/, const T& r) {
    return {z.re * r, z.im * r};
  }
  static T by_length(const T& x, const T& s, const T& /*r*/) { return x / s; }

  /// The dual exponential: the double-double e^-h (exp_reduced while
  /// -708 <= h.hi <= 670, exp_wide beyond) with the chain rule.
  static T exp_neg(const T& h) { return exp(-h); }

  /// sin z e^-gamma = ((Im D) 0.5, (-Re D) 0.5) with D = E+ - E-, and
  /// cos z e^-gamma = ((Re E+ + Re E-) 0.5, (Im E+ + Im E-) 0.5).
  static std::pair<Complex<T>, Complex<T>> sin_cos_scaled(const Complex<T>& z, const T& gamma) {
    const auto [ep, em] = functions::exps_scaled(z, gamma);
    const Complex<T> d = ep - em;
    const T half = scalar::constant<T>(0.5);
    return {Complex<T>{d.im * half, (-d.re) * half},
            Complex<T>{(ep.re + em.re) * half, (ep.im + em.im) * half}};
  }

  static void ratios_real(std::vector<T>& out, std::size_t n, const T& x) {
    mie::kernel::ratios_real(out, n, x);
  }
  static void ratios_complex(std::vector<Complex<T>>& out, std::size_t n, const Complex<T>& z) {
    mie::kernel::ratios_complex(out, n, z);
  }

  /// The double-double rule with zero partials.
  static Result<Rule<T>> rule(std::size_t points) {
    VANTOK_TRY(rule, gauss_legendre_dd_cached(points));
    Rule<T> out;
    out.first.reserve(rule.first.size());
    out.second.reserve(rule.second.size());
    for (const DoubleDouble& v : rule.first) out.first.push_back(T::constant(v));
    for (const DoubleDouble& v : rule.second) out.second.push_back(T::constant(v));
    return out;
  }

  static T surface_denominator(const T& a2, const T& b2, const T& x, const T& /*x2*/,
                               const T& st) {
    return (b2 * st) * st + (a2 * x) * x;
  }
  /// v (1/r).
  static T over_r(const T& v, const T& /*r*/, const T& inv_r) { return v * inv_r; }
  static Complex<T> over_r(const Complex<T>& v, const T& /*r*/, const T& inv_r) {
    return {v.re * inv_r, v.im * inv_r};
  }
  static T regular_weight(const T& r2, const T& w) { return w * r2; }
};

/// What the generic kernel needs of a scalar beyond its arithmetic.
template <class T>
concept KernelScalar = scalar::Scalar<T> && requires(const T& a, const Complex<T>& z, std::size_t n,
                                                     std::vector<T>& rv,
                                                     std::vector<Complex<T>>& cv) {
  { Member<T>::series_tolerance } -> std::convertible_to<double>;
  { Member<T>::start_rule } -> std::convertible_to<const mie::kernel::StartRule&>;
  { Member<T>::semi_axes(a, a) } -> std::same_as<std::pair<T, T>>;
  { Member<T>::series_rmin(a, a) } -> std::same_as<T>;
  { Member<T>::running_max(a, a) } -> std::same_as<T>;
  { Member<T>::by_scale(a, a, a) } -> std::same_as<T>;
  { Member<T>::by_scale(z, a, a) } -> std::same_as<Complex<T>>;
  { Member<T>::by_length(a, a, a) } -> std::same_as<T>;
  { Member<T>::exp_neg(a) } -> std::same_as<T>;
  { Member<T>::sin_cos_scaled(z, a) } -> std::same_as<std::pair<Complex<T>, Complex<T>>>;
  Member<T>::ratios_real(rv, n, a);
  Member<T>::ratios_complex(cv, n, z);
  { Member<T>::rule(n) } -> std::same_as<Result<Rule<T>>>;
  { Member<T>::surface_denominator(a, a, a, a, a) } -> std::same_as<T>;
  { Member<T>::over_r(a, a, a) } -> std::same_as<T>;
  { Member<T>::over_r(z, a, a) } -> std::same_as<Complex<T>>;
  { Member<T>::regular_weight(a, a) } -> std::same_as<T>;
};

}  // namespace vantok::tmatrix::kernel::detail
