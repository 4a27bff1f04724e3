// Downward recurrence for the ratios r_n(z) = psi_n(z)/psi_{n-1}(z) and its
// start order (after Wiscombe's and Lentz's estimates of how far above N the
// recurrence must start for the start value to have decayed by 2^-52).
#include "vantok/mie/ratios.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mie/detail_ratios.hpp"
#include "vantok/numeric.hpp"

namespace vantok::mie::kernel {

std::size_t start_order(double a, std::size_t n_terms, const StartRule& rule) {
  using Size = std::size_t;
  const Size n1 = sat_add<Size>(n_terms, 1);
  // 1. n_lo = max(N + 1, ceil(1.5 a)): at least past the turning point n ~ a.
  const Size n_lo = std::max(n1, sat_cast<Size>(std::ceil(1.5 * a)));
  // 2.-3. Beyond the turning point r_n ~ (a / (2n+1)) decays geometrically;
  // t = log2 of the decay factor per order, bits / (2t) the orders needed.
  const Size two_n_lo_1 = sat_add<Size>(sat_mul<Size>(2, n_lo), 1);
  const double t = std::log2(static_cast<double>(two_n_lo_1) / a - 0.5);
  Size start = sat_add<Size>(sat_add<Size>(n_lo, sat_cast<Size>(std::ceil(rule.bits / (t + t)))), 2);
  // 4. When N + 1 lies well below a, the recurrence only has to cross the
  // Airy transition region above a, of width ~ a^(1/3): a tighter bound.
  const double n1f = static_cast<double>(n1);
  if (!(n1f >= 1.5 * a)) {
    const double d = n1f - a;
    const double c = rule.airy * std::sqrt(a) + (d > 0.0 ? d * std::sqrt(d) : 0.0);
    const Size bound = sat_add<Size>(sat_cast<Size>(std::ceil(std::pow(c, 0.6666666666666666) + a)),
                                     rule.pad);
    start = std::min(start, bound);
  }
  return start;
}

namespace {

// Scalar hooks of the generic recurrences. Another scalar (double-double or a
// dual number) adds its specialisation here and an explicit instantiation
// below: its modulus for the start order (the value part), its start rule,
// and its own ratio_step (multiplication by the exact order, zero guard and
// reciprocal in that scalar).
template <class T>
struct RatioScalar;

template <>
struct RatioScalar<double> {
  static double modulus(double z) { return std::fabs(z); }
  static double modulus(const Complex<double>& z) { return std::hypot(z.re, z.im); }
  static constexpr const StartRule& rule = F64_START;
  static double recip(double z) { return 1.0 / z; }
  static Complex<double> recip(const Complex<double>& z) { return complex::inv(z); }
};

// Double-double: the start order from the leading part of |z| with the
// constants of a 104-bit target, every operation in double-double.
template <>
struct RatioScalar<scalar::dd::DoubleDouble> {
  using DD = scalar::dd::DoubleDouble;
  static double modulus(const DD& z) { return std::fabs(z.hi); }
  static double modulus(const Complex<DD>& z) { return DD::hypot(z.re, z.im).hi; }
  static constexpr const StartRule& rule = DD_START;
  static DD recip(const DD& z) { return DD::div_dd(DD(1.0), z); }
  static Complex<DD> recip(const Complex<DD>& z) { return complex::inv(z); }
};

// The common loop: r = 0 at the start order, then downward; orders above
// N + 1 are computed but not stored.
template <class T, class V>
void run_downward(std::vector<V>& out, std::size_t n_terms, const V& z) {
  using S = RatioScalar<T>;
  const std::size_t start = start_order(S::modulus(z), n_terms, S::rule);
  out.clear();
  out.resize(n_terms + 2, V{});
  const V inv_z = S::recip(z);
  V r{};
  for (std::size_t n = start; n >= 1; --n) {
    r = detail::ratio_step(2.0 * static_cast<double>(n) + 1.0, inv_z, r);
    if (n <= n_terms + 1) out[n] = r;
  }
}

}  // namespace

template <class T>
void ratios_real(std::vector<T>& out, std::size_t n_terms, T z) {
  run_downward<T>(out, n_terms, z);
}

template <class T>
void ratios_complex(std::vector<Complex<T>>& out, std::size_t n_terms, Complex<T> z) {
  run_downward<T>(out, n_terms, z);
}

void ratios(std::vector<Complex<double>>& out, std::vector<double>& scratch, std::size_t n_terms,
            Complex<double> m, double x) {
  if (m.im == 0.0) {
    ratios_real(scratch, n_terms, m.re * x);
    out.clear();
    out.reserve(scratch.size());
    for (const double r : scratch) out.push_back({r, 0.0});
  } else {
    ratios_complex(out, n_terms, Complex<double>{m.re * x, m.im * x});
  }
}

template void ratios_real<double>(std::vector<double>&, std::size_t, double);
template void ratios_complex<double>(std::vector<Complex<double>>&, std::size_t, Complex<double>);
template void ratios_real<scalar::dd::DoubleDouble>(std::vector<scalar::dd::DoubleDouble>&,
                                                    std::size_t, scalar::dd::DoubleDouble);
template void ratios_complex<scalar::dd::DoubleDouble>(
    std::vector<Complex<scalar::dd::DoubleDouble>>&, std::size_t,
    Complex<scalar::dd::DoubleDouble>);

}  // namespace vantok::mie::kernel
