// Mie coefficients of a sphere (or of the outer layer of a layered sphere)
// with analytic derivatives and the absorption sum from the surface fields.
//
// With E^a = H^a/m, E^b = m H^b (H = D_n(m x) for a homogeneous sphere) and
// T = E + n/x:
//   a_n = (T^a psi_n - psi_{n-1}) / (T^a xi_n - xi_{n-1}),  likewise b_n,
// Bohren & Huffman (1983) eq. 4.88. psi_n, xi_n come from the upward
// recurrence while n <= x (where it is stable) and through the ratios
// r_n(x) = psi_n/psi_{n-1} and q_n = xi_{n-1}/xi_n above, where the
// numerators are rewritten so that nothing cancels.
#include "vantok/mie/kernel.hpp"

#include <algorithm>
#include <cmath>

#include "mie/detail_complex.hpp"
#include "mie/detail_ratios.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/numeric.hpp"

namespace vantok::mie::kernel {

using complex::inv;
using complex::norm_sqr;
using complex::scale;
using complex::times_i;
using mie::detail::absorption_term;
using mie::detail::minus;
using mie::detail::minus_i_times;
using mie::detail::plus;
using C = Complex<double>;

std::size_t cut_order(std::size_t n_terms, double x) {
  if (!(x >= 1.0)) return 0;
  return std::min(n_terms, sat_cast<std::size_t>(std::floor(x)));
}

void State::prepare(std::size_t n_terms, double x_in, C m) {
  const std::size_t k = cut_order(n_terms, x_in);
  const std::size_t len = n_terms + 2;
  ratio_x.assign(len, 0.0);
  // The x ratios serve only the orders above k (and r_{n+1} of the last one).
  const std::size_t s_x = k < n_terms ? start_order(std::fabs(x_in), n_terms) : 0;
  const double inv_x = 1.0 / x_in;

  // Both recurrences in one downward loop: two independent dependency chains
  // of divisions interleave and nearly halve the latency-bound time.
  auto run = [&](auto inv_z, auto& out, std::size_t s_m) {
    decltype(inv_z) r_m{};
    double r_x = 0.0;
    for (std::size_t n = std::max(s_x, s_m); n >= 1; --n) {
      const double w = 2.0 * static_cast<double>(n) + 1.0;
      if (n <= s_m) {
        r_m = detail::ratio_step(w, inv_z, r_m);
        if (n < len) out[n] = r_m;
      }
      if (n > k && n <= s_x) {
        r_x = detail::ratio_step(w, inv_x, r_x);
        if (n < len) ratio_x[n] = r_x;
      }
    }
  };

  if (m.im == 0.0) {
    const double z = m.re * x_in;
    ratio_mx_real.assign(len, 0.0);
    run(1.0 / z, ratio_mx_real, start_order(std::fabs(z), n_terms));
    ratio_mx.clear();
    for (const double r : ratio_mx_real) ratio_mx.push_back({r, 0.0});
  } else {
    const C z{m.re * x_in, m.im * x_in};
    ratio_mx.assign(len, C{});
    run(inv(z), ratio_mx, start_order(std::hypot(z.re, z.im), n_terms));
  }
}

void State::finish(std::size_t n_terms, bool with_derivatives,
                   std::optional<std::span<const LayerRecord>> layers,
                   std::optional<std::span<const ChainRecord>> chain, double x_in, C m) {
  VANTOK_ASSERT(ratio_mx.size() >= n_terms + 2 && ratio_x.size() >= n_terms + 2);
  VANTOK_ASSERT(!layers || layers->size() >= n_terms);
  VANTOK_ASSERT(!(with_derivatives && layers) || (chain && chain->size() >= n_terms));
  const bool use_chain = with_derivatives && chain.has_value();

  x = x_in;
  m_re = m.re;
  m_im = m.im;
  derivatives = with_derivatives;
  a.clear();
  b.clear();
  da_dx.clear();
  da_dm.clear();
  db_dx.clear();
  db_dm.clear();
  layer_cache.clear();
  absorption = 0.0;
  dabs_dx = 0.0;
  dabs_dre = 0.0;
  dabs_dim = 0.0;

  const C z{m.re * x_in, m.im * x_in};
  const C inv_z = inv(z);
  const C inv_m = inv(m);
  const std::size_t k = cut_order(n_terms, x_in);
  const double sin_x = std::sin(x_in);
  const double cos_x = std::cos(x_in);
  const double inv_x = 1.0 / x_in;
  // For m = 1 the bracket (D_n(x) + n/x) psi_n - psi_{n-1} vanishes identically.
  const bool unit_index = m.re == 1.0 && m.im == 0.0;
  const C m2 = m * m;
  const C inv_m2 = inv(m2);
  // m^2 - 1 without cancellation near m = 1.
  const C m2_minus_1{(m.re - 1.0) * (m.re + 1.0) - m.im * m.im, 2.0 * m.re * m.im};
  const C contrast = m2_minus_1 * inv_m2;  // (m^2 - 1)/m^2

  // Upward regime: psi_{n-1}, psi_{n-2} and chi likewise.
  double psi1 = sin_x, psi2 = cos_x;
  double chi1 = cos_x, chi2 = -sin_x;
  // Ratio regime: 1/xi_n, psi_n/xi_n and q_n = xi_{n-1}/xi_n.
  C inv_xi{}, psi_xi{}, q{};
  if (k == 0) {
    inv_xi = {sin_x, cos_x};
    psi_xi = scale(sin_x, inv(C{sin_x, -cos_x}));
    q = {0.0, 1.0};
  }

  for (std::size_t n = 1; n <= n_terms; ++n) {
    const double nd = static_cast<double>(n);
    const double w = 2.0 * nd + 1.0;
    const C r_mx = ratio_mx[n + 1];
    const C d = scale(nd + 1.0, inv_z) - r_mx;  // D_n(m x) = (n+1)/z - r_{n+1}(z)
    const SideTerm* term_a = nullptr;
    const SideTerm* term_b = nullptr;
    C h_a = d, h_b = d;
    if (layers) {
      const LayerRecord& rec = (*layers)[n - 1];
      if (rec) {
        term_a = &rec->first;
        term_b = &rec->second;
        h_a = term_a->kind == SideTerm::Kind::Shift ? d + term_a->v : term_a->v;
        h_b = term_b->kind == SideTerm::Kind::Shift ? d + term_b->v : term_b->v;
      }
    }
    const bool shift_a = term_a && term_a->kind == SideTerm::Kind::Shift;
    const bool shift_b = term_b && term_b->kind == SideTerm::Kind::Shift;
    const bool replace_a = term_a && term_a->kind == SideTerm::Kind::Replace;
    const bool replace_b = term_b && term_b->kind == SideTerm::Kind::Replace;
    const C e_a = h_a * inv_m;
    const C e_b = m * h_b;
    const double n_x = nd * inv_x;
    const C t_a = plus(e_a, n_x);
    const C t_b = plus(e_b, n_x);

    C an, bn, big_x, big_y;
    // X xi_n, X xi_{n-1}, Y xi_n, Y xi_{n-1}
    C x_xi, x_xi1, y_xi, y_xi1;
    if (n <= k) {
      const double w1 = (2.0 * nd - 1.0) * inv_x;
      const double psi = w1 * psi1 - psi2;
      const double chi = w1 * chi1 - chi2;
      const C xi{psi, -chi};
      const C xi1{psi1, -chi1};
      big_x = inv(t_a * xi - xi1);
      big_y = inv(t_b * xi - xi1);
      C num_a, num_b;
      if (shift_a) {
        const C bracket = unit_index ? C{} : minus(scale(plus(d * inv_m, n_x), psi), psi1);
        num_a = bracket + scale(term_a->v * inv_m, psi);
      } else {
        num_a = minus(scale(t_a, psi), psi1);
      }
      if (shift_b) {
        const C bracket = unit_index ? C{} : minus(scale(plus(m * d, n_x), psi), psi1);
        num_b = bracket + scale(m * term_b->v, psi);
      } else {
        num_b = minus(scale(t_b, psi), psi1);
      }
      an = num_a * big_x;
      bn = num_b * big_y;
      x_xi = big_x * xi;
      x_xi1 = big_x * xi1;
      y_xi = big_y * xi;
      y_xi1 = big_y * xi1;
      if (n == k) {
        inv_xi = inv(xi);
        psi_xi = scale(psi, inv_xi);
        q = xi1 * inv_xi;
      }
      psi2 = psi1;
      psi1 = psi;
      chi2 = chi1;
      chi1 = chi;
    } else {
      q = inv(minus((2.0 * nd - 1.0) * inv_x, q));
      psi_xi = scale(ratio_x[n], psi_xi) * q;
      inv_xi = inv_xi * q;
      // Numerators divided by psi_n: T - psi_{n-1}/psi_n = E - D_n(x), with
      // D_n(x) = (n+1)/x - r_{n+1}(x) and the (n+1)/x terms combined exactly.
      const double r_x1 = ratio_x[n + 1];
      const double n1_x = (nd + 1.0) * inv_x;
      const double d_x = n1_x - r_x1;
      C num_a, num_b;
      if (replace_a) {
        num_a = minus(term_a->v * inv_m, d_x);
      } else {
        num_a = minus(r_x1, scale(contrast, n1_x)) - r_mx * inv_m;
        if (shift_a) num_a = num_a + term_a->v * inv_m;
      }
      if (replace_b) {
        num_b = minus(m * term_b->v, d_x);
      } else {
        num_b = minus(r_x1, m * r_mx);
        if (shift_b) num_b = num_b + m * term_b->v;
      }
      const C ia = inv(t_a - q);
      const C ib = inv(t_b - q);
      an = psi_xi * num_a * ia;
      bn = psi_xi * num_b * ib;
      big_x = inv_xi * ia;
      big_y = inv_xi * ib;
      x_xi = ia;
      x_xi1 = q * ia;
      y_xi = ib;
      y_xi1 = q * ib;
    }
    a.push_back(an);
    b.push_back(bn);
    const double nx2 = norm_sqr(big_x);
    const double ny2 = norm_sqr(big_y);

    if (with_derivatives) {
      const C x2 = big_x * big_x;
      const C y2 = big_y * big_y;
      const double nn1 = nd * (nd + 1.0);
      const double nn1_x2 = nn1 * inv_x * inv_x;  // n(n+1)/x^2
      C de_a_dx, de_b_dx, de_a_dm, de_b_dm;
      if (use_chain) {
        const ChainRecord& rc = (*chain)[n - 1];
        de_a_dx = rc[0];
        de_b_dx = m2 * rc[1];
        de_a_dm = rc[4] * inv_m - (scale(2.0, h_a) - rc[2]) * inv_m2;
        de_b_dm = rc[3] + m * rc[5];
        da_dx.push_back(times_i(x2) * contrast * plus(nn1_x2, h_a * h_a));
        db_dx.push_back(times_i(y2) * m2_minus_1);
        da_dm.push_back(minus_i_times(x2, de_a_dm));
        db_dm.push_back(minus_i_times(y2, de_b_dm));
        layer_cache.push_back({big_x, big_y, x_xi, y_xi, e_a, e_b});
      } else {
        // D'(z) = n(n+1)/z^2 - 1 - D^2, evaluated from R = r_{n+1}(z) as
        // (n+1)(2R/z - 1/z^2) - R^2 - 1.
        const C d_prime =
            minus(scale(nd + 1.0, scale(2.0, r_mx) * inv_z - inv_z * inv_z) - r_mx * r_mx, 1.0);
        // u = D - z D'(z) and w = D + z D'(z) without the cancelling D^2 terms.
        const C z_r = z * plus(1.0, r_mx * r_mx);
        const C u = scale(2.0, d) - scale(w, r_mx) + z_r;
        const C wv = scale(w, r_mx) - z_r;
        de_a_dx = d_prime;
        de_b_dx = m2 * d_prime;
        de_a_dm = -(u * inv_m2);
        de_b_dm = wv;
        da_dx.push_back(times_i(x2) * contrast * plus(nn1_x2, d * d));
        db_dx.push_back(times_i(y2) * m2_minus_1);
        da_dm.push_back(times_i(x2) * u * inv_m2);
        db_dm.push_back(minus_i_times(y2, wv));
      }
      // X d den/dx = (dE/dx + 1 - n(n+1)/x^2 - n E/x) X xi_n + E X xi_{n-1}
      const C xd_a = minus(plus(de_a_dx, 1.0), nn1_x2) - scale(n_x, e_a);
      const C xd_b = minus(plus(de_b_dx, 1.0), nn1_x2) - scale(n_x, e_b);
      const C dden_a_dx = xd_a * x_xi + e_a * x_xi1;
      const C dden_b_dx = xd_b * y_xi + e_b * y_xi1;
      const C de_a_dim = times_i(de_a_dm);
      const C de_b_dim = times_i(de_b_dm);
      dabs_dx += w * (absorption_term(nx2, e_a, de_a_dx, dden_a_dx) +
                      absorption_term(ny2, e_b, de_b_dx, dden_b_dx));
      dabs_dre += w * (absorption_term(nx2, e_a, de_a_dm, de_a_dm * x_xi) +
                       absorption_term(ny2, e_b, de_b_dm, de_b_dm * y_xi));
      dabs_dim += w * (absorption_term(nx2, e_a, de_a_dim, de_a_dim * x_xi) +
                       absorption_term(ny2, e_b, de_b_dim, de_b_dim * y_xi));
    }
    absorption += w * (-e_a.im * nx2 - e_b.im * ny2);
  }
}

}  // namespace vantok::mie::kernel
