// Scale factors, angular functions and scaled complex exponentials of the
// spheroid EBCM integrands, written once over the scalar type.
//
// Outgoing scales: w_k = h_k(x)/h_{k-1}(x) obeys the upward recurrence
// w_k = (2k-1)/x - 1/w_{k-1} from w_1 = 1/x - i (DLMF 10.51.1 with
// h_0(x) = -i e^{ix}/x); upward is stable for the outgoing solution, and its
// moduli multiply to |h_k(x)| without ever forming the huge h_k itself.
//
// Angular functions: d^n_0m by the three-term recurrence in n from
// d^m_0m = sqrt((2m)!)/(2^m m!) sin^m t (DLMF 18.9.1 for normalised
// associated Legendre functions), which is stable upward in n.

#include "tmatrix/detail_node_functions.hpp"

#include <cstdint>
#include <limits>

#include "tmatrix/detail_ops.hpp"
#include "vantok/error.hpp"

namespace vantok::tmatrix::functions {

using namespace detail;

template <class T>
Scales<T>::Scales(std::size_t n, const T& x, const Complex<T>& z) {
  VANTOK_ASSERT(n <= std::numeric_limits<std::size_t>::max() - 2);
  outgoing.resize(n + 2);
  regular.resize(n + 2);

  // a_0 = 1/x; w_1 = 1/x - i.
  const T rx = recip(x);
  outgoing[0] = rx;
  Complex<T> w{rx, constant<T>(-1.0)};
  outgoing[1] = hypot(w.re, w.im);
  for (std::size_t k = 2; k <= n + 1; ++k) {
    // w_k = (2k-1)/x - 1/w_{k-1}, with the rounded 1/x and the guarded reciprocal.
    const Complex<T> r = complex::inv(w);
    w = {times_const(rx, static_cast<double>(2 * k - 1)) - r.re, constant<T>(0.0) - r.im};
    outgoing[k] = hypot(w.re, w.im);
  }

  // b_0 = 1/|z|, b_k = min(|z|/(2k+1), 1).
  const T rho = hypot(z.re, z.im);
  regular[0] = recip(rho);
  for (std::size_t k = 1; k <= n + 1; ++k) {
    regular[k] = cap_at_one(over_const(rho, static_cast<double>(2 * k + 1)));
  }
  im_abs = abs(z.im);
}

template <class T>
const typename Angular<T>::Factors& Angular<T>::factors(std::size_t m, std::size_t n_max) {
  Factors& f = factors_;
  if (f.m == m && f.n_max == n_max) return f;
  f.m = static_cast<std::size_t>(-1);
  const T zero = constant<T>(0.0);
  f.down.assign(n_max + 1, zero);
  f.up.assign(n_max + 1, zero);
  f.tau.assign(n_max + 1, zero);
  f.start = start_factor<T>(m);
  f.first = root_const<T>(2 * m + 1);
  const std::uint64_t m2 = static_cast<std::uint64_t>(m) * m;
  for (std::size_t n = m + 1; n + 1 <= n_max; ++n) {
    const std::uint64_t n1 = n + 1;
    f.down[n] = root_const<T>(static_cast<std::uint64_t>(n) * n - m2);
    f.up[n] = root_const<T>(n1 * n1 - m2);
  }
  for (std::size_t n = m > 0 ? m : 1; n <= n_max; ++n) {
    f.tau[n] = root_const<T>(static_cast<std::uint64_t>(m + n) * (n - m));
  }
  f.m = m;
  f.n_max = n_max;
  return f;
}

template <class T>
void Angular<T>::compute(std::size_t m, std::size_t n_max, const T& cos_t, const T& sin_t) {
  VANTOK_ASSERT(n_max < std::numeric_limits<std::size_t>::max());
  const T zero = constant<T>(0.0);
  d0m.assign(n_max + 1, zero);
  pi_mn.assign(n_max + 1, zero);
  tau_mn.assign(n_max + 1, zero);
  if (m > n_max) return;
  VANTOK_ASSERT(m <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()));
  // Integer products below stay exact in 64 bits: n_max < 2^31 here.
  VANTOK_ASSERT(n_max < (std::size_t{1} << 31));
  const T& c = cos_t;
  const T& s = sin_t;
  const Factors& f = factors(m, n_max);

  // d^m_0m = prod_{k=1..m} sqrt((2k-1)/(2k)) s^m: no (-1)^m phase. The
  // product stays the left operand, as in the double-double integrands that
  // evaluate this rule (their products are not commutative to the bit).
  d0m[m] = f.start * powi(s, static_cast<std::int32_t>(m));
  if (m < n_max) d0m[m + 1] = (f.first * c) * d0m[m];
  // d^{n+1} = ((2n+1) c d^n - sqrt(n^2 - m^2) d^{n-1}) / sqrt((n+1)^2 - m^2)
  for (std::size_t n = m + 1; n + 1 <= n_max; ++n) {
    d0m[n + 1] = ((constant<T>(static_cast<double>(2 * n + 1)) * c) * d0m[n] - f.down[n] * d0m[n - 1]) / f.up[n];
  }

  // tau = (n c d^n - sqrt((m+n)(n-m)) d^{n-1}) / s, pi = (m d^n) / s.
  const T r = recip(s);
  const T mm = constant<T>(static_cast<double>(m));
  for (std::size_t n = m > 0 ? m : 1; n <= n_max; ++n) {
    const T p = n > m ? d0m[n - 1] : zero;
    tau_mn[n] = ((constant<T>(static_cast<double>(n)) * c) * d0m[n] - f.tau[n] * p) * r;
    pi_mn[n] = (mm * d0m[n]) * r;
  }
}

template <class T>
std::pair<Complex<T>, Complex<T>> exps_scaled(const Complex<T>& z, const T& s) {
  const auto [sin_x, cos_x] = sin_cos(z.re);
  // Exponents (-y) - s and y - s, both <= 0 for s >= |y|.
  const T e1 = exp((-z.im) - s);
  const T e2 = exp(z.im - s);
  return {Complex<T>{e1 * cos_x, e1 * sin_x}, Complex<T>{e2 * cos_x, -(e2 * sin_x)}};
}

#define VANTOK_TMATRIX_FUNCTIONS(T)      \
  template struct Scales<T>;             \
  template struct Angular<T>;            \
  template std::pair<Complex<T>, Complex<T>> exps_scaled<T>(const Complex<T>&, const T&);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_FUNCTIONS)
#undef VANTOK_TMATRIX_FUNCTIONS

}  // namespace vantok::tmatrix::functions
