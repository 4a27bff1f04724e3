// Layered-sphere recursion for the effective log-derivatives of the outer
// layer, and its analytic derivatives with respect to every layer's x_l, m_l.
//
// Per interface l (between layers l-1 and l; z1 = m_l x_{l-1}, z2 = m_l x_l)
// the field inside layer l is f = A psi_n + B S_n with S = chi or xi. With
// W = mu1 H_{l-1} / mu2 its log-derivative at z1 (mu1/mu2 = m_l/m_{l-1} for the
// a side, m_{l-1}/m_l for b), the log-derivative at z2 is
//   H_l = (G2 D1_n(z2) - Q G1 D2_n(z2)) / (G2 - Q G1),
//   G1 = mu1 H_{l-1} - mu2 D1_n(z1),  G2 = mu1 H_{l-1} - mu2 D2_n(z1),
// with Q = psi_n(z1) S_n(z2) / (S_n(z1) psi_n(z2)). It is evaluated either as
// D1_n(z2) minus a correction or directly, whichever keeps more digits.
#include "vantok/layered/kernel.hpp"

#include <cmath>

#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace vantok::layered::kernel {

using complex::inv;
using complex::minus;
using complex::plus;
using complex::scale;
using complex::times_i;
using mie::kernel::State;
using mie::kernel::SurfaceOrder;
using C = Complex<double>;

namespace {

inline double norm1(const C& z) { return std::fabs(z.re) + std::fabs(z.im); }

// max(a, b) ignoring a NaN operand, as std::fmax, but inline: when |c'|_1 is
// NaN the threshold is |D1|_1 alone.
inline double max_ignoring_nan(double a, double b) {
  if (b != b) return a;
  if (a != a) return b;
  return a < b ? b : a;
}

// Multiplication by the Wronskian constant K = psi S' - psi' S of the second
// solution: -1 for chi, i for xi.
inline C times_k(const C& z, bool weak) { return weak ? -z : times_i(z); }

// sin(a + ib) = (sin a cosh b, cos a sinh b), cos(a + ib) = (cos a cosh b, -sin a sinh b).
struct SinCos {
  C sin;
  C cos;
};

SinCos sin_cos(const C& z) {
  const double sa = std::sin(z.re), ca = std::cos(z.re);
  const double chb = std::cosh(z.im), shb = std::sinh(z.im);
  return {{sa * chb, ca * shb}, {ca * chb, -(sa * shb)}};
}

// e^(i t) scaled by e^(-s): e^(-s) (cos t + i sin t).
C damped_phase(double s, double t) { return scale(std::exp(-s), C{std::cos(t), std::sin(t)}); }

}  // namespace

Arg::Arg(bool weak, C z_in) : z(z_in), inv_z(inv(z_in)) {
  const double a = z.re, b = z.im;
  if (weak) {
    // S = chi: P = sin z cos z, T = chi_1/chi_0 = 1/z + tan z.
    const SinCos sc = sin_cos(z);
    p = sc.sin * sc.cos;
    t = inv_z + sc.sin * inv(sc.cos);
  } else {
    // S = xi = -i e^(iz): P = psi_0 xi_0 = (1 - e^(2iz))/2, free of
    // cancellation as -(expm1(-2b) cos 2a - 2 sin^2 a)/2 and bounded for b >= 0;
    // T = xi_1/xi_0 = 1/z - i.
    const double sa = std::sin(a);
    p = {-0.5 * (std::expm1(-2.0 * b) * std::cos(2.0 * a) - 2.0 * (sa * sa)),
         -0.5 * std::exp(-2.0 * b) * std::sin(2.0 * a)};
    t = {inv_z.re, inv_z.im - 1.0};
  }
  t_prev = {};
}

C Arg::advance(double w, const C& r_n) {
  t_prev = t;
  p = p * r_n * t_prev;
  const C inv_t_prev = inv(t_prev);
  t = scale(w, inv_z) - inv_t_prev;
  return inv_t_prev;
}

SideResult side(const SurfaceTerm& prev_term, C prev_h, const SideData& d, bool a_side, C mu1, C mu2,
                C extra) {
  // After a Shift step the (n+1)/x_{l-1} terms of the two log-derivatives are
  // combined analytically into extra (they cancel exactly for b).
  const C g1 = prev_term.kind == SurfaceTerm::Kind::Shift
                   ? ((mu1 * prev_term.v + mu2 * d.r_z1) - mu1 * d.r_prev) + extra
                   : mu1 * prev_h - mu2 * d.d1_z1;
  const C g2 = mu1 * prev_h - mu2 * d.d2_z1;
  const C delta = g2 * d.p_s - g1 * d.q_s;
  const C inv_delta = inv(delta);
  // H - D1_n(z2) = -G1 Q K / (Delta / P) since D2 - D1 = K/P.
  const C c_prime = times_k(g1 * d.q_s, d.weak) * inv_delta * d.inv_p_s;
  const C h_shift = d.d1_z2 - c_prime;
  SideResult out;
  // The correction form keeps its digits unless it cancels against D1_n(z2).
  if (4.0 * norm1(h_shift) >= max_ignoring_nan(norm1(d.d1_z2), norm1(c_prime))) {
    out.term = SurfaceTerm::shift(-c_prime);
    out.h = h_shift;
  } else {
    out.h = d.d2_z2 - times_k(g2, d.weak) * inv_delta;
    out.term = SurfaceTerm::replace(out.h);
  }
  if (!d.derivatives) return out;

  const double s = a_side ? 1.0 : -1.0;
  const double nd = static_cast<double>(d.n);
  const double w = 2.0 * nd + 1.0;
  const double nn1 = nd * (nd + 1.0);
  const C inv_mu2 = inv(mu2);
  const C big_w = (mu1 * prev_h) * inv_mu2;
  const C g1s = g1 * inv_mu2;  // W - D1_n(z1), without cancellation after a Shift
  // Transfer factor dH/dW = Y^2, Y = -f(z1)/f(z2) for the field f of the layer.
  const C y = (times_k(mu2, d.weak) * d.sigma) * inv_delta;
  const C z1 = d.arg_z1->z;
  C nu;
  if (4.0 * norm1(big_w) >= max_ignoring_nan(norm1(d.d1_z1), norm1(g1s))) {
    // U = D1 - z1 D1' (a) or -(D1 + z1 D1') (b) in cancellation-free form, and
    // s W - z1 F(z1; W) = U + g1 (s + z1 (2 D1 + g1)) with W = D1 + g1.
    const C base = scale(w, d.r_z1) - z1 * plus(1.0, d.r_z1 * d.r_z1);
    const C u = a_side ? scale(2.0, d.d1_z1) - base : -base;
    nu = u + g1s * plus(s, z1 * (scale(2.0, d.d1_z1) + g1s));
  } else {
    const C iz = d.arg_z1->inv_z;
    nu = scale(s, big_w) - z1 * (minus(scale(nn1, iz) * iz, 1.0) - big_w * big_w);
  }
  const C r = d.r_z2;
  const C q = d.arg_z2->inv_z;
  const C z2 = d.arg_z2->z;
  C phi, omega;
  if (out.term.kind == SurfaceTerm::Kind::Shift) {
    // H = D1 + c: slopes relative to D1' = (n+1)(2Rq - q^2) - 1 - R^2.
    const C c = out.term.v;
    const C v = scale(2.0, d.d1_z2) + c;
    phi = (scale(nd + 1.0, scale(2.0, r) * q - q * q) - plus(1.0, r * r)) - v * c;
    omega = (scale(w, r) - plus(1.0, r * r) * z2) + minus(1.0, v * z2) * c;
  } else {
    phi = minus(q * scale(nn1, q), 1.0) - out.h * out.h;
    omega = out.h + z2 * phi;
  }
  out.d = SideDerivatives{out.h, y * y, nu, phi, omega};
  return out;
}

void Kernel::solve(State& outer, std::span<const double> xs, std::span<const C> ms, std::size_t n_terms,
                   bool derivatives) {
  const std::size_t layers = xs.size();
  VANTOK_ASSERT(layers >= 2 && ms.size() >= layers);
  const std::size_t last = layers - 1;
  outer.prepare(n_terms, xs[last], ms[last]);
  fill_ratios(xs, ms, n_terms);
  start_interfaces(xs, ms, derivatives);
  surface_orders_.clear();
  surface_slopes_.clear();
  // A stop check every 2^12 interface steps, about a millisecond.
  stop::Pace pace(std::size_t{1} << 12);
  for (std::size_t n = 1; n <= n_terms; ++n) {
    pace.step(layers);
    advance_interfaces(n, outer, derivatives);
    surface_orders_.push_back(step_out(n, xs, ms, outer, derivatives));
    if (derivatives) {
      const C r_core = ratio_list_[0][n + 1];
      const C dm_a = chain_pass(xs, ms, n, r_core, true);
      const C dm_b = chain_pass(xs, ms, n, r_core, false);
      const auto& outer_parts = side_derivatives_[last - 1];
      surface_slopes_.push_back({outer_parts[0].phi, outer_parts[1].phi, outer_parts[0].omega,
                                 outer_parts[1].omega, dm_a, dm_b});
    }
  }
  outer.finish(n_terms, derivatives, xs[last], ms[last], mie::kernel::Surface{surface_orders_, surface_slopes_});
  if (derivatives) {
    inner_records(outer, layers);
  } else {
    records_.clear();
  }
}

void Kernel::fill_ratios(std::span<const double> xs, std::span<const C> ms, std::size_t n_terms) {
  // r(m_0 x_0), then per interface r(z1) and (inner interfaces) r(z2).
  const std::size_t layers = xs.size();
  ratio_list_.resize(2 * layers - 2);
  mie::kernel::ratios(ratio_list_[0], scratch_, n_terms, ms[0], xs[0]);
  stop::Pace pace(std::size_t{1} << 14);  // ratios: about a millisecond
  for (std::size_t l = 1; l < layers; ++l) {
    pace.step(2 * n_terms);
    mie::kernel::ratios(ratio_list_[2 * l - 1], scratch_, n_terms, ms[l], xs[l - 1]);
    if (l + 1 < layers) mie::kernel::ratios(ratio_list_[2 * l], scratch_, n_terms, ms[l], xs[l]);
  }
}

const std::vector<C>& Kernel::ratio_z2(std::size_t l, const State& outer) const {
  // The outer z2 = m_L x_L is the State's own ratio_mx.
  return l < interfaces_.size() ? ratio_list_[2 * l] : outer.ratio_mx;
}

void Kernel::start_interfaces(std::span<const double> xs, std::span<const C> ms, bool derivatives) {
  const std::size_t layers = xs.size();
  interfaces_.clear();
  for (std::size_t l = 1; l < layers; ++l) {
    const C ml = ms[l];
    const C mp = ms[l - 1];
    const bool weak = ml.im * xs[l] < 0.5;
    const C z1{ml.re * xs[l - 1], ml.im * xs[l - 1]};
    const C z2{ml.re * xs[l], ml.im * xs[l]};
    Interface f{weak, ((ml - mp) * (ml + mp)) * inv(ml * mp), Arg(weak, z1), Arg(weak, z2), C{}, C{}};
    const double thickness = xs[l] - xs[l - 1];
    if (weak) {
      // Qs_0 = psi_0(z1) chi_0(z2)^2 / chi_0(z1) = tan z1 cos^2 z2.
      const SinCos s1 = sin_cos(z1);
      const SinCos s2 = sin_cos(z2);
      f.q_s = (s1.sin * inv(s1.cos)) * (s2.cos * s2.cos);
      if (derivatives) f.sigma = s2.cos * inv(s1.cos);
    } else {
      // Qs_0 = -(1/2) e^(2 i m_l d) (e^(2 i z1) - 1), every factor bounded by 1
      // for Im m_l >= 0; e^(2 i z1) - 1 without cancellation near z1 = 0.
      const C phase = damped_phase(2.0 * ml.im * thickness, 2.0 * ml.re * thickness);
      const double s1 = std::sin(z1.re);
      const C e2iz1_m1{std::expm1(-2.0 * z1.im) * std::cos(2.0 * z1.re) - 2.0 * (s1 * s1),
                       std::exp(-2.0 * z1.im) * std::sin(2.0 * z1.re)};
      f.q_s = scale(-0.5, phase * e2iz1_m1);
      // sigma_0 = xi_0(z2)/xi_0(z1) = e^(i m_l d)
      if (derivatives) f.sigma = damped_phase(ml.im * thickness, ml.re * thickness);
    }
    interfaces_.push_back(f);
  }
  const C z0{ms[0].re * xs[0], ms[0].im * xs[0]};
  inv_z0_ = inv(z0);
  if (derivatives) {
    companions_.resize(layers);
    for (Companion& c : companions_) {
      for (auto& v : c.c) v.clear();
    }
    side_derivatives_.resize(layers - 1);
  }
}

void Kernel::advance_interfaces(std::size_t n, const State& outer, bool derivatives) {
  const double w = 2.0 * static_cast<double>(n) + 1.0;
  for (std::size_t l = 1; l <= interfaces_.size(); ++l) {
    Interface& f = interfaces_[l - 1];
    const C r1 = ratio_list_[2 * l - 1][n];
    const C inv_tp1 = f.z1.advance(w, r1);
    f.z2.advance(w, ratio_z2(l, outer)[n]);
    f.q_s = f.q_s * r1 * (f.z2.t_prev * f.z2.t_prev) * inv_tp1;
    if (derivatives) f.sigma = (f.sigma * f.z2.t_prev) * inv_tp1;
  }
}

SurfaceOrder Kernel::step_out(std::size_t n, std::span<const double> xs, std::span<const C> ms, const State& outer,
                              bool derivatives) {
  const double nd = static_cast<double>(n);
  // The core: H = D1_n(m_0 x_0), as Shift(0).
  const C r_core = ratio_list_[0][n + 1];
  SurfaceTerm term_a = SurfaceTerm::shift(C{});
  SurfaceTerm term_b = term_a;
  C h_a = scale(nd + 1.0, inv_z0_) - r_core;
  C h_b = h_a;
  for (std::size_t l = 1; l <= interfaces_.size(); ++l) {
    const Interface& f = interfaces_[l - 1];
    const C r_z1 = ratio_list_[2 * l - 1][n + 1];
    const C r_z2 = ratio_z2(l, outer)[n + 1];
    const C n1_z1 = scale(nd + 1.0, f.z1.inv_z);
    const C n1_z2 = scale(nd + 1.0, f.z2.inv_z);
    const SideData data{ratio_list_[2 * l - 2][n + 1],
                        r_z1,
                        n1_z1 - r_z1,
                        n1_z1 - f.z1.t,
                        n1_z2 - r_z2,
                        n1_z2 - f.z2.t,
                        f.z2.p,
                        inv(f.z2.p),
                        f.q_s,
                        f.weak,
                        n,
                        r_z2,
                        f.sigma,
                        &f.z1,
                        &f.z2,
                        derivatives};
    const SideResult ra =
        side(term_a, h_a, data, true, ms[l], ms[l - 1], scale(f.contrast, (nd + 1.0) / xs[l - 1]));
    const SideResult rb = side(term_b, h_b, data, false, ms[l - 1], ms[l], C{});
    term_a = ra.term;
    h_a = ra.h;
    term_b = rb.term;
    h_b = rb.h;
    if (derivatives) side_derivatives_[l - 1] = {*ra.d, *rb.d};
  }
  return {term_a, term_b};
}

void Kernel::inner_records(const State& outer, std::size_t layers) {
  records_.resize(layers - 1);
  for (std::size_t j = 0; j + 1 < layers; ++j) {
    const auto& c = companions_[j].c;
    outer.through_surface(c[0], c[1], c[2], c[3], records_[j]);
  }
}

C Kernel::chain_pass(std::span<const double> xs, std::span<const C> ms, std::size_t n,
                     C r_core, bool a_side) {
  const std::size_t layers = xs.size();
  const std::size_t side_index = a_side ? 0 : 1;
  const double nd = static_cast<double>(n);
  const double nn1 = nd * (nd + 1.0);
  dx_.assign(layers, C{});
  dm_.assign(layers, C{});
  // g = dH_{L-1}/dH_j before interface j is visited.
  C g{1.0, 0.0};
  for (std::size_t j = layers - 1; j >= 1; --j) {
    const SideDerivatives& sd = side_derivatives_[j - 1][side_index];
    const C mj = ms[j];
    const C mp = ms[j - 1];
    const C inv_mj = inv(mj);
    const C gt = g * sd.tau;
    // Interface j depends on m_j through z1 and W: dH_j/dm_j = tau nu / m_j.
    dm_[j] += (gt * sd.nu) * inv_mj;
    // H and omega of the inner neighbour (the core for j = 1).
    C h_in, omega_in;
    if (j >= 2) {
      const SideDerivatives& in = side_derivatives_[j - 2][side_index];
      h_in = in.h;
      omega_in = in.omega;
    } else {
      const C z0{ms[0].re * xs[0], ms[0].im * xs[0]};
      h_in = scale(nd + 1.0, inv_z0_) - r_core;
      omega_in = scale(2.0 * nd + 1.0, r_core) - z0 * plus(1.0, r_core * r_core);
    }
    const C inv_mp = inv(mp);
    // m_j^2 - m_{j-1}^2 as (m_j - m_{j-1})(m_j + m_{j-1}), part by part: exactly
    // 0 across a boundary between equal indices.
    const C dm2{(mj.re - mp.re) * (mj.re + mp.re) - (mj.im - mp.im) * (mj.im + mp.im),
                (mj.im + mp.im) * (mj.re - mp.re) + (mj.re + mp.re) * (mj.im - mp.im)};
    // Layer j-1 enters interface j through z1 = m_j x_{j-1} and through mu, and
    // H' through its own z2 = m_{j-1} x_{j-1}; the two paths combined, with
    // the cancelling terms removed analytically.
    C kx, km, g_next;
    if (a_side) {
      const double inv_x = 1.0 / xs[j - 1];
      const C mp2 = mp * mp;
      kx = (mj * dm2) *
           ((h_in * h_in * inv_mp) * inv_mp + scale(nn1 * inv_x * inv_x, inv(mj * (mj * mp2))));
      km = -((inv_mp * (mj * inv_mp)) * (scale(2.0, h_in) - omega_in));
      g_next = (gt * mj) * inv_mp;
    } else {
      kx = dm2 * inv_mj;
      km = inv_mj * omega_in;
      g_next = (gt * mp) * inv_mj;
    }
    dx_[j - 1] += gt * kx;
    dm_[j - 1] += gt * km;
    g = g_next;
  }
  for (std::size_t j = 0; j + 1 < layers; ++j) {
    companions_[j].c[a_side ? 0 : 2].push_back(dx_[j]);
    companions_[j].c[a_side ? 1 : 3].push_back(dm_[j]);
  }
  return dm_[layers - 1];
}

}  // namespace vantok::layered::kernel
