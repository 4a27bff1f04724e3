// Downward recurrence for the ratios r_n(z) = psi_n(z)/psi_{n-1}(z) and its
// start order (after Wiscombe's and Lentz's estimates of how far above N the
// recurrence must start for the start value to have decayed by 2^-52).
#include "vantok/mie/ratios.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "spherical/ratios.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
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

std::size_t checked_start_order(double a, std::size_t n_terms, const StartRule& rule) {
  const std::size_t start = start_order(a, n_terms, rule);
  if (start > MAX_START_ORDER) {
    throw memory::Refused(start, "the downward ratio recurrence at |z| = " + fmt::exp(a),
                          "its start order exceeds " + fmt::plain(static_cast<std::uint64_t>(MAX_START_ORDER)) +
                              ", beyond which the orders are not exact doubles");
  }
  return start;
}

namespace {

/// Orders stepped between two stop checks (a millisecond or so of steps).
constexpr std::size_t STOP_STRIDE = std::size_t{1} << 16;

/// step(n) for n = top down to 1, the steps of run_downward, with a stop
/// check every STOP_STRIDE orders: a start far above N (a vast argument)
/// takes that long.
template <class Step>
void run_downward_polled(std::size_t top, Step&& step) {
  for (std::size_t n = top; n >= 1; --n) {
    step(n);
    if (n % STOP_STRIDE == 0) stop::check();
  }
}

/// The downward loop of one chain of spherical/ratios.hpp, polled.
template <class V>
void run_chain(detail::DownwardChain<V> chain) {
  run_downward_polled(chain.start, [&](std::size_t n) { chain.step(n, 2.0 * static_cast<double>(n) + 1.0); });
}

/// The same for the f64 chain of the sphere kernel's recurrence.
template <class R>
void run_chain(std::size_t start, one::Chain<R> chain) {
  run_downward_polled(start, [&](std::size_t n) {
    const double nd = static_cast<double>(n);
    chain.step(n, nd, 2.0 * nd + 1.0);
  });
}

}  // namespace

void ratios_real(std::vector<double>& out, std::size_t n_terms, double z) {
  const std::size_t len = n_terms + 2;
  out.assign(len, 0.0);
  const std::size_t start = checked_start_order(std::fabs(z), n_terms);
  run_chain(start, one::Chain<double>(1.0 / z, {start}, {0}, out.data(), len, 0.0));
}

void ratios_complex(std::vector<Complex<double>>& out, std::size_t n_terms, Complex<double> z) {
  const std::size_t len = n_terms + 2;
  out.assign(len, Complex<double>{});
  const std::size_t start = checked_start_order(std::hypot(z.re, z.im), n_terms);
  run_chain(start, one::Chain<Complex<double>>(complex::inv(z), {start}, {0}, out.data(), len, Complex<double>{}));
}

void ratios_real(std::vector<scalar::dd::DoubleDouble>& out, std::size_t n_terms,
                 scalar::dd::DoubleDouble z) {
  using scalar::dd::DoubleDouble;
  out.assign(n_terms + 2, DoubleDouble{});
  run_chain(detail::DownwardChain<DoubleDouble>{DoubleDouble::div_dd(DoubleDouble(1.0), z),
                                                checked_start_order(std::fabs(z.hi), n_terms, DD_START), 0, out});
}

void ratios_complex(std::vector<Complex<scalar::dd::DoubleDouble>>& out, std::size_t n_terms,
                    Complex<scalar::dd::DoubleDouble> z) {
  using scalar::dd::DoubleDouble;
  out.assign(n_terms + 2, Complex<DoubleDouble>{});
  run_chain(detail::DownwardChain<Complex<DoubleDouble>>{
      complex::inv(z), checked_start_order(DoubleDouble::hypot(z.re, z.im).hi, n_terms, DD_START), 0, out});
}

void ratios_real(std::vector<scalar::DualF64>& out, std::size_t n_terms, const scalar::DualF64& z) {
  out.assign(n_terms + 2, scalar::DualF64{});
  run_chain(detail::DownwardChain<scalar::DualF64>{recip(z), checked_start_order(std::fabs(z.value), n_terms), 0,
                                                   out});
}

void ratios_complex(std::vector<Complex<scalar::DualF64>>& out, std::size_t n_terms,
                    const Complex<scalar::DualF64>& z) {
  out.assign(n_terms + 2, Complex<scalar::DualF64>{});
  run_chain(detail::DownwardChain<Complex<scalar::DualF64>>{
      complex::inv(z), checked_start_order(std::hypot(z.re.value, z.im.value), n_terms), 0, out});
}

void ratios_real(std::vector<scalar::DualDD>& out, std::size_t n_terms, const scalar::DualDD& z) {
  out.assign(n_terms + 2, scalar::constant<scalar::DualDD>(0.0));
  run_chain(detail::DownwardChain<scalar::DualDD>{
      recip(z), checked_start_order(std::fabs(z.value.hi), n_terms, DD_START), 0, out});
}

void ratios_complex(std::vector<Complex<scalar::DualDD>>& out, std::size_t n_terms,
                    const Complex<scalar::DualDD>& z) {
  const scalar::DualDD zero = scalar::constant<scalar::DualDD>(0.0);
  out.assign(n_terms + 2, Complex<scalar::DualDD>{zero, zero});
  run_chain(detail::DownwardChain<Complex<scalar::DualDD>>{
      complex::inv(z), checked_start_order(scalar::DoubleDouble::hypot(z.re.value, z.im.value).hi, n_terms, DD_START),
      0, out, Complex<scalar::DualDD>{zero, zero}});
}

void ratios(std::vector<Complex<double>>& out, std::vector<double>& scratch, std::size_t n_terms,
            Complex<double> m, double x) {
  one::MxRatios r(one::Group{{n_terms}, {x}, {m.re}, {m.im}}, out, scratch);
  one::mx_ratios(r, nullptr, 0);
}

}  // namespace vantok::mie::kernel
