// Downward recurrence for the ratios r_n(z) = psi_n(z)/psi_{n-1}(z) and its
// start order (after Wiscombe's and Lentz's estimates of how far above N the
// recurrence must start for the start value to have decayed by 2^-52).
#include "vantok/mie/ratios.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "spherical/ratios.hpp"
#include "vantok/mie/kernel.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::mie::kernel {

namespace {

// The f64 recurrences are those of the sphere kernel, on one lane.
namespace one {
using V = double;
#include "spherical/kernel_lanes.inc"
}  // namespace one

}  // namespace

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

void ratios_real(std::vector<double>& out, std::size_t n_terms, double z) {
  const std::size_t len = n_terms + 2;
  out.assign(len, 0.0);
  const std::size_t start = start_order(std::fabs(z), n_terms);
  one::run_downward(start, one::Chain<double>(1.0 / z, {start}, {0}, out.data(), len, 0.0));
}

void ratios_complex(std::vector<Complex<double>>& out, std::size_t n_terms, Complex<double> z) {
  const std::size_t len = n_terms + 2;
  out.assign(len, Complex<double>{});
  const std::size_t start = start_order(std::hypot(z.re, z.im), n_terms);
  one::run_downward(start,
                    one::Chain<Complex<double>>(complex::inv(z), {start}, {0}, out.data(), len, Complex<double>{}));
}

void ratios_real(std::vector<scalar::dd::DoubleDouble>& out, std::size_t n_terms,
                 scalar::dd::DoubleDouble z) {
  using scalar::dd::DoubleDouble;
  out.assign(n_terms + 2, DoubleDouble{});
  detail::DownwardChain<DoubleDouble> chain{DoubleDouble::div_dd(DoubleDouble(1.0), z),
                                            start_order(std::fabs(z.hi), n_terms, DD_START), 0,
                                            out};
  detail::run_downward(chain);
}

void ratios_complex(std::vector<Complex<scalar::dd::DoubleDouble>>& out, std::size_t n_terms,
                    Complex<scalar::dd::DoubleDouble> z) {
  using scalar::dd::DoubleDouble;
  out.assign(n_terms + 2, Complex<DoubleDouble>{});
  detail::DownwardChain<Complex<DoubleDouble>> chain{
      complex::inv(z), start_order(DoubleDouble::hypot(z.re, z.im).hi, n_terms, DD_START), 0, out};
  detail::run_downward(chain);
}

void ratios_real(std::vector<scalar::DualF64>& out, std::size_t n_terms, const scalar::DualF64& z) {
  out.assign(n_terms + 2, scalar::DualF64{});
  detail::DownwardChain<scalar::DualF64> chain{recip(z), start_order(std::fabs(z.value), n_terms),
                                               0, out};
  detail::run_downward(chain);
}

void ratios_complex(std::vector<Complex<scalar::DualF64>>& out, std::size_t n_terms,
                    const Complex<scalar::DualF64>& z) {
  out.assign(n_terms + 2, Complex<scalar::DualF64>{});
  detail::DownwardChain<Complex<scalar::DualF64>> chain{
      complex::inv(z), start_order(std::hypot(z.re.value, z.im.value), n_terms), 0, out};
  detail::run_downward(chain);
}

void ratios_real(std::vector<scalar::DualDD>& out, std::size_t n_terms, const scalar::DualDD& z) {
  out.assign(n_terms + 2, scalar::constant<scalar::DualDD>(0.0));
  detail::DownwardChain<scalar::DualDD> chain{
      recip(z), start_order(std::fabs(z.value.hi), n_terms, DD_START), 0, out};
  detail::run_downward(chain);
}

void ratios_complex(std::vector<Complex<scalar::DualDD>>& out, std::size_t n_terms,
                    const Complex<scalar::DualDD>& z) {
  const scalar::DualDD zero = scalar::constant<scalar::DualDD>(0.0);
  out.assign(n_terms + 2, Complex<scalar::DualDD>{zero, zero});
  detail::DownwardChain<Complex<scalar::DualDD>> chain{
      complex::inv(z),
      start_order(scalar::DoubleDouble::hypot(z.re.value, z.im.value).hi, n_terms, DD_START), 0,
      out, Complex<scalar::DualDD>{zero, zero}};
  detail::run_downward(chain);
}

void ratios(std::vector<Complex<double>>& out, std::vector<double>& scratch, std::size_t n_terms,
            Complex<double> m, double x) {
  one::MxRatios r(one::Group{{n_terms}, {x}, {m.re}, {m.im}}, out, scratch);
  one::mx_ratios(r, nullptr, 0);
}

}  // namespace vantok::mie::kernel
