// Wigner d functions by recurrence in the degree l.
//
// All three recurrences are rewritings of
//   l S_{l+1} d_{l+1} = (2l+1)((l+1) l x - m n) d_l - (l+1) S_l d_{l-1},
//   S_l = sqrt((l^2 - m^2)(l^2 - n^2)),
// started at l_min = max(|m|, |n|) from the closed form of d^{l_min}_mn. Near
// x = 1 the terms (l+1) l x and the S products nearly cancel, so there the
// recurrence is carried on delta_l = d_l - d_{l-1} with x - 1 as the small
// parameter (Difference, GeneralDifference). For x < 0 the argument is mirrored
// by d^l_mn(x) = (-1)^(l+m) d^l_{m,-n}(-x) when that leads to a better start.
#include "vantok/special/wigner.hpp"

#include "special/detail_wigner.hpp"
#include "vantok/format.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/scalars.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vantok::special::wigner {
namespace {

using scalar::constant;
// The value part: what comparisons, exponents and branch choices look at.
using scalar::value_f64;

// Values below 2^-900 are carried in extended mode.
constexpr std::int64_t EXTENDED_BELOW = -900;

// 2^k, exact for k in [-1022, 1023]; out-of-range k saturates to 0 or inf.
double pow2(std::int64_t k) {
  return std::ldexp(1.0, static_cast<int>(std::clamp<std::int64_t>(k, -1100, 1100)));
}

// floor(log2 |v|) for a finite non-zero v, subnormals included.
std::int64_t exponent_of(double v) { return std::ilogb(v); }

// The exponent by which the driver rescales the pair: that of the larger
// magnitude of the two members (a NaN member ignored), 0 when that magnitude is
// 0, infinite or NaN.
template <class T>
std::int64_t pair_exponent(const std::pair<T, T>& pair) {
  const double big = std::fmax(std::fabs(value_f64(pair.first)), std::fabs(value_f64(pair.second)));
  if (big == 0.0 || !std::isfinite(big)) return 0;
  return exponent_of(big);
}

}  // namespace

template <class T>
T mul_pow2(T v, std::int64_t e) {
  const double value = value_f64(v);
  if (e == 0 || value == 0.0) return v;
  std::int64_t ev = 0;
  if (std::isfinite(value)) {
    // Normalise to [1, 2) first (exact), in factors that stay representable.
    ev = exponent_of(value);
    std::int64_t rest = -ev;
    while (rest != 0) {
      const std::int64_t f = std::clamp<std::int64_t>(rest, -1022, 1023);
      v = v * pow2(f);
      rest -= f;
    }
  }
  const std::int64_t k = ev + e;
  if (k >= -1022) {
    v = v * pow2(k);
  } else {
    // 2^-1022 keeps the value normal; the second factor then rounds once into
    // the subnormals (and to zero below them).
    v = v * pow2(-1022);
    v = v * pow2(std::max<std::int64_t>(k, -1084) + 1022);
  }
  return v;
}

template <class T>
std::pair<std::int64_t, T> start_value(std::size_t a, std::size_t b, T x) {
  using scalar::math::sqrt;
  const T one = constant<T>(1.0);
  const T s2 = (one - x) * 0.5;
  const T c2 = (one + x) * 0.5;
  const T s = sqrt(s2);
  const T c = sqrt(c2);
  if (a >= 2 && value_f64(s2) == 0.0) {
    if (a > 2) return {0, constant<T>(0.0)};
    // a == 2 at x == 1: the value is 0, but s^2 unrooted keeps finite partials.
    const double bf = static_cast<double>(b);
    T v = s2 * std::sqrt(((bf + 1.0) * (bf + 2.0)) * 0.5);
    for (std::size_t j = 0; j < b; ++j) v = v * c;
    return {0, v};
  }
  const std::size_t top = std::max(a, b);
  if (top == 0) return {0, one};
  // Product over j of sqrt((j + b)/j) s (j <= a) and c (j <= b): the binomial
  // root and the powers interleaved, so the running value stays near the
  // final magnitude; it is renormalised whenever it leaves 2^+-256.
  T v = one;
  std::int64_t exponent = 0;
  const double bf = static_cast<double>(b);
  for (std::size_t j = 1; j <= top; ++j) {
    if (j <= a) {
      const double jf = static_cast<double>(j);
      v = (v * std::sqrt((jf + bf) / jf)) * s;
    }
    if (j <= b) v = v * c;
    const double mag = std::fabs(value_f64(v));
    if (std::isfinite(mag) && (mag > 0x1p256 || (mag > 0.0 && mag < 0x1p-256))) {
      const std::int64_t e = exponent_of(mag);
      v = mul_pow2(v, -e);
      exponent += e;
    }
  }
  const double value = value_f64(v);
  if (value == 0.0 || exponent == 0) return {0, v};
  const std::int64_t ev = std::isfinite(value) ? exponent_of(value) : 0;
  if (ev + exponent < EXTENDED_BELOW) return {exponent, v};
  return {0, mul_pow2(v, exponent)};
}

template <class T>
void Difference<T>::step(std::size_t l, std::pair<T, T>& pair) {
  const detail::DifferenceStep c = detail::difference_step(l, m_);
  const T& delta = pair.first;
  const T& d = pair.second;
  const T delta_next = ((x_minus_one_ * c.c1) * d + delta * c.c2) * c.recip;
  const T d_next = d + delta_next;
  pair = {delta_next, d_next};
}

template <class T>
void ThreeTerm<T>::step(std::size_t l, std::pair<T, T>& pair) {
  const detail::ThreeTermStep c = detail::three_term_step(l, m_, n_, s_);
  const T& d_prev = pair.first;
  const T& d = pair.second;
  const T numerator = ((x_ * c.ll - constant<T>(c.mn)) * c.two_l1) * d - d_prev * c.s_l;
  const T d_next = numerator / constant<T>(c.divisor);
  s_ = c.s_next;
  pair = {d, d_next};
}

template <class T>
void GeneralDifference<T>::step(std::size_t l, std::pair<T, T>& pair) {
  const detail::GeneralDifferenceStep c = detail::general_difference_step(l, m_, n_, c_, s_);
  const T& delta = pair.first;
  const T& d = pair.second;
  const T coefficient = constant<T>(c.lq) + (constant<T>(c.c_l) + x_minus_one_ * c.c1);
  const T delta_next = (coefficient * d + delta * c.s_l) * c.recip;
  const T d_next = d + delta_next;
  c_ = c.c_next;
  s_ = c.s_next;
  pair = {delta_next, d_next};
}

template <class T, class Step>
void run(std::size_t start, std::pair<T, T>& pair, std::int64_t exponent, std::span<T> out,
         Step& step) {
  const std::size_t len = out.size();
  std::size_t l = start;
  // Extended mode: the true values are the stored ones times 2^exponent. After
  // each step the pair is renormalised when its exponent drifts by 257 or more,
  // and folded back into plain doubles once it climbs above 2^-900.
  while (exponent != 0) {
    out[l] = mul_pow2(pair.second, exponent);
    if (l + 1 == len) return;
    step.step(l, pair);
    const std::int64_t e = pair_exponent(pair);
    if (e + exponent < EXTENDED_BELOW) {
      if (std::abs(e) >= 257) {
        pair.first = mul_pow2(pair.first, -e);
        pair.second = mul_pow2(pair.second, -e);
        exponent += e;
      }
    } else {
      pair.first = mul_pow2(pair.first, exponent);
      pair.second = mul_pow2(pair.second, exponent);
      exponent = 0;
    }
    ++l;
  }
  // Plain mode, in blocks of 2^16 degrees (about a millisecond) with a stop
  // check between them; a row of fewer degrees never checks.
  for (;;) {
    const std::size_t block_end = std::min(len - 1, l + (std::size_t{1} << 16));
    for (; l < block_end; ++l) {
      out[l] = pair.second;
      step.step(l, pair);
    }
    if (l + 1 == len) {
      out[l] = pair.second;
      return;
    }
    stop::check();
  }
}

template <class T>
Result<void> wigner_d(std::int32_t m_in, std::int32_t n_in, T x, std::span<T> out) {
  const double xv = value_f64(x);
  if (!(std::fabs(xv) <= 1.0)) {
    return std::unexpected(Error::invalid_input("wigner_d needs -1 <= x <= 1, got " + fmt::debug(xv)));
  }
  // Indices in 64 bits: |m| of -2^31 does not fit an int32.
  const std::int64_t m = m_in;
  const std::int64_t n = n_in;
  const std::int64_t l_min = std::max(std::abs(m), std::abs(n));
  const T zero = constant<T>(0.0);
  if (out.size() <= static_cast<std::uint64_t>(l_min)) {
    std::fill(out.begin(), out.end(), zero);
    return {};
  }
  const auto first = static_cast<std::size_t>(l_min);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(first), zero);

  const detail::Path path = detail::path(m, n, xv);
  const T xp = path.flip ? -x : x;
  const T one = constant<T>(1.0);
  const auto md = static_cast<double>(m);
  const auto nd = static_cast<double>(path.n);
  auto [exponent, d] = detail::start(m, path, xp);

  switch (path.kind) {
    case detail::Kind::Difference: {
      Difference<T> step(xp - one, md);
      if (l_min == 0) {
        out[0] = d;
        if (out.size() > 1) {
          std::pair<T, T> pair{xp - one, xp};
          run(1, pair, exponent, out, step);
        }
      } else {
        std::pair<T, T> pair{d, d};
        run(first, pair, exponent, out, step);
      }
      break;
    }
    case detail::Kind::GeneralDifference: {
      const auto lm = static_cast<double>(l_min);
      GeneralDifference<T> step(xp - one, md, nd, lm * (lm + 1.0) - md * nd);
      std::pair<T, T> pair{d, d};
      run(first, pair, exponent, out, step);
      break;
    }
    case detail::Kind::ThreeTerm: {
      ThreeTerm<T> step(xp, md, nd);
      std::pair<T, T> pair{zero, d};
      run(first, pair, exponent, out, step);
      break;
    }
  }

  if (path.flip) {
    // d^l_mn(x) = (-1)^(l+m) d^l_{m,-n}(-x): the sign bit flips, so 0 becomes -0.
    for (std::size_t l = first; l < out.size(); ++l) {
      if ((static_cast<std::int64_t>(l) + m) % 2 != 0) out[l] = -out[l];
    }
  }
  return {};
}

#define VANTOK_WIGNER_INSTANTIATE(T)                                                        \
  template Result<void> wigner_d<T>(std::int32_t, std::int32_t, T, std::span<T>);         \
  template std::pair<std::int64_t, T> start_value<T>(std::size_t, std::size_t, T);        \
  template T mul_pow2<T>(T, std::int64_t);                                                \
  template class Difference<T>;                                                           \
  template class GeneralDifference<T>;                                                    \
  template class ThreeTerm<T>;                                                            \
  template void run<T, Difference<T>>(std::size_t, std::pair<T, T>&, std::int64_t,        \
                                      std::span<T>, Difference<T>&);                      \
  template void run<T, GeneralDifference<T>>(std::size_t, std::pair<T, T>&, std::int64_t, \
                                             std::span<T>, GeneralDifference<T>&);        \
  template void run<T, ThreeTerm<T>>(std::size_t, std::pair<T, T>&, std::int64_t,         \
                                     std::span<T>, ThreeTerm<T>&);

VANTOK_WIGNER_INSTANTIATE(double)
VANTOK_WIGNER_INSTANTIATE(scalar::DualF64)

}  // namespace vantok::special::wigner
