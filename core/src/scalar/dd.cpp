// Out-of-line double-double arithmetic: the ordered two-sum, renormalisation
// after down-scaling, the two quotients and scaling by powers of two.

#include "vantok/scalar/dd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vantok::scalar::dd {

using detail::finite;
using detail::scale;

SumError two_sum_ordered(double a, double b) noexcept {
  const double s = a + b;
  // Fast2Sum needs |big| >= |small|; the comparison is false for a NaN, which
  // then takes the second arm.
  const bool a_big = std::fabs(a) >= std::fabs(b);
  const double big = a_big ? a : b;
  const double small = a_big ? b : a;
  return {s, small - (s - big)};
}

DoubleDouble DoubleDouble::renormalize_tiny(double hi_part, double lo_part) noexcept {
  if (hi_part == 0.0) return {hi_part, 0.0};
  // Fast2Sum: |hi| >= |lo| still holds after the scaling.
  const double s = hi_part + lo_part;
  return {s, lo_part - (s - hi_part)};
}

DoubleDouble DoubleDouble::div_f64(DoubleDouble a, double d) noexcept {
  const double q = a.hi / d;
  if (!finite(d) || !finite(q)) return {q, 0.0};
  const double p = d * q;
  if (!finite(p)) {
    // q d overflows although q does not: divide a/2 and double.
    return detail::twice(div_f64(scale(a, 0.5), d));
  }
  // (p, -e) = q d exactly, so (a.hi - p) + e is the exact remainder of a.hi.
  const double e = std::fma(q, d, -p);
  const double r = a.lo + ((a.hi - p) - e);
  return detail::fast_two_sum(q, r / d, q);
}

DoubleDouble DoubleDouble::div_dd_wide(DoubleDouble a, DoubleDouble b) noexcept {
  const double q0 = a.hi / b.hi;
  if (!finite(b.hi) || !finite(q0)) return {q0, 0.0};
  // Bring b into the range where 1/b.hi and the Newton step stay normal,
  // scaling a alike so that the quotient is unchanged.
  double r0 = 0.0;
  for (;;) {
    r0 = 1.0 / b.hi;
    if (!finite(r0)) {
      a = scale(a, 0x1p106);
      b = scale(b, 0x1p106);
    } else if (std::fabs(b.hi) > 0x1p960) {
      a = scale(a, 0x1p-106);
      b = scale(b, 0x1p-106);
    } else {
      break;
    }
    const double q = a.hi / b.hi;
    if (!finite(b.hi) || !finite(q)) return {q, 0.0};
  }
  const DoubleDouble q = detail::newton_quotient(a, b, r0);
  if (std::isinf(q.hi)) return detail::twice(div_dd_wide(scale(a, 0.5), b));
  return q;
}

DoubleDouble scale_pow2(DoubleDouble x, std::int64_t k) noexcept {
  std::int64_t kc = std::clamp<std::int64_t>(k, -2200, 2200);
  if (k > 1000) {
    x = scale(x, 0x1p1000);
    if (k >= 2001) {
      x = scale(x, 0x1p1000);
      kc -= 2000;
    } else {
      kc -= 1000;
    }
  }
  while (kc <= -1001) {
    x = scale(x, 0x1p-1000);
    kc += 1000;
  }
  return scale(x, detail::pow2(static_cast<int>(kc)));
}

}  // namespace vantok::scalar::dd
