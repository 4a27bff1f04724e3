// Clebsch-Gordan coefficients from the recurrence in L of the 3j symbols
// f_L = (l1 l2 L; m1 m2 -M):
//   L a_{L+1} f_{L+1} + b_L f_L + (L+1) a_L f_{L-1} = 0,
//   a_L = sqrt((L^2 - M^2)((l1+l2+1)^2 - L^2)(L^2 - (l1-l2)^2)),
//   b_L = -(2L+1)(D - L(L+1)(m2 - m1)),  D = -M (l1(l1+1) - l2(l2+1)).
// The recurrence is stable only in the direction in which |f| grows, so it is
// run backward from L_max and forward from L_min, and the two are matched at
// the largest backward value; then sum (2L+1) f_L^2 = 1 fixes the scale and
// the sign convention fixes the sign.
#include "vantok/special/clebsch.hpp"

#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>

namespace vantok::special::clebsch {
namespace {

using scalar::value_f64;

// Checked 64-bit integer arithmetic: an overflow is a broken precondition
// (arguments beyond what the recurrence supports), never a wrapped value.
std::int64_t add(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(!__builtin_add_overflow(a, b, &r));
  return r;
}
std::int64_t sub(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(!__builtin_sub_overflow(a, b, &r));
  return r;
}
std::int64_t mul(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(!__builtin_mul_overflow(a, b, &r));
  return r;
}

// A(L) = (L^2 - M^2)((l1 + l2 + 1)^2 - L^2)(L^2 - (l1 - l2)^2)
std::int64_t a_squared(std::int64_t big_l, std::int64_t l1, std::int64_t l2, std::int64_t big_m) {
  const std::int64_t l_sq = mul(big_l, big_l);
  const std::int64_t top = add(add(l1, l2), 1);
  const std::int64_t diff = sub(l1, l2);
  return mul(mul(sub(l_sq, mul(big_m, big_m)), sub(mul(top, top), l_sq)),
             sub(l_sq, mul(diff, diff)));
}

// a_L and b_L as doubles, each integer product converted before it enters
// floating point.
std::pair<double, double> ab_f64(std::int64_t big_l, std::int64_t l1, std::int64_t l2,
                                 std::int64_t m1, std::int64_t m2) {
  const std::int64_t big_m = add(m1, m2);
  const std::int64_t a_sq = a_squared(big_l, l1, l2, big_m);
  const double a = a_sq > 0 ? std::sqrt(static_cast<double>(a_sq)) : 0.0;
  const double minus_m = -static_cast<double>(big_m);
  const double d = static_cast<double>(mul(l1, add(l1, 1))) * minus_m -
                   static_cast<double>(mul(l2, add(l2, 1))) * minus_m;
  const double b = (d - static_cast<double>(mul(big_l, add(big_l, 1))) *
                            static_cast<double>(sub(m2, m1))) *
                   static_cast<double>(-add(mul(2, big_l), 1));
  return {a, b};
}

}  // namespace

template <class T>
std::pair<T, T> ab(std::int64_t big_l, std::int64_t l1, std::int64_t l2, std::int64_t m1,
                   std::int64_t m2) {
  const auto [a, b] = ab_f64(big_l, l1, l2, m1, m2);
  return {scalar::constant<T>(a), scalar::constant<T>(b)};
}

namespace {

double lf(std::int64_t v) { return static_cast<double>(v); }

// The arguments of one call: the recurrence's coefficients A(L), B(L) depend
// on L and on these alone.
struct Orders {
  std::int64_t l1, m1, l2, m2;
  std::int64_t l_min, l_max;

  template <class T>
  std::pair<T, T> coefficients(std::int64_t big_l) const {
    return ab<T>(big_l, l1, l2, m1, m2);
  }
};

// Backward sweep from f_{L_max} = 1, f_{L_max+1} = 0 down to L_min.
template <class T>
std::vector<T> backward_sweep(const Orders& o, std::size_t count) {
  const T zero = scalar::constant<T>(0.0);
  std::vector<T> f(count, zero);
  f[count - 1] = scalar::constant<T>(1.0);
  T f_above = zero;
  T a_above = o.coefficients<T>(add(o.l_max, 1)).first;
  for (std::int64_t big_l = o.l_max; big_l > o.l_min; --big_l) {
    const auto [a_l, b_l] = o.coefficients<T>(big_l);
    const auto k = static_cast<std::size_t>(big_l - o.l_min);
    const T denominator = a_l * lf(big_l + 1);
    if (value_f64(denominator) == 0.0) {
      f[k - 1] = zero;
    } else {
      f[k - 1] = -(b_l * f[k] + (a_above * lf(big_l)) * f_above) / denominator;
    }
    f_above = f[k];
    a_above = a_l;
  }
  return f;
}

// The matching point: the index of the largest |f_L|, the larger L on ties.
template <class T>
std::size_t matching_point(const std::vector<T>& f) {
  std::size_t k_star = 0;
  double best = 0.0;
  for (std::size_t k = 0; k < f.size(); ++k) {
    const double mag = std::fabs(value_f64(f[k]));
    if (mag >= best) {
      best = mag;
      k_star = k;
    }
  }
  return k_star;
}

// Below the matching point k_star (>= 1, L_min >= 1) the backward values give
// way to the forward sweep from h_{L_min} = 1 (h_{L_min-1} = 0), scaled to
// meet f at k_star.
template <class T>
void forward_sweep(const Orders& o, const std::vector<T>& f, std::size_t k_star, std::vector<T>& g) {
  const T zero = scalar::constant<T>(0.0);
  const T one = scalar::constant<T>(1.0);
  std::vector<T> h(k_star + 1, zero);
  h[0] = one;
  {
    const auto [a_lo, b_lo] = o.coefficients<T>(o.l_min);
    const T denominator = o.coefficients<T>(o.l_min + 1).first * lf(o.l_min);
    h[1] = value_f64(denominator) == 0.0 ? zero : -(b_lo * one + (a_lo * lf(o.l_min + 1)) * zero) / denominator;
  }
  for (std::int64_t big_l = o.l_min + 1; big_l < o.l_min + static_cast<std::int64_t>(k_star); ++big_l) {
    const auto k = static_cast<std::size_t>(big_l - o.l_min);
    const auto [a_l, b_l] = o.coefficients<T>(big_l);
    const T denominator = o.coefficients<T>(big_l + 1).first * lf(big_l);
    h[k + 1] = value_f64(denominator) == 0.0 ? zero
                                             : -((a_l * lf(big_l + 1)) * h[k - 1] + b_l * h[k]) / denominator;
  }
  if (value_f64(h[k_star]) != 0.0) {
    const T r = f[k_star] / h[k_star];
    for (std::size_t k = 0; k < k_star; ++k) g[k] = h[k] * r;
  }
}

// The coefficients from g: normalised to sum (2L+1) g_L^2 = 1, with the sign
// of the 3j symbol at L_max, (-1)^p, p = l1 - l2 + M.
template <class T>
void normalize(const Orders& o, const std::vector<T>& g, std::vector<T>& out) {
  using scalar::math::sqrt;
  const std::size_t count = g.size();
  T sum = scalar::constant<T>(0.0);
  for (std::size_t k = 0; k < count; ++k) {
    sum = sum + (g[k] * lf(2 * (o.l_min + static_cast<std::int64_t>(k)) + 1)) * g[k];
  }
  T norm = scalar::constant<T>(1.0) / sqrt(sum);
  // Parity is tested with != 0 as p may be negative.
  const std::int64_t p = add(sub(o.l1, o.l2), o.m1 + o.m2);
  const bool p_odd = p % 2 != 0;
  if ((value_f64(g[count - 1]) < 0.0) != p_odd) norm = -norm;
  const double s = p_odd ? -1.0 : 1.0;
  out.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const double weight = s * std::sqrt(lf(2 * (o.l_min + static_cast<std::int64_t>(k)) + 1));
    out.push_back((g[k] * weight) * norm);
  }
}

}  // namespace

template <class T>
std::int64_t clebsch_gordan(std::int64_t l1, std::int64_t m1, std::int64_t l2, std::int64_t m2,
                            std::vector<T>& out) {
  out.clear();
  // Written so that no negation can overflow: a negative l fails first.
  if (l1 < 0 || l2 < 0 || m1 > l1 || m1 < -l1 || m2 > l2 || m2 < -l2) return 0;
  // L_max first: |M| <= L_max, so once l1 + l2 fits, M and |M| fit too.
  const std::int64_t l_max = add(l1, l2);
  const std::int64_t big_m = m1 + m2;
  const std::int64_t l_min = std::max(std::abs(l1 - l2), std::abs(big_m));
  if (l_max < l_min) return l_min;

  // A(L_max) is formed (and checked) before anything is allocated. With
  // L = L_max and count = L - L_min + 1 it is at least
  // (count - 1)^2 L^2 (2L + 1) >= 2 (count - 1)^5, so when it fits in 64 bits
  // the arrays hold a few thousand entries at most, and larger arguments fail
  // here rather than after reserving memory for them. (The coefficient above
  // L_max cannot serve: its middle factor is 0.)
  (void)ab_f64(add(l_max, 1), l1, l2, m1, m2);
  (void)a_squared(l_max, l1, l2, big_m);
  const Orders o{l1, m1, l2, m2, l_min, l_max};
  const auto count = static_cast<std::size_t>(l_max - l_min + 1);
  const std::vector<T> f = backward_sweep<T>(o, count);
  const std::size_t k_star = matching_point(f);
  std::vector<T> g = f;
  if (l_min >= 1 && k_star >= 1) forward_sweep(o, f, k_star, g);
  normalize(o, g, out);
  return l_min;
}

template std::int64_t clebsch_gordan<double>(std::int64_t, std::int64_t, std::int64_t,
                                             std::int64_t, std::vector<double>&);
template std::pair<double, double> ab<double>(std::int64_t, std::int64_t, std::int64_t,
                                              std::int64_t, std::int64_t);
template std::int64_t clebsch_gordan<scalar::DualF64>(std::int64_t, std::int64_t, std::int64_t,
                                                      std::int64_t, std::vector<scalar::DualF64>&);
template std::pair<scalar::DualF64, scalar::DualF64> ab<scalar::DualF64>(std::int64_t, std::int64_t,
                                                                        std::int64_t, std::int64_t,
                                                                        std::int64_t);

}  // namespace vantok::special::clebsch
