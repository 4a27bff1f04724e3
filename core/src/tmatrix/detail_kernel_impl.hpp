#pragma once
// Definitions of the generic mode kernel (detail_kernel.hpp), included only by
// the translation units that instantiate it for one scalar each.
//
// Scaled basis: a function of r of order n is divided by P_n = out_0 ... out_n
// (|h_n(rmin)|), a function of z = eta r by Q_n = reg_0 ... reg_n and by
// e^gamma, gamma = |Im(eta rmax)|, so that no order over- or underflows. The
// power series of the outgoing part carry the same factors in their leading
// coefficients; the caller undoes the scaling on the solved T blocks.

#include <new>
#include <tuple>

#include "tmatrix/detail_kernel.hpp"
#include "vantok/memory.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::kernel::detail {

// ---------------------------------------------------------------------------
// Series coefficient tables.
//
// Outgoing side: the small-argument series of y_n(r) = -(2n-1)!!/r^(n+1)
// sum_s (-r^2)^s / prod(2l)(2l-2n-1), in powers of rho = r/rmin, with the
// scale P_n folded into the leading coefficient. Regular side: j_n(z) = z^n /
// (2n+1)!! sum_s (-z^2/2)^s / (s! (2n+3)...(2n+2s+1)) with Q_n and e^-gamma
// folded in. A term loop stops once the terms are negligible at the largest
// radius rmax: the bound b_s follows the term ratio there, and the loop ends
// when that ratio is below 1/2 and b_s below tol times the largest bound so
// far. A bound or ratio that is not finite, or more than MAX_SERIES_TERMS
// terms, would keep the loop going for ever: the table is then ended with a
// NaN term, so that every form built on it carries a NaN bound and the
// variant choice keeps the direct evaluation.

template <KernelScalar T>
regular::Series<T> series_tables(const functions::Scales<T>& scales, std::size_t nmax,
                                 const T& rmin, const T& rmax, const Complex<T>& eta) {
  using M = Member<T>;
  const T zero{};
  const T tol = scalar::constant<T>(M::series_tolerance);
  const T half = scalar::constant<T>(0.5);
  const T nan = scalar::constant<T>(std::numeric_limits<double>::quiet_NaN());
  VANTOK_ASSERT(scales.outgoing.size() >= nmax + 1 && scales.regular.size() >= nmax + 1);

  regular::Series<T> series;
  series.irregular.resize(nmax + 1);
  series.regular.resize(nmax + 1);
  series.rmin = rmin;
  series.m = eta;

  const T rmin2 = rmin * rmin;
  const T q = rmax / rmin;
  const T q2 = q * q;
  const T big_r = rmin2 * q2;
  const T neg_rmin2 = -rmin2;

  // Irregular: c_n = -prod_{l=1..n} (2l-1)/(rmin out_l), built up in l order.
  T c = M::from_int(-1);
  for (std::size_t n = 1; n <= nmax; ++n) {
    c = c * (M::from_int(static_cast<std::int64_t>(2 * n - 1)) / (rmin * scales.outgoing[n]));
    std::vector<T>& terms = series.irregular[n];
    T t = c;
    terms.push_back(t);
    T b = abs(c);
    T big_b = b;
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const std::int64_t den = (2 * s) * (2 * s - two_n1);
      t = (t * neg_rmin2) / M::from_int(den);
      terms.push_back(t);
      const T rho = big_r / M::from_int(den < 0 ? -den : den);
      b = b * rho;
      big_b = M::running_max(big_b, b);
      if (2 * s > two_n1 && rho < half && (b < tol * big_b || M::is_zero(big_b))) break;
      if (!M::finite(b) || !M::finite(rho) || terms.size() >= MAX_SERIES_TERMS) {
        terms.push_back(nan);
        break;
      }
    }
  }

  // Regular: c_n = (e^-h / reg_0) prod_{l=1..n} zeta / ((2l+1) reg_l).
  const Complex<T> zeta{eta.re * rmin, eta.im * rmin};
  const Complex<T> zeta2 = zeta * zeta;
  const T growth = hypot(zeta2.re, zeta2.im) * q2;
  Complex<T> cz{M::exp_neg(scales.im_abs) / scales.regular[0], zero};
  for (std::size_t n = 0; n <= nmax; ++n) {
    if (n >= 1) {
      const T d = M::from_int(static_cast<std::int64_t>(2 * n + 1)) * scales.regular[n];
      cz = cz * Complex<T>{zeta.re / d, zeta.im / d};
    }
    std::vector<Complex<T>>& terms = series.regular[n];
    Complex<T> t = cz;
    terms.push_back(t);
    T b = hypot(cz.re, cz.im);
    T big_b = b;
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const T den = M::from_int((two_n1 + 2 * s) * (2 * s));
      t = complex::scale(t * zeta2, M::from_int(-1) / den);
      terms.push_back(t);
      const T rho = growth / den;
      b = b * rho;
      big_b = M::running_max(big_b, b);
      if (rho < half && (b < tol * big_b || M::is_zero(big_b))) break;
      if (!M::finite(b) || !M::finite(rho) || terms.size() >= MAX_SERIES_TERMS) {
        terms.push_back(Complex<T>{nan, nan});
        break;
      }
    }
  }
  return series;
}

// ---------------------------------------------------------------------------
// Node integrand.
//
// A chunk is integrated in two steps: first every node's surface point,
// radial functions, outgoing-part products and their series forms; then, per
// mode, every node's angular and vector functions, and per element the sum of
// the chunk's nodes in node order, kept in registers and stored once. Each
// element thus receives ((0 + c_1) + c_2) + ... exactly as if the nodes were
// added one after another, without sweeping the accumulators once per node.

/// The tables of one node of the chunk at slot q.
template <KernelScalar T, bool WithChoice>
void node_tables(const Context<T>& ctx, const T& x, const T& weight, std::size_t q,
                 Scratch<T>& w) {
  using M = Member<T>;
  const std::size_t nmax = ctx.nmax;
  const std::size_t big_n = nmax + 1;
  const T zero{};
  const T one = M::from_int(1);
  const Complex<T> czero{zero, zero};
  const functions::Scales<T>& sc = *ctx.scales;
  const regular::Series<T>& series = *ctx.series;
  const std::size_t row_start = std::max<std::size_t>(ctx.n_low, 1);
  NodeTables<T>& nt = w.nodes[q];

  // Surface point: r(theta) of the spheroid and the normal factor
  // s = -r'/r = (b^2 - a^2) sin cos / D; g = s / r^2.
  const T x2 = x * x;
  const T st = sqrt(one - x2);
  const T big_d = M::surface_denominator(ctx.a2, ctx.b2, x, x2, st);
  const T r = ctx.ab / sqrt(big_d);
  const T inv_r = recip(r);
  nt.x = x;
  nt.st = st;
  nt.r = r;
  nt.s = (((ctx.b2 - ctx.a2) * st) * x) / big_d;
  nt.g = ((-x) * st) * ctx.g0;
  const Complex<T> z{ctx.eta.re * r, ctx.eta.im * r};
  const Complex<T> inv_z = complex::inv(z);

  // Outgoing functions h_n(r) = j_n + i y_n: the ratio w_n = h_n/h_{n-1}
  // obeys w_n = (2n-1)/r - 1/w_{n-1} from w_1 = 1/r - i, stable upward.
  const auto [sin_r, cos_r] = sin_cos(r);
  const T sin_over_r = M::over_r(sin_r, r, inv_r);
  const T cos_over_r = M::over_r(cos_r, r, inv_r);
  nt.h[0] = M::by_scale(Complex<T>{sin_over_r, M::over_r(-cos_r, r, inv_r)}, sc.outgoing[0],
                        ctx.inv_out[0]);
  nt.hc[0] = M::by_scale(Complex<T>{cos_over_r, sin_over_r}, sc.outgoing[0], ctx.inv_out[0]);
  nt.hb[0] = M::over_r(nt.h[0], r, inv_r);
  Complex<T> wn{inv_r, -one};
  for (std::size_t n = 1; n <= nmax; ++n) {
    if (n >= 2) {
      wn = Complex<T>{M::over_r(M::from_int(static_cast<std::int64_t>(2 * n - 1)), r, inv_r), zero} -
           complex::inv(wn);
    }
    const T& o = sc.outgoing[n];
    const T& io = ctx.inv_out[n];
    nt.h[n] = M::by_scale(nt.h[n - 1] * wn, o, io);
    nt.hb[n] = M::over_r(nt.h[n], r, inv_r);
    nt.hc[n] = M::by_scale(nt.h[n - 1], o, io) -
               complex::scale(M::over_r(M::from_int(static_cast<std::int64_t>(n)), r, inv_r),
                              nt.h[n]);
  }

  // Regular functions of r from the ratios psi_n/psi_{n-1} (downward
  // recurrence), in the outgoing scaling; every member divides these by the
  // scale factors (the outgoing functions of the extended members multiply by
  // their reciprocals).
  M::ratios_real(w.alpha, nmax, r);
  const auto over = [](const Complex<T>& v, const T& d) { return Complex<T>{v.re / d, v.im / d}; };
  nt.j[0] = Complex<T>{sin_over_r / sc.outgoing[0], zero};
  nt.jc[0] = Complex<T>{cos_over_r / sc.outgoing[0], zero};
  nt.jb[0] = M::over_r(nt.j[0], r, inv_r);
  for (std::size_t n = 1; n <= nmax; ++n) {
    const T& o = sc.outgoing[n];
    nt.j[n] = over(complex::scale(nt.j[n - 1], w.alpha[n]), o);
    nt.jb[n] = M::over_r(nt.j[n], r, inv_r);
    nt.jc[n] = over(nt.j[n - 1], o) -
               complex::scale(M::from_int(static_cast<std::int64_t>(n)), nt.jb[n]);
  }

  // Regular functions of z, scaled by e^-gamma / Q_n.
  M::ratios_complex(w.sigma, nmax, z);
  const auto [sin_z, cos_z] = M::sin_cos_scaled(z, sc.im_abs);
  const Complex<T> lead = complex::scale(inv_z, ctx.inv_reg[0]);
  nt.u[0] = lead * sin_z;
  nt.uc[0] = lead * cos_z;
  nt.ub[0] = nt.u[0] * inv_z;
  for (std::size_t n = 1; n <= nmax; ++n) {
    const T& g = sc.regular[n];
    const T& ig = ctx.inv_reg[n];
    nt.u[n] = M::by_scale(nt.u[n - 1] * w.sigma[n], g, ig);
    nt.ub[n] = nt.u[n] * inv_z;
    nt.uc[n] = M::by_scale(nt.u[n - 1], g, ig) -
               complex::scale(M::from_int(static_cast<std::int64_t>(n)), inv_z) * nt.u[n];
  }

  // Outgoing-part products Im(O_t[n_i]) R_t[n_j] r^p_t: only y_n(r) enters,
  // its j_n part being the regular element. Only the four kinds of the
  // parity of n_i - n_j, for the rows that some mode accumulates.
  const T r2 = r * r;
  const T r4 = r2 * r2;
  const std::array<const std::vector<Complex<T>>*, 8> outer{&nt.h, &nt.h, &nt.hc, &nt.hc,
                                                            &nt.h, &nt.hc, &nt.hb, &nt.hb};
  const std::array<const std::vector<Complex<T>>*, 8> inner{&nt.u, &nt.uc, &nt.u, &nt.uc,
                                                            &nt.ub, &nt.ub, &nt.u, &nt.uc};
  for (std::size_t ni = row_start; ni <= nmax; ++ni) {
    for (std::size_t nj = 1; nj <= nmax; ++nj) {
      const std::size_t base = ((ni * big_n + nj) * CHUNK + q) * 4;
      const auto& kinds = KINDS[(ni ^ nj) & 1u];
      for (std::size_t slot = 0; slot < 4; ++slot) {
        const std::size_t t = kinds[slot];
        const Complex<T> v = complex::scale(
            complex::scale((*outer[t])[ni].im, (*inner[t])[nj]), t < 4 ? r2 : r4);
        w.products[base + slot] = v;
        w.product_bounds[base + slot] = norm1(v);
      }
    }
  }

  // Series forms of the outgoing part: the same products from the power
  // series in rho = r/rmin with the low powers left out (variant 2: powers
  // <= 0, variant 1: powers <= -1), each as the full value less those terms
  // or as the sum of the others, whichever has the smaller bound.
  const T rho = r / ctx.node_rmin;
  const T rho2 = rho * rho;
  regular::NodeSeries<T> ns;
  ns.real_series.resize(big_n);
  ns.real_suffixes.resize(big_n);
  ns.complex_series.resize(big_n);
  for (std::size_t k = row_start; k <= nmax; ++k) {
    const std::vector<T>& kappa = series.irregular[k];
    const auto kk = static_cast<std::int64_t>(k);
    std::array<regular::RealSeries<T>, 3>& lists = ns.real_series[k];
    lists[0].offset = -kk - 1;
    lists[1].offset = -kk - 2;
    lists[2].offset = -kk - 2;
    for (auto& l : lists) l.coefficients.reserve(kappa.size());
    T p = powi(rho, static_cast<std::int32_t>(-kk - 1));
    for (std::size_t jx = 0; jx < kappa.size(); ++jx) {
      const T term = kappa[jx] * p;
      p = p * rho2;
      const auto order = M::from_int(2 * static_cast<std::int64_t>(jx) - kk);
      lists[0].coefficients.push_back(term);
      lists[1].coefficients.push_back(
          M::by_length((order * term) / rho, series.rmin, ctx.inv_series_rmin));
      lists[2].coefficients.push_back(M::by_length(term / rho, series.rmin, ctx.inv_series_rmin));
    }
    for (std::size_t f = 0; f < 3; ++f) {
      ns.real_suffixes[k][f] = regular::suffix<T>(lists[f].coefficients, lists[f].coefficients.size());
    }
  }
  std::array<std::vector<Complex<T>>, 3> clists;
  for (std::size_t k = 1; k <= nmax; ++k) {
    const std::vector<Complex<T>>& kappa = series.regular[k];
    for (auto& l : clists) l.clear();
    T p = powi(rho, static_cast<std::int32_t>(k));
    for (std::size_t jx = 0; jx < kappa.size(); ++jx) {
      const Complex<T> term = complex::scale(kappa[jx], p);
      p = p * rho2;
      const Complex<T> third = Complex<T>{term.re / rho, term.im / rho} * ctx.inv_series_zeta;
      clists[0].push_back(term);
      clists[1].push_back(
          complex::scale(M::from_int(static_cast<std::int64_t>(k + 2 * jx + 1)), third));
      clists[2].push_back(third);
    }
    const auto kk = static_cast<std::int64_t>(k);
    ns.complex_series[k][0] = regular::sums<T>(kk, clists[0]);
    ns.complex_series[k][1] = regular::sums<T>(kk - 1, clists[1]);
    ns.complex_series[k][2] = regular::sums<T>(kk - 1, clists[2]);
  }
  for (std::size_t ni = row_start; ni <= nmax; ++ni) {
    for (std::size_t nj = 1; nj <= nmax; ++nj) {
      if (ni == nj) continue;
      std::uint8_t flag = 3;
      if constexpr (WithChoice) flag = ctx.choice->grid[ni * big_n + nj];
      if (flag == 0) continue;
      const std::size_t base = ((ni * big_n + nj) * CHUNK + q) * 4;
      const auto& kinds = KINDS[(ni ^ nj) & 1u];
      for (std::size_t slot = 0; slot < 4; ++slot) {
        const std::size_t t = kinds[slot];
        const Complex<T>& v = w.products[base + slot];
        const T& c = t < 4 ? r2 : r4;
        regular::Forms<T>& f = w.forms[base + slot];
        f = regular::Forms<T>{czero, czero, zero, zero};
        if ((flag & 2u) != 0) std::tie(f.value0, f.bound0) = ns.tail_forms(t, ni, nj, 0, v, c);
        if ((flag & 1u) != 0) std::tie(f.value1, f.bound1) = ns.tail_forms(t, ni, nj, -1, v, c);
      }
    }
  }

  // Weights: W = 4 pi w for the outgoing part, A = r^2 W for the regular one.
  nt.big_w = (weight * M::pi()) * M::from_int(4);
  nt.big_a = M::regular_weight(r2, nt.big_w);
}

/// The angular functions of mode m at every node of the chunk and the vector
/// functions built from them, orders max(m, 1)..nmax.
template <KernelScalar T>
void mode_vectors(const Context<T>& ctx, std::size_t m, std::size_t nodes, Scratch<T>& w) {
  using M = Member<T>;
  const T zero{};
  const Complex<T> ci{zero, M::from_int(1)};
  const std::size_t m1 = std::max<std::size_t>(m, 1);
  for (std::size_t q = 0; q < nodes; ++q) {
    NodeTables<T>& nt = w.nodes[q];
    w.angular.compute(m, ctx.nmax, nt.x, nt.st);
    const std::vector<T>& d = w.angular.d0m;
    for (std::size_t n = m1; n <= ctx.nmax; ++n) {
      const T big_l = M::from_int(static_cast<std::int64_t>(n * (n + 1)));
      const T dl = d[n] * big_l;
      const T& pi = w.angular.pi_mn[n];
      const T& tau = w.angular.tau_mn[n];
      nt.pi[n] = pi;
      nt.tau[n] = tau;
      nt.gld[n] = (nt.g * big_l) * d[n];
      std::tie(nt.v[0][n], nt.v[1][n]) = element_vectors(ci, tau, dl, -pi, nt.j[n], nt.jc[n], nt.jb[n]);
      std::tie(nt.v[2][n], nt.v[3][n]) = element_vectors(ci, tau, dl, pi, nt.u[n], nt.uc[n], nt.ub[n]);
      for (std::size_t c = 0; c < 3; ++c) {
        nt.v[4][n][c] = ctx.eta * nt.v[2][n][c];
        nt.v[5][n][c] = ctx.eta * nt.v[3][n][c];
      }
    }
  }
}

template <KernelScalar T, bool WithChoice>
void node_step(const Context<T>& ctx, std::span<const Node<T>> chunk, Sums<T>& out,
               Scratch<T>& w) {
  const std::size_t nmax = ctx.nmax;
  const std::size_t big_n = nmax + 1;
  const std::size_t nodes = chunk.size();
  VANTOK_ASSERT(nodes <= CHUNK);
  const T zero{};
  const Complex<T> czero{zero, zero};
  for (std::size_t q = 0; q < nodes; ++q) {
    stop::check();
    node_tables<T, WithChoice>(ctx, chunk[q].first, chunk[q].second, q, w);
  }

  for (const ActiveMode& mode : ctx.active) {
    stop::check();
    const std::size_t m = mode.m;
    mode_vectors(ctx, m, nodes, w);
    const RowLists& rows = ctx.rows[m];
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k = mode.k[p];
      const std::vector<Row>& list = rows[p];
      const std::size_t offset = mode.offset[p];
      const std::uint8_t* codes = nullptr;
      if constexpr (WithChoice) codes = ctx.choice->per_mode[m][p].data();
      for (std::size_t i = 0; i < k; ++i) {
        const auto [ki, ni] = list[i];
        if (ni < mode.n_from) continue;
        const bool regular_part = ni < ctx.regular_limit;
        const std::size_t ra_v = ki == 0 ? 0 : 1;
        for (std::size_t jj = 0; jj < k; ++jj) {
          const auto [kj, nj] = list[jj];
          const std::size_t e = offset + i * k + jj;
          const std::size_t ca_v = kj == 0 ? 2 : 3;
          const std::size_t cb_v = kj == 0 ? 5 : 4;
          const T f = ctx.norm[ni] * ctx.norm[nj];
          const std::size_t pair = (ni * big_n + nj) * CHUNK;
          bool present = ni != nj;
          std::uint8_t code = 0;
          if constexpr (WithChoice) {
            code = codes[i * k + jj];
            present = present && ctx.choice->grid[ni * big_n + nj] != 0;
          }

          Complex<T> rg = out.value[0][e];
          T rg_mag = out.magnitude[0][e];
          std::array<Complex<T>, 3> var{out.value[1][e], out.value[2][e], out.value[3][e]};
          std::array<T, 3> mag{out.magnitude[1][e], out.magnitude[2][e], out.magnitude[3][e]};
          for (std::size_t q = 0; q < nodes; ++q) {
            const NodeTables<T>& nt = w.nodes[q];
            // Regular element: -i A F (triple(b, cA) + triple(a, cB)).
            const Vec3<T>& ra = nt.v[ra_v][ni];
            const Vec3<T>& rb = nt.v[1 - ra_v][ni];
            const Complex<T> e_rg = regular_part
                                        ? triple(rb, nt.v[ca_v][nj], nt.s) + triple(ra, nt.v[cb_v][nj], nt.s)
                                        : czero;
            const T af = nt.big_a * f;
            rg.re = rg.re + af * e_rg.im;
            rg.im = rg.im - af * e_rg.re;
            rg_mag = rg_mag + abs(af) * (abs(e_rg.re) + abs(e_rg.im));

            // Outgoing part: G sum_t c_t X_t over the four products.
            const T big_g = nt.big_w * f;
            const T abs_g = abs(big_g);
            const std::array<Complex<T>, 4> cf = coefficients(
                ki, kj, ctx.eta, nt.pi[ni], nt.tau[ni], nt.gld[ni], nt.pi[nj], nt.tau[nj], nt.gld[nj]);
            const std::array<T, 4> nc{norm1(cf[0]), norm1(cf[1]), norm1(cf[2]), norm1(cf[3])};
            const std::size_t base = (pair + q) * 4;
            const Complex<T>* xt = w.products.data() + base;
            const T* xb = w.product_bounds.data() + base;
            const regular::Forms<T>* ft = w.forms.data() + base;
            if constexpr (!WithChoice) {
              Complex<T> sum = cf[0] * xt[0];
              T sum_mag = nc[0] * xb[0];
              for (std::size_t t = 1; t < 4; ++t) {
                sum = sum + cf[t] * xt[t];
                sum_mag = sum_mag + nc[t] * xb[t];
              }
              var[0] = var[0] + complex::scale(big_g, sum);
              mag[0] = mag[0] + abs_g * sum_mag;
              if (present) {
                Complex<T> sum2 = cf[0] * ft[0].value0;
                T mag2 = nc[0] * ft[0].bound0;
                Complex<T> sum1 = cf[0] * ft[0].value1;
                T mag1 = nc[0] * ft[0].bound1;
                for (std::size_t t = 1; t < 4; ++t) {
                  sum2 = sum2 + cf[t] * ft[t].value0;
                  mag2 = mag2 + nc[t] * ft[t].bound0;
                  sum1 = sum1 + cf[t] * ft[t].value1;
                  mag1 = mag1 + nc[t] * ft[t].bound1;
                }
                var[2] = var[2] + complex::scale(big_g, sum2);
                mag[2] = mag[2] + abs_g * mag2;
                var[1] = var[1] + complex::scale(big_g, sum1);
                mag[1] = mag[1] + abs_g * mag1;
              }
            } else {
              Complex<T> sum = czero;
              T sum_mag = zero;
              for (std::size_t t = 0; t < 4; ++t) {
                Complex<T> xv = xt[t];
                T bound = xb[t];
                if (present && code == 1) {
                  xv = ft[t].value1;
                  bound = ft[t].bound1;
                } else if (present && code == 2) {
                  xv = ft[t].value0;
                  bound = ft[t].bound0;
                }
                if (t == 0) {
                  sum = cf[t] * xv;
                  sum_mag = nc[t] * bound;
                } else {
                  sum = sum + cf[t] * xv;
                  sum_mag = sum_mag + nc[t] * bound;
                }
              }
              var[code] = var[code] + complex::scale(big_g, sum);
              mag[code] = mag[code] + abs_g * sum_mag;
            }
          }
          out.value[0][e] = rg;
          out.magnitude[0][e] = rg_mag;
          for (std::size_t v = 0; v < 3; ++v) {
            out.value[1 + v][e] = var[v];
            out.magnitude[1 + v][e] = mag[v];
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Driver.

/// Rows (and columns) of each block of mode m: nmax - max(m, 1) + 1 orders.
inline std::size_t block_size(std::size_t m, std::size_t nmax) {
  const std::size_t m1 = std::max<std::size_t>(m, 1);
  return m1 <= nmax ? nmax - m1 + 1 : 0;
}

template <KernelScalar T>
Result<std::vector<ModeMatrices<T>>> run_kernel(const KernelCall<T>& call) {
  using M = Member<T>;
  using Size = std::size_t;
  const Size nmax = call.nmax;
  const Mask mask = call.mask;

  // Invariants of the callers, checked once: one mask entry per mode, and a
  // record with a code 0..2 for every element of every mode.
  VANTOK_ASSERT(nmax < std::numeric_limits<Size>::max() && mask.size() == nmax + 1);
  if (call.choice != nullptr) {
    const Choice& c = *call.choice;
    VANTOK_ASSERT(c.grid.size() == sat_mul<Size>(nmax + 1, nmax + 1) &&
                  c.per_mode.size() == nmax + 1);
    for (Size m = 0; m <= nmax; ++m) {
      const Size k = block_size(m, nmax);
      for (const auto& codes : c.per_mode[m]) {
        VANTOK_ASSERT(codes.size() == k * k);
        for (const std::uint8_t code : codes) VANTOK_ASSERT(code <= 2);
      }
    }
  }

  // Working set, before anything is allocated: the result arrays of every
  // mode, the sums of the active modes, and per chunk its partial sums and
  // scratch. Beyond the machine's memory even one chunk at a time cannot
  // run: that is an allocation failure.
  const Size result_bytes = 2 * sizeof(Complex<T>) + 2 * sizeof(T) + 1;
  const Size sums_bytes = 4 * sizeof(Complex<T>) + 4 * sizeof(T);
  Size all_elements = 0;
  Size active_elements = 0;
  for (Size m = 0; m <= nmax; ++m) {
    const Size k = block_size(m, nmax);
    const Size e = sat_mul<Size>(2, sat_mul(k, k));
    all_elements = sat_add(all_elements, e);
    if (mask[m]) active_elements = sat_add(active_elements, e);
  }
  const Size orders2 = sat_mul(nmax + 1, nmax + 1);
  const Size scratch_bytes = sat_mul<Size>(sat_mul<Size>(4 * CHUNK, orders2),
                                          sizeof(Complex<T>) + sizeof(T) + sizeof(regular::Forms<T>));
  const Size chunk_bytes = sat_add(sat_mul(active_elements, sums_bytes), scratch_bytes);
  memory::require(sat_add(sat_add(sat_mul(all_elements, result_bytes),
                                  sat_mul(active_elements, sums_bytes)),
                          chunk_bytes));

  // 1. Lowest requested order.
  Size n_low = nmax + 1;
  for (const auto& entry : mask) {
    if (entry) n_low = std::min(n_low, *entry);
  }

  // 3.-5. Semi-axes, scales and series.
  const Spheroid<T>& sph = call.spheroid;
  const auto [rmin, rmax] = M::semi_axes(sph.a, sph.b);
  const Complex<T> z_max{call.eta.re * rmax, call.eta.im * rmax};
  const functions::Scales<T> scales(nmax, rmin, z_max);
  const regular::Series<T> series = series_tables<T>(scales, nmax, rmin, rmax, call.eta);

  // 6. Quadrature rule; its errors are the only errors.
  VANTOK_TRY(rule, M::rule(rule_points(call.ngauss)));

  Context<T> ctx;
  ctx.nmax = nmax;
  ctx.spheroid = sph;
  ctx.a2 = sph.a * sph.a;
  ctx.b2 = sph.b * sph.b;
  ctx.ab = sph.a * sph.b;
  ctx.eta = call.eta;
  ctx.scales = &scales;
  for (Size n = 0; n <= nmax; ++n) {
    ctx.inv_out.push_back(recip(scales.outgoing[n]));
    ctx.inv_reg.push_back(recip(scales.regular[n]));
  }
  ctx.series = &series;
  ctx.inv_series_rmin = recip(series.rmin);
  ctx.inv_series_zeta = complex::inv(complex::scale(series.m, series.rmin));
  ctx.node_rmin = M::series_rmin(sph.a, sph.b);
  ctx.n_low = n_low;
  ctx.g0 = recip(ctx.b2) - recip(ctx.a2);
  ctx.regular_limit = call.regular_limit;
  ctx.choice = call.choice;

  // 7. Normalisation nu_n = sqrt((2n+1) / (4n(n+1) pi)), 4n(n+1) an integer.
  ctx.norm.push_back(T{});
  for (Size n = 1; n <= nmax; ++n) {
    const T den = M::from_int(static_cast<std::int64_t>(4 * n * (n + 1))) * M::pi();
    ctx.norm.push_back(sqrt(M::from_int(static_cast<std::int64_t>(2 * n + 1)) / den));
  }

  // 8. Nodes in (0, 1), ascending.
  std::vector<Node<T>> nodes;
  const T zero{};
  {
    const auto& [xs, ws] = rule;
    const Size count = std::min(xs.size(), ws.size());
    for (Size i = 0; i < count; ++i) {
      if (M::greater(xs[i], zero)) nodes.emplace_back(xs[i], ws[i]);
    }
  }

  // Modes, their rows and the flat layout of the active ones.
  ctx.rows.reserve(nmax + 1);
  Size offset = 0;
  for (Size m = 0; m <= nmax; ++m) {
    ctx.rows.push_back(row_lists(m, nmax));
    if (!mask[m]) continue;
    ActiveMode a;
    a.m = m;
    a.n_from = *mask[m];
    for (Size p = 0; p < 2; ++p) {
      a.k[p] = ctx.rows[m][p].size();
      a.offset[p] = offset;
      offset += a.k[p] * a.k[p];
    }
    ctx.active.push_back(a);
  }
  VANTOK_ASSERT(offset == active_elements);

  // 9.-13. Chunks of 8 nodes, in groups of at most the arena's concurrency
  // (and of what the budget allows); every group's sums are added in chunk
  // order, so the result is ((0 + P_1) + P_2) + ... whatever the schedule.
  constexpr Size chunk_size = CHUNK;
  const Size chunks = (nodes.size() + chunk_size - 1) / chunk_size;
  const Size threads = std::max<Size>(1, pool::thread_count());
  Size budget = call.partial_budget;
  if (budget == 0) budget = std::max<Size>(memory::physical_bytes() / 4, 1);
  const Size by_budget = std::max<Size>(1, budget / std::max<Size>(chunk_bytes, 1));

  Sums<T> total;
  total.assign_zero(active_elements);
  std::vector<Sums<T>> parts;
  std::vector<Scratch<T>> scratch;
  const auto run_chunk = [&](Size c, Size slot) {
    Sums<T>& part = parts[slot];
    Scratch<T>& work = scratch[slot];
    part.assign_zero(active_elements);
    if (work.products.empty()) work.reserve(nmax);
    const Size begin = c * chunk_size;
    const Size end = std::min(nodes.size(), begin + chunk_size);
    const std::span<const Node<T>> chunk(nodes.data() + begin, end - begin);
    if (ctx.choice != nullptr) {
      node_step<T, true>(ctx, chunk, part, work);
    } else {
      node_step<T, false>(ctx, chunk, part, work);
    }
  };
  for (Size next = 0; next < chunks;) {
    const Size group = std::min({threads, chunks - next, by_budget});
    if (parts.size() < group) {
      parts.resize(group);
      scratch.resize(group);
    }
    if (group < 2) {
      stop::check();
      run_chunk(next, 0);
    } else {
      pool::for_each_index(group, [&](Size i) { run_chunk(next + i, i); }, pool::Grain::One);
    }
    for (Size i = 0; i < group; ++i) total.add(parts[i]);
    next += group;
  }
  parts = {};
  scratch = {};

  // 14. Assembly: per element the variant by magnitude (0 on the diagonal;
  // 2 when M0 > M2; then 1 when |n_i - n_j| >= 3 and M_code > M1; strict, so
  // ties keep the earlier code and NaN never wins), or the record's code.
  std::vector<ModeMatrices<T>> modes(nmax + 1);
  auto active = ctx.active.begin();
  for (Size m = 0; m <= nmax; ++m) {
    ModeMatrices<T>& mm = modes[m];
    mm.rows = std::move(ctx.rows[m]);
    const bool is_active = active != ctx.active.end() && active->m == m;
    for (Size p = 0; p < 2; ++p) {
      const Size k = mm.rows[p].size();
      const Size k2 = k * k;
      mm.q[p].assign(k2, Complex<T>{zero, zero});
      mm.rg[p].assign(k2, Complex<T>{zero, zero});
      mm.q_mag[p].assign(k2, zero);
      mm.rg_mag[p].assign(k2, zero);
      mm.choice[p].assign(k2, 0);
      if (call.choice != nullptr) mm.choice[p] = call.choice->per_mode[m][p];
      if (!is_active) continue;
      const Size base = active->offset[p];
      for (Size i = 0; i < k; ++i) {
        const Size ni = mm.rows[p][i].second;
        for (Size j = 0; j < k; ++j) {
          const Size nj = mm.rows[p][j].second;
          const Size idx = i * k + j;
          const Size e = base + idx;
          std::uint8_t code = 0;
          if (call.choice != nullptr) {
            code = mm.choice[p][idx];
          } else if (ni != nj) {
            const auto& mg = total.magnitude;
            if (M::greater(mg[1][e], mg[3][e])) code = 2;
            const Size gap = ni > nj ? ni - nj : nj - ni;
            if (gap >= 3 && M::greater(mg[1 + code][e], mg[2][e])) code = 1;
          }
          mm.rg[p][idx] = total.value[0][e];
          mm.rg_mag[p][idx] = total.magnitude[0][e];
          mm.q[p][idx] = total.value[1 + code][e] + total.value[0][e];
          mm.q_mag[p][idx] = total.magnitude[1 + code][e] + total.magnitude[0][e];
          mm.choice[p][idx] = code;
        }
      }
    }
    if (is_active) ++active;
  }
  return modes;
}

}  // namespace vantok::tmatrix::kernel::detail
