#pragma once
// The EBCM mode kernel written once over the scalar: the driver (geometry
// constants, scales, series tables, quadrature rule, chunked parallel sums in a
// fixed order, assembly with the variant choice) and the node integrand
// (radial functions of r and of z = eta r, angular functions, the regular
// element and the three evaluations of the outgoing part of every element).
//
// The surface integrals of Waterman's extended boundary condition method are
// taken over the polar angle with the Gauss-Legendre nodes cos(theta) in (0, 1)
// only: the spheroid is symmetric about its equator, so each parity block
// doubles the upper half.
//
// The members differ only through the policy Member<T>: how two semi-axes are
// ordered, how a scale factor is applied (a division in f64, a product with its
// double-double reciprocal), how the regular functions of z get their sine and
// cosine, which start rule the ratio recurrences use and how the quadrature
// rule is made. Everything else is the same template.

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/tmatrix/functions.hpp"
#include "vantok/tmatrix/kernel.hpp"
#include "vantok/tmatrix/regular.hpp"

namespace vantok::tmatrix::kernel::detail {

using scalar::math::abs;
using scalar::math::exp;
using scalar::math::hypot;
using scalar::math::powi;
using scalar::math::recip;
using scalar::math::sin_cos;
using scalar::math::sqrt;

/// A three-component complex vector: radial, polar and azimuthal components of
/// a vector spherical function at the surface point.
template <class T>
using Vec3 = std::array<Complex<T>, 3>;

/// A quadrature pair (cos theta, weight).
template <class T>
using Node = std::pair<T, T>;

/// A rule: (nodes, weights), ascending nodes.
template <class T>
using Rule = std::pair<std::vector<T>, std::vector<T>>;

/// Terms per series order beyond which a coefficient table is cut short and
/// marked unusable. The series of the validated domain need a few hundred.
inline constexpr std::size_t MAX_SERIES_TERMS = 4096;

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
  static constexpr const char* name = "f64";
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::F64_START;

  static T from_int(std::int64_t n) { return static_cast<double>(n); }
  static T pi() { return 3.141592653589793; }
  static bool finite(const T& v) { return std::isfinite(v); }
  static bool is_zero(const T& v) { return v == 0.0; }
  static bool greater(const T& a, const T& b) { return a > b; }

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
  static constexpr const char* name = "double-double";
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::DD_START;

  static T from_int(std::int64_t n) { return T(static_cast<double>(n)); }
  static T pi() { return T(3.141592653589793, 1.2246467991473532e-16); }
  static bool finite(const T& v) { return std::isfinite(v.hi); }
  static bool is_zero(const T& v) { return v.hi == 0.0 && v.lo == 0.0; }
  static bool greater(const T& a, const T& b) { return a > b; }

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
  static constexpr const char* name = "dual f64";
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::F64_START;

  static T from_int(std::int64_t n) { return T::constant(static_cast<double>(n)); }
  static T pi() { return T::constant(3.141592653589793); }
  static bool finite(const T& v) { return std::isfinite(v.value); }
  static bool is_zero(const T& v) { return v.value == 0.0; }
  static bool greater(const T& a, const T& b) { return a.value > b.value; }

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
  static constexpr const char* name = "dual double-double";
  /// The start rule of its ratio recurrences.
  static constexpr const mie::kernel::StartRule& start_rule = mie::kernel::DD_START;

  static T from_int(std::int64_t n) { return scalar::constant<T>(static_cast<double>(n)); }
  static T pi() { return T::constant(DoubleDouble(3.141592653589793, 1.2246467991473532e-16)); }
  static bool finite(const T& v) { return std::isfinite(v.value.hi); }
  static bool is_zero(const T& v) { return v.value.hi == 0.0 && v.value.lo == 0.0; }
  static bool greater(const T& a, const T& b) { return a.value > b.value; }

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
  { Member<T>::name } -> std::convertible_to<const char*>;
  { Member<T>::start_rule } -> std::convertible_to<const mie::kernel::StartRule&>;
  { Member<T>::from_int(std::int64_t{1}) } -> std::same_as<T>;
  { Member<T>::pi() } -> std::same_as<T>;
  { Member<T>::finite(a) } -> std::same_as<bool>;
  { Member<T>::is_zero(a) } -> std::same_as<bool>;
  { Member<T>::greater(a, a) } -> std::same_as<bool>;
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

/// Where the accumulators of one active mode live in the flat partial arrays.
struct ActiveMode {
  std::size_t m = 0;
  std::size_t n_from = 0;
  std::array<std::size_t, 2> offset{};
  std::array<std::size_t, 2> k{};
};

/// The flat sums of one chunk (or of the whole quadrature): per element of
/// every active mode, index 0 the regular part and 1 + v variant v, with the
/// matching magnitude sums. Only active modes have storage.
template <class T>
struct Sums {
  std::array<std::vector<Complex<T>>, 4> value;
  std::array<std::vector<T>, 4> magnitude;

  void assign_zero(std::size_t elements) {
    const T zero{};
    for (auto& v : value) v.assign(elements, Complex<T>{zero, zero});
    for (auto& v : magnitude) v.assign(elements, zero);
  }
  /// this += other for the elements begin..end.
  void add(const Sums& other, std::size_t begin, std::size_t end) {
    for (std::size_t a = 0; a < 4; ++a) {
      VANTOK_ASSERT(end <= value[a].size() && end <= other.value[a].size() &&
                    end <= magnitude[a].size() && end <= other.magnitude[a].size());
      Complex<T>* dst = value[a].data();
      const Complex<T>* src = other.value[a].data();
      for (std::size_t e = begin; e < end; ++e) dst[e] = dst[e] + src[e];
      T* mdst = magnitude[a].data();
      const T* msrc = other.magnitude[a].data();
      for (std::size_t e = begin; e < end; ++e) mdst[e] = mdst[e] + msrc[e];
    }
  }
};

/// The product kinds of the outgoing part that an element of each parity of
/// n_i - n_j reads, in the order of the coefficient table: the same kinds
/// (0, 0) and (1, 1) pair orders of equal parity, mixed kinds orders of
/// opposite parity. The other four kinds are never read and never formed.
inline constexpr std::array<std::array<std::size_t, 4>, 2> KINDS{{{1, 2, 4, 6}, {0, 3, 5, 7}}};

/// Quadrature nodes per chunk.
inline constexpr std::size_t CHUNK = 8;

/// Everything the node integrand reads, shared read-only by all chunks.
template <class T>
struct Context {
  std::size_t nmax = 0;
  Spheroid<T> spheroid;
  T a2{}, b2{}, ab{};
  Complex<T> eta;
  const functions::Scales<T>* scales = nullptr;
  std::vector<T> inv_out;
  std::vector<T> inv_reg;
  const regular::Series<T>* series = nullptr;
  T inv_series_rmin{};
  /// 1 / (m rmin) of the series, the scale of the regular derivative forms.
  Complex<T> inv_series_zeta;
  /// The integrand's own rmin, the length unit of rho = r / rmin.
  T node_rmin{};
  std::size_t n_low = 0;
  /// 1/b^2 - 1/a^2.
  T g0{};
  std::vector<T> norm;
  std::size_t regular_limit = std::numeric_limits<std::size_t>::max();
  const Choice* choice = nullptr;
  /// With a record: per order, whether a wanted series form has its row
  /// (series_rows) or its column (series_columns) there; empty without one.
  std::vector<std::uint8_t> series_rows;
  std::vector<std::uint8_t> series_columns;
  /// Per order pair (n_i (N + 1) + n_j), its place among the pairs with
  /// series forms (those the integrand evaluates), NO_FORMS for the others;
  /// form_pairs of them. The chunk tables keep their forms at
  /// ((place CHUNK + node) 4 + slot), and one spare pair of zeros last.
  std::vector<std::uint32_t> form_place;
  std::size_t form_pairs = 0;
  static constexpr std::uint32_t NO_FORMS = std::numeric_limits<std::uint32_t>::max();
  std::vector<ActiveMode> active;

  std::size_t form_base(std::size_t ni, std::size_t nj, std::size_t node) const {
    const std::uint32_t place = form_place[ni * (nmax + 1) + nj];
    VANTOK_ASSERT(place != NO_FORMS);
    return (place * CHUNK + node) * 4;
  }
  std::size_t spare_form() const { return form_pairs * CHUNK * 4; }
  std::vector<RowLists> rows;
};


/// What one node of a chunk keeps for the element loops: its surface point
/// and weights and its radial functions.
template <class T>
struct NodeTables {
  T x{}, st{}, r{}, s{}, g{}, big_w{}, big_a{};
  std::vector<Complex<T>> h, hb, hc, j, jb, jc, u, ub, uc;
};

/// An array of n values left uninitialised (every entry is written before it
/// is read): the chunk tables are tens of megabytes, and zero-filling them for
/// every kernel call would cost as much as some of the calls' work. The value
/// types are implicit-lifetime types (aggregates of doubles), which storage
/// from std::malloc holds without construction.
template <class V>
class RawArray {
 public:
  void assign(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_destructible_v<V>);
    if (n == size_) return;
    data_.reset(static_cast<V*>(std::malloc(sat_mul(n, sizeof(V)))));
    if (n != 0 && !data_) throw std::bad_alloc();
    size_ = n;
  }
  V* data() { return data_.get(); }
  const V* data() const { return data_.get(); }
  V& operator[](std::size_t i) { return data_.get()[i]; }
  const V& operator[](std::size_t i) const { return data_.get()[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Free {
    void operator()(V* p) const { std::free(p); }
  };
  std::unique_ptr<V, Free> data_;
  std::size_t size_ = 0;
};

/// The tables of one chunk, filled node by node (each node writes only its own
/// entries, so that the nodes of a chunk can be filled in parallel) and then
/// read by every mode's element loops. The outgoing-part products, their
/// bounds and their series forms are kept for every node, four per order pair
/// and node: index ((n_i N + n_j) CHUNK + node) 4 + slot, so that an element
/// finds the values of all its nodes side by side.
template <class T>
struct ChunkTables {
  std::array<NodeTables<T>, CHUNK> nodes;
  RawArray<Complex<T>> products;
  /// |Re| + |Im| of each product, the bound of variant 0.
  RawArray<T> product_bounds;
  RawArray<regular::Forms<T>> forms;

  /// Storage for nmax and form_pairs pairs with series forms (and the spare).
  void reserve(std::size_t nmax, std::size_t form_pairs) {
    const std::size_t n = nmax + 1;
    const T zero{};
    const Complex<T> czero{zero, zero};
    for (NodeTables<T>& t : nodes) {
      for (auto* f : {&t.h, &t.hb, &t.hc, &t.j, &t.jb, &t.jc, &t.u, &t.ub, &t.uc}) {
        f->assign(n, czero);
      }
    }
    products.assign(4 * CHUNK * n * n);
    product_bounds.assign(4 * CHUNK * n * n);
    forms.assign(4 * CHUNK * (form_pairs + 1));
    // The spare pair, read by lanes without forms, holds zeros.
    for (std::size_t i = 4 * CHUNK * form_pairs; i < forms.size(); ++i) {
      forms[i] = regular::Forms<T>{czero, czero, zero, zero};
    }
  }
};

/// The series of four nodes side by side, for the f64 member's series forms in
/// lanes (detail_kernel_lanes.inc): each entry of a NodeSeries list as four
/// doubles (lane l from node l), in one buffer.
struct Series4 {
  struct Real {
    std::int64_t offset = 0;
    std::size_t length = 0;
    std::size_t coefficients = 0, sums = 0, bounds = 0;
  };
  struct Terms {
    std::int64_t offset = 0;
    std::size_t length = 0;
    std::size_t prefix_re = 0, prefix_im = 0, prefix_bounds = 0, suffix_re = 0, suffix_im = 0, suffix_bounds = 0;
  };
  std::vector<std::array<Real, 3>> real;
  std::vector<std::array<Terms, 3>> terms;
  std::vector<double> values;

  /// Appends the four nodes' values of one list entry by entry.
  template <class Get>
  std::size_t add(std::size_t length, Get get) {
    const std::size_t start = values.size() / 4;
    for (std::size_t i = 0; i < length; ++i) {
      for (std::size_t l = 0; l < 4; ++l) values.push_back(get(l, i));
    }
    return start;
  }

  void fill(const regular::NodeSeries<double>* const (&ns)[4]) {
    const regular::NodeSeries<double>& first = *ns[0];
    real.assign(first.real_series.size(), {});
    terms.assign(first.complex_series.size(), {});
    values.clear();
    std::size_t total = 0;
    for (std::size_t k = 0; k < first.real_series.size(); ++k) {
      for (std::size_t f = 0; f < 3; ++f) total += 3 * first.real_series[k][f].coefficients.size() + 2;
    }
    for (std::size_t k = 0; k < first.complex_series.size(); ++k) {
      for (std::size_t c = 0; c < 3; ++c) total += 6 * first.complex_series[k][c].prefix_sums.size() + 3;
    }
    values.reserve(4 * total);
    for (std::size_t k = 0; k < first.real_series.size(); ++k) {
      for (std::size_t f = 0; f < 3; ++f) {
        Real& r = real[k][f];
        r.offset = first.real_series[k][f].offset;
        r.length = first.real_series[k][f].coefficients.size();
        if (r.length == 0) continue;
        r.coefficients = add(r.length, [&](std::size_t l, std::size_t i) { return ns[l]->real_series[k][f].coefficients[i]; });
        r.sums = add(r.length + 1, [&](std::size_t l, std::size_t i) { return ns[l]->real_suffixes[k][f].sums[i]; });
        r.bounds = add(r.length + 1, [&](std::size_t l, std::size_t i) { return ns[l]->real_suffixes[k][f].bounds[i]; });
      }
    }
    for (std::size_t k = 0; k < first.complex_series.size(); ++k) {
      for (std::size_t c = 0; c < 3; ++c) {
        Terms& t = terms[k][c];
        const regular::JTerms<double>& j = first.complex_series[k][c];
        t.offset = j.offset;
        t.length = j.prefix_sums.size();
        if (j.suffix_sums.empty()) continue;
        const auto list = [&](std::size_t l) -> const regular::JTerms<double>& { return ns[l]->complex_series[k][c]; };
        t.prefix_re = add(t.length, [&](std::size_t l, std::size_t i) { return list(l).prefix_sums[i].re; });
        t.prefix_im = add(t.length, [&](std::size_t l, std::size_t i) { return list(l).prefix_sums[i].im; });
        t.prefix_bounds = add(t.length, [&](std::size_t l, std::size_t i) { return list(l).prefix_bounds[i]; });
        t.suffix_re = add(t.length + 1, [&](std::size_t l, std::size_t i) { return list(l).suffix_sums[i].re; });
        t.suffix_im = add(t.length + 1, [&](std::size_t l, std::size_t i) { return list(l).suffix_sums[i].im; });
        t.suffix_bounds = add(t.length + 1, [&](std::size_t l, std::size_t i) { return list(l).suffix_bounds[i]; });
      }
    }
  }
};

/// Series4 for the f64 member, nothing for the others.
template <class T>
struct FourNodeSeries {
  struct type {};
};
template <>
struct FourNodeSeries<double> {
  using type = Series4;
};

/// The ratio buffers of the radial recurrences of one node, and the series
/// of the nodes of a task (per worker, reused).
template <class T>
struct NodeScratch {
  std::vector<T> alpha;
  std::vector<Complex<T>> sigma;
  std::array<regular::NodeSeries<T>, 4> series;
  /// The four-node series of the widest code (f64 only).
  typename FourNodeSeries<T>::type series4;
};

/// The angular functions of one mode at one node and the vector functions
/// built from them.
template <class T>
struct ModeNode {
  std::vector<T> pi, tau, gld;
  std::array<std::vector<Vec3<T>>, 6> v;
};

/// The mode tables of one chunk (per worker): every node's ModeNode for the
/// mode `m` of the chunk numbered `chunk`, kept while a worker's consecutive
/// tasks share both.
template <class T>
struct ModeTables {
  functions::Angular<T> angular;
  std::array<ModeNode<T>, CHUNK> nodes;
  std::size_t chunk = std::numeric_limits<std::size_t>::max();
  std::size_t m = 0;

  void reserve(std::size_t nmax) {
    const std::size_t n = nmax + 1;
    const T zero{};
    const Complex<T> czero{zero, zero};
    for (ModeNode<T>& t : nodes) {
      for (auto* f : {&t.pi, &t.tau, &t.gld}) f->assign(n, zero);
      for (auto& f : t.v) f.assign(n, Vec3<T>{czero, czero, czero});
    }
  }
};

/// Inputs of one kernel call.
template <class T>
struct KernelCall {
  Spheroid<T> spheroid;
  Complex<T> eta;
  std::size_t nmax = 0;
  std::size_t ngauss = 0;
  Mask mask;
  const Choice* choice = nullptr;
  std::size_t regular_limit = std::numeric_limits<std::size_t>::max();
  /// At most this many bytes of chunk sums and tables alive at once; 0 = as
  /// many as a lease of the work budget covers. Any value gives the same bits.
  std::size_t partial_budget = 0;
  /// Bytes of work arrays the caller keeps alive during the call, counted
  /// with the kernel's own against the work budget.
  std::size_t held_bytes = 0;
};

/// The call of one public member: its inputs, the rest defaulted.
template <class T>
KernelCall<T> kernel_call(const Spheroid<T>& spheroid, const Complex<T>& eta, std::size_t nmax,
                          std::size_t ngauss, Mask mask, const Choice* choice = nullptr,
                          std::size_t regular_limit = std::numeric_limits<std::size_t>::max()) {
  KernelCall<T> call;
  call.spheroid = spheroid;
  call.eta = eta;
  call.nmax = nmax;
  call.ngauss = ngauss;
  call.mask = mask;
  call.choice = choice;
  call.regular_limit = regular_limit;
  return call;
}

/// The driver: all_modes_masked over T.
template <KernelScalar T>
Result<std::vector<ModeMatrices<T>>> run_kernel(const KernelCall<T>& call);

/// The series coefficient tables of the driver (public for tests).
template <KernelScalar T>
regular::Series<T> series_tables(const functions::Scales<T>& scales, std::size_t nmax,
                                 const T& rmin, const T& rmax, const Complex<T>& eta);

#define VANTOK_TMATRIX_KERNEL_DETAIL(T)                                                    \
  extern template Result<std::vector<ModeMatrices<T>>> run_kernel<T>(const KernelCall<T>&); \
  extern template regular::Series<T> series_tables<T>(const functions::Scales<T>&,         \
                                                      std::size_t, const T&, const T&,     \
                                                      const Complex<T>&);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_KERNEL_DETAIL)
#undef VANTOK_TMATRIX_KERNEL_DETAIL

}  // namespace vantok::tmatrix::kernel::detail
