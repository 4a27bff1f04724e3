#pragma once
// Forward-mode dual numbers: a value with N first-order partial derivatives,
// over double or DoubleDouble, so that generic numerical code carries the
// derivatives of its result with respect to N inputs.
//
// Every operation has two paths. The fast path applies the textbook rule and
// is expanded inline. The special path, an out-of-line cold routine named
// after the operation with the ending _special, is taken only when the value,
// or a scale factor of the rule, is non-finite or outside the normal range; on
// it a partial that is exactly zero contributes exactly +0.0 instead of
// 0 * inf = NaN, so a direction on which the value does not depend stays zero
// even when the value overflows. A NaN partial is never masked.
//
// Mixed operations are explicit: a plain constant enters as a dual with +0.0
// partials (Dual::constant), which changes bits (x + 1 has partials d + 0.0,
// turning -0.0 into +0.0); the one mixed operator is Dual<double> * double.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "vantok/scalar/dd.hpp"
#include "vantok/scalar/traits.hpp"

namespace vantok::scalar::dual {

using dd::DoubleDouble;

/// Partials first, value last: Complex<Dual<T, 4>> is re-partials, re-value,
/// im-partials, im-value.
template <class T, std::size_t N = 4>
struct Dual {
  std::array<T, N> partials{};
  T value{};

  /// The constant c: value c, every partial +0.0.
  static constexpr Dual constant(const T& c) noexcept {
    Dual d;
    d.value = c;
    return d;
  }
  /// The independent variable number `slot`: value v, partial `slot` 1.
  static constexpr Dual variable(const T& v, std::size_t slot) noexcept {
    Dual d;
    d.value = v;
    d.partials[slot] = T(1.0);
    return d;
  }
};

static_assert(std::is_standard_layout_v<Dual<double, 4>> && std::is_trivially_copyable_v<Dual<double, 4>>);
static_assert(sizeof(Dual<double, 4>) == 5 * sizeof(double));
static_assert(sizeof(Dual<DoubleDouble, 4>) == 10 * sizeof(double));
static_assert(std::is_standard_layout_v<Dual<DoubleDouble, 4>>);

/// True when q and r keep the quotient's fast path: |q| <= MAX and
/// SAFE_MIN <= |r| <= MAX, exact comparisons (false for NaN).
template <class T>
inline bool quotient_in_range(const T& q, const T& r) noexcept {
  using R = ScalarTraits<T>;
  const T aq = R::abs(q);
  const T ar = R::abs(r);
  return aq <= R::MAX && ar <= R::MAX && ar >= R::SAFE_MIN;
}

/// A partial's contribution d f on a special path: exactly +0.0 when d is zero
/// (whatever f is, so never 0 * inf), else the product with d on the left. A
/// NaN d is not zero and is never masked.
template <class T>
inline T masked(const T& d, const T& f) noexcept {
  return ScalarTraits<T>::is_zero(d) ? ScalarTraits<T>::ZERO : d * f;
}

// ---------------------------------------------------------------------------
// Arithmetic.

template <class T, std::size_t N>
inline Dual<T, N> operator+(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] + b.partials[i];
  out.value = a.value + b.value;
  return out;
}

template <class T, std::size_t N>
inline Dual<T, N> operator-(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] - b.partials[i];
  out.value = a.value - b.value;
  return out;
}

template <class T, std::size_t N>
inline Dual<T, N> operator-(const Dual<T, N>& a) noexcept {
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = -a.partials[i];
  out.value = -a.value;
  return out;
}

/// The product's special path, for a non-finite value p: partial i =
/// (a.d_i b.v unless a.d_i is zero) + (b.d_i a.v unless b.d_i is zero), a
/// masked term being +0.0.
template <class T, std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<T, N> mul_special(const Dual<T, N>& a, const Dual<T, N>& b, const T& p) noexcept {
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = masked(a.partials[i], b.value) + masked(b.partials[i], a.value);
  out.value = p;
  return out;
}

/// a b: partials a.d_i b.v + a.v b.d_i (no fma), or mul_special when a.v b.v
/// is not finite.
template <class T, std::size_t N>
inline Dual<T, N> operator*(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  using R = ScalarTraits<T>;
  const T p = a.value * b.value;
  if (!R::is_finite(p)) return mul_special(a, b, p);
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] * b.value + a.value * b.partials[i];
  out.value = p;
  return out;
}

/// The quotient's special path: t_i = a.d_i - (b.d_i q unless b.d_i is zero),
/// partial i = t_i / b.v unless t_i is zero. Divides by b.v; 1/b.v is not used.
template <class T, std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<T, N> div_special(const Dual<T, N>& a, const Dual<T, N>& b, const T& q) noexcept {
  using R = ScalarTraits<T>;
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    const T t = a.partials[i] - masked(b.partials[i], q);
    out.partials[i] = R::is_zero(t) ? R::ZERO : R::div(t, b.value);
  }
  out.value = q;
  return out;
}

/// a / b: q = a.v/b.v, r = 1/b.v, partials (a.d_i - q b.d_i) r; div_special
/// unless |q| <= MAX and SAFE_MIN <= |r| <= MAX, so also for a finite divisor
/// above 1/SAFE_MIN.
template <class T, std::size_t N>
inline Dual<T, N> operator/(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  using R = ScalarTraits<T>;
  const T q = R::div(a.value, b.value);
  const T r = R::recip(b.value);
  if (!quotient_in_range(q, r)) return div_special(a, b, q);
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = (a.partials[i] - q * b.partials[i]) * r;
  out.value = q;
  return out;
}

/// a s for a non-finite s: value s a.v, partial i = s a.d_i unless a.d_i is zero.
template <std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<double, N> mul_f64_special(const Dual<double, N>& a, double s) noexcept {
  Dual<double, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] == 0.0 ? 0.0 : s * a.partials[i];
  out.value = s * a.value;
  return out;
}

/// a s with a plain double s: value a.v s, partials a.d_i s; the special path
/// is chosen by s alone (non-finite s), whatever the product.
template <std::size_t N>
inline Dual<double, N> operator*(const Dual<double, N>& a, double s) noexcept {
  if (!std::isfinite(s)) return mul_f64_special(a, s);
  Dual<double, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] * s;
  out.value = a.value * s;
  return out;
}

template <class T, std::size_t N>
inline Dual<T, N>& operator+=(Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a = a + b;
}
template <class T, std::size_t N>
inline Dual<T, N>& operator-=(Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a = a - b;
}
template <class T, std::size_t N>
inline Dual<T, N>& operator*=(Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a = a * b;
}
template <class T, std::size_t N>
inline Dual<T, N>& operator/=(Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a = a / b;
}

/// Comparisons look at the values only (exactly, for double-double values);
/// an unordered value makes every comparison false (and != true).
template <class T, std::size_t N>
inline bool operator==(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a.value == b.value;
}
template <class T, std::size_t N>
inline bool operator!=(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return !(a.value == b.value);
}
template <class T, std::size_t N>
inline bool operator<(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a.value < b.value;
}
template <class T, std::size_t N>
inline bool operator<=(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a.value <= b.value;
}
template <class T, std::size_t N>
inline bool operator>(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a.value > b.value;
}
template <class T, std::size_t N>
inline bool operator>=(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  return a.value >= b.value;
}

/// |x|: value and partials negated when the sign bit of the value is set (-0
/// included), unchanged otherwise.
template <class T, std::size_t N>
inline Dual<T, N> abs(const Dual<T, N>& x) noexcept {
  return ScalarTraits<T>::sign_bit(x.value) ? -x : x;
}

// ---------------------------------------------------------------------------
// Elementary functions: one chain-rule driver with a static special rule.

/// The factor of the plain chain rule's special path: NaN when f is NaN, else f'.
struct PlainRule {
  template <class T, std::size_t N>
  static T factor(const Dual<T, N>& /*x*/, const T& f, const T& fp) noexcept {
    return ScalarTraits<T>::is_nan(f) ? ScalarTraits<T>::NaN : fp;
  }
};

/// ln at a zero of either sign: +inf, as 1/(x.v + 0.0).
struct LogRule {
  template <std::size_t N>
  static double factor(const Dual<double, N>& x, double f, double fp) noexcept {
    if (std::isnan(f)) return std::numeric_limits<double>::quiet_NaN();
    if (x.value == 0.0) return 1.0 / (x.value + 0.0);
    return fp;
  }
};

/// sqrt at a zero of either sign (every part zero): +inf, as 1/(2 sqrt(x.v + 0)).
struct SqrtRule {
  template <class T, std::size_t N>
  static T factor(const Dual<T, N>& x, const T& f, const T& fp) noexcept {
    using R = ScalarTraits<T>;
    if (R::is_nan(f)) return R::NaN;
    if (R::is_exact_zero(x.value)) {
      const T s = R::sqrt(x.value + 0.0);
      return R::recip(s + s);
    }
    return fp;
  }
};

/// The chain rule's special path: F = Rule::factor(x, f, f'), partial i =
/// d_i F unless d_i is zero (+0.0), value f.
template <class Rule, class T, std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<T, N> chain_special(const Dual<T, N>& x, const T& f, const T& fp,
                                                      Rule /*rule*/ = {}) noexcept {
  const T F = Rule::factor(x, f, fp);
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = masked(x.partials[i], F);
  out.value = f;
  return out;
}

/// The chain rule with value f = g(x.v) and factor f' = g'(x.v): partials
/// d_i f' while f is not NaN and f' is finite, else chain_special with Rule.
template <class T, std::size_t N, class Rule = PlainRule>
inline Dual<T, N> chain_or(const Dual<T, N>& x, const T& f, const T& fp, Rule rule = {}) noexcept {
  using R = ScalarTraits<T>;
  if (R::is_nan(f) || !R::is_finite(fp)) return chain_special(x, f, fp, rule);
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = x.partials[i] * fp;
  out.value = f;
  return out;
}

/// The chain rule with the plain special rule.
template <class T, std::size_t N>
inline Dual<T, N> chain(const Dual<T, N>& x, const T& f, const T& fp) noexcept {
  return chain_or(x, f, fp, PlainRule{});
}

/// sqrt: factor 1/(s + s); at +-0 the factor is +inf.
template <class T, std::size_t N>
inline Dual<T, N> sqrt(const Dual<T, N>& x) noexcept {
  using R = ScalarTraits<T>;
  const T s = R::sqrt(x.value);
  return chain_or(x, s, R::recip(s + s), SqrtRule{});
}

/// Natural logarithm (double only): factor 1/v; at +-0 the factor is +inf.
template <std::size_t N>
inline Dual<double, N> ln(const Dual<double, N>& x) noexcept {
  return chain_or(x, std::log(x.value), 1.0 / x.value, LogRule{});
}

/// e^x: the value is its own factor.
template <class T, std::size_t N>
inline Dual<T, N> exp(const Dual<T, N>& x) noexcept {
  const T e = ScalarTraits<T>::exp(x.value);
  return chain(x, e, e);
}

/// (sin x, cos x) with factors cos v and -sin v. Over double-double a value
/// beyond the reduction limit 2^50 gives NaN values.
template <class T, std::size_t N>
inline std::pair<Dual<T, N>, Dual<T, N>> sin_cos(const Dual<T, N>& x) noexcept {
  const auto [s, c] = ScalarTraits<T>::sin_cos(x.value);
  return {chain(x, s, c), chain(x, c, -s)};
}

/// x^n with factor v^(n-1) n (or (p/v) n for n = INT32_MIN); n = 0 gives the
/// value v^0 = 1 with +0.0 partials, whatever the partials.
template <class T, std::size_t N>
inline Dual<T, N> powi(const Dual<T, N>& x, std::int32_t n) noexcept {
  using R = ScalarTraits<T>;
  const T p = R::powi(x.value, n);
  if (n == 0) return Dual<T, N>::constant(p);
  const double nf = static_cast<double>(n);
  const T F = n != std::numeric_limits<std::int32_t>::min() ? R::mul_f64(R::powi(x.value, n - 1), nf)
                                                            : R::mul_f64(R::div(p, x.value), nf);
  return chain(x, p, F);
}

namespace traits {

/// The reciprocal's special path: partial i = -((d_i / v) / v), a zero d_i or
/// a zero first quotient giving w = +0.0 and so the partial -0.0. Two
/// divisions by v: v^2 is never formed.
template <class T, std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<T, N> recip_special(const Dual<T, N>& x, const T& r) noexcept {
  using R = ScalarTraits<T>;
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    T w = R::ZERO;
    if (!R::is_zero(x.partials[i])) {
      const T u = R::div(x.partials[i], x.value);
      if (!R::is_zero(u)) w = R::div(u, x.value);
    }
    out.partials[i] = -w;
  }
  out.value = r;
  return out;
}

/// 1/x: partials -(d_i r) r while SAFE_MIN <= |r| <= MAX, else recip_special.
template <class T, std::size_t N>
inline Dual<T, N> recip(const Dual<T, N>& x) noexcept {
  using R = ScalarTraits<T>;
  const T r = R::recip(x.value);
  const T ar = R::abs(r);
  if (!(ar <= R::MAX && ar >= R::SAFE_MIN)) return recip_special(x, r);
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = (-(x.partials[i] * r)) * r;
  out.value = r;
  return out;
}

/// The hypotenuse's special path: the factors (f_a, f_b) are (0, 0) at h = 0,
/// NaN at a NaN h, (+-1, 0) or (0, +-1) for one infinite input beside a finite
/// one, else a'/h' and b'/h' of the inputs rescaled by 2^-+600. Partial i =
/// a.d_i f_a + b.d_i f_b with zero partials contributing +0.0.
template <class T, std::size_t N>
[[gnu::noinline, gnu::cold]] Dual<T, N> hypot_special(const Dual<T, N>& a, const Dual<T, N>& b, const T& h) noexcept {
  using R = ScalarTraits<T>;
  const T one = R::from_f64(1.0);
  T fa = R::ZERO;
  T fb = R::ZERO;
  bool rescale = false;
  if (R::is_exact_zero(h)) {
    // (0, 0)
  } else if (R::is_nan(h)) {
    fa = R::NaN;
    fb = R::NaN;
  } else if (!R::is_finite(h)) {
    if (!R::is_finite(a.value)) {
      const bool inf_a = !R::is_nan(a.value) && R::is_finite(b.value);
      fa = inf_a ? (R::sign_bit(a.value) ? -one : one) : R::NaN;
      fb = inf_a ? R::ZERO : R::NaN;
    } else if (!R::is_finite(b.value)) {
      const bool inf_b = !R::is_nan(b.value);
      fa = inf_b ? R::ZERO : R::NaN;
      fb = inf_b ? (R::sign_bit(b.value) ? -one : one) : R::NaN;
    } else {
      rescale = true;  // both finite: h overflowed
    }
  } else {
    rescale = true;
  }
  if (rescale) {
    const double sigma = h >= one ? 0x1p-600 : 0x1p600;
    const T as = R::mul_f64(a.value, sigma);
    const T bs = R::mul_f64(b.value, sigma);
    const T hs = R::hypot(as, bs);
    fa = R::div(as, hs);
    fb = R::div(bs, hs);
  }
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = masked(a.partials[i], fa) + masked(b.partials[i], fb);
  out.value = h;
  return out;
}

/// hypot(a, b) with factors a.v/h and b.v/h (1/h formed once) while h and
/// 1/h are both at least SAFE_MIN, else hypot_special.
template <class T, std::size_t N>
inline Dual<T, N> hypot(const Dual<T, N>& a, const Dual<T, N>& b) noexcept {
  using R = ScalarTraits<T>;
  const T h = R::hypot(a.value, b.value);
  const T r = R::recip(h);
  if (!(h >= R::SAFE_MIN && r >= R::SAFE_MIN)) return hypot_special(a, b, h);
  const T fa = a.value * r;
  const T fb = b.value * r;
  Dual<T, N> out;
  for (std::size_t i = 0; i < N; ++i) out.partials[i] = a.partials[i] * fa + b.partials[i] * fb;
  out.value = h;
  return out;
}

}  // namespace traits

// ---------------------------------------------------------------------------
// The double-double instance: out-of-line routines (core/src/scalar/dual.cpp)
// with the same rules; they take precedence over the templates above.

using DualDD = Dual<DoubleDouble, 4>;

DualDD operator+(const DualDD& a, const DualDD& b) noexcept;
DualDD operator-(const DualDD& a, const DualDD& b) noexcept;
DualDD operator-(const DualDD& a) noexcept;
DualDD operator*(const DualDD& a, const DualDD& b) noexcept;
DualDD operator/(const DualDD& a, const DualDD& b) noexcept;
DualDD abs(const DualDD& x) noexcept;
DualDD sqrt(const DualDD& x) noexcept;
DualDD exp(const DualDD& x) noexcept;
std::pair<DualDD, DualDD> sin_cos(const DualDD& x) noexcept;
DualDD powi(const DualDD& x, std::int32_t n) noexcept;
namespace traits {
DualDD recip(const DualDD& x) noexcept;
DualDD hypot(const DualDD& a, const DualDD& b) noexcept;
}  // namespace traits

// After the double-double overloads, so that the using-declarations carry them.
using traits::hypot;
using traits::hypot_special;
using traits::recip;
using traits::recip_special;

}  // namespace vantok::scalar::dual

namespace vantok::scalar {
using dual::Dual;
}
