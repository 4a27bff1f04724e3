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
//
// finish runs order by order in named steps: the surface log-derivatives of
// the order (Order), its coefficients in one of the two regimes (Riccati),
// with derivatives the slopes of E (homogeneous_slopes, surface_slopes) and
// from them the coefficient and absorption derivatives (add_derivatives),
// and last the order's absorption term.
#include "vantok/mie/kernel.hpp"

#include <algorithm>
#include <cmath>

#include "mie/detail_complex.hpp"
#include "mie/detail_ratios.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::mie::kernel {

using complex::inv;
using complex::minus;
using complex::norm_sqr;
using complex::plus;
using complex::scale;
using complex::times_i;
using mie::detail::absorption_term;
using mie::detail::minus_i_times;
using C = Complex<double>;

std::size_t cut_order(std::size_t n_terms, double x) {
  if (!(x >= 1.0)) return 0;
  return std::min(n_terms, sat_cast<std::size_t>(std::floor(x)));
}

void State::prepare(std::size_t n_terms, double x_in, C m) {
  const std::size_t k = cut_order(n_terms, x_in);
  const std::size_t len = n_terms + 2;
  ratio_x.assign(len, 0.0);
  // The x ratios serve only the orders above k (and r_{n+1} of the last one);
  // they run in the same loop as the m x ratios.
  detail::DownwardChain<double> chain_x{1.0 / x_in, k < n_terms ? start_order(std::fabs(x_in), n_terms) : 0, k,
                                        ratio_x};
  if (m.im == 0.0) {
    const double z = m.re * x_in;
    ratio_mx_real.assign(len, 0.0);
    detail::DownwardChain<double> chain_m{1.0 / z, start_order(std::fabs(z), n_terms), 0, ratio_mx_real};
    detail::run_downward(chain_m, chain_x);
    detail::widen(ratio_mx, ratio_mx_real);
  } else {
    const C z{m.re * x_in, m.im * x_in};
    ratio_mx.assign(len, C{});
    detail::DownwardChain<C> chain_m{inv(z), start_order(std::hypot(z.re, z.im), n_terms), 0, ratio_mx};
    detail::run_downward(chain_m, chain_x);
  }
}

namespace {

// The quantities of one finish that do not depend on the order.
struct Sphere {
  Sphere(double x_in, C m_in, std::size_t n_terms)
      : m(m_in),
        z{m_in.re * x_in, m_in.im * x_in},
        inv_z(inv(z)),
        inv_m(inv(m_in)),
        k(cut_order(n_terms, x_in)),
        sin_x(std::sin(x_in)),
        cos_x(std::cos(x_in)),
        inv_x(1.0 / x_in),
        unit_index(m_in.re == 1.0 && m_in.im == 0.0),
        m2(m_in * m_in),
        inv_m2(inv(m2)),
        m2_minus_1{(m_in.re - 1.0) * (m_in.re + 1.0) - m_in.im * m_in.im, 2.0 * m_in.re * m_in.im},
        contrast(m2_minus_1 * inv_m2) {}

  C m;
  C z;  // m x
  C inv_z;
  C inv_m;
  std::size_t k;  // the cut order
  double sin_x;
  double cos_x;
  double inv_x;
  // For m = 1 the bracket (D_n(x) + n/x) psi_n - psi_{n-1} vanishes identically.
  bool unit_index;
  C m2;
  C inv_m2;
  // m^2 - 1 without cancellation near m = 1.
  C m2_minus_1;
  // (m^2 - 1)/m^2
  C contrast;
};

// H = D + c after a Shift(c), h after a Replace(h).
C surface_h(const SurfaceTerm& term, const C& d) {
  return term.kind == SurfaceTerm::Kind::Shift ? d + term.v : term.v;
}

bool is_shift(const SurfaceTerm* term) { return term != nullptr && term->kind == SurfaceTerm::Kind::Shift; }
bool is_replace(const SurfaceTerm* term) { return term != nullptr && term->kind == SurfaceTerm::Kind::Replace; }

// One order's log-derivatives at the surface: D = D_n(m x) from R = r_{n+1}(m x),
// H^a and H^b (D itself for a homogeneous sphere, whose terms are null),
// E^a = H^a/m, E^b = m H^b and T = E + n/x.
struct Order {
  Order(const Sphere& s, std::size_t n_in, C r_next, const SurfaceOrder* surface)
      : n(n_in), nd(static_cast<double>(n_in)), w(2.0 * nd + 1.0), n_x(nd * s.inv_x), r_mx(r_next) {
    // Formed in locals and stored once: a member copied from another member
    // went through memory as one 16-byte load of two 8-byte stores, which
    // stalled the loop on store forwarding.
    const C d_n = scale(nd + 1.0, s.inv_z) - r_next;  // D_n(m x) = (n+1)/z - r_{n+1}(z)
    C ha = d_n;
    C hb = d_n;
    if (surface != nullptr) {
      term_a = &surface->a;
      term_b = &surface->b;
      ha = surface_h(surface->a, d_n);
      hb = surface_h(surface->b, d_n);
    }
    const C ea = ha * s.inv_m;
    const C eb = s.m * hb;
    d = d_n;
    h_a = ha;
    h_b = hb;
    e_a = ea;
    e_b = eb;
    t_a = plus(ea, n_x);
    t_b = plus(eb, n_x);
  }

  std::size_t n;
  double nd;
  double w;  // 2n + 1
  double n_x;
  C r_mx;
  C d;
  C h_a;
  C h_b;
  const SurfaceTerm* term_a = nullptr;
  const SurfaceTerm* term_b = nullptr;
  C e_a{};
  C e_b{};
  C t_a{};
  C t_b{};
};

// One order's coefficients, the reciprocal denominators
// X = 1/(T^a xi_n - xi_{n-1}), Y = 1/(T^b xi_n - xi_{n-1}), and the products
// X xi_n, X xi_{n-1}, Y xi_n, Y xi_{n-1}.
struct OrderCoefficients {
  C an;
  C bn;
  C big_x;
  C big_y;
  C x_xi;
  C x_xi1;
  C y_xi;
  C y_xi1;
};

// psi_n(x) and xi_n(x) carried from order to order: by the upward recurrence
// while n <= k, then through 1/xi_n, psi_n/xi_n and q_n = xi_{n-1}/xi_n.
class Riccati {
 public:
  explicit Riccati(const Sphere& s) : psi1_(s.sin_x), psi2_(s.cos_x), chi1_(s.cos_x), chi2_(-s.sin_x) {
    if (s.k == 0) {
      inv_xi_ = {s.sin_x, s.cos_x};
      psi_xi_ = scale(s.sin_x, inv(C{s.sin_x, -s.cos_x}));
      q_ = {0.0, 1.0};
    }
  }

  OrderCoefficients next(const Sphere& s, const Order& o, std::span<const double> ratio_x) {
    if (o.n <= s.k) return upward(s, o);
    return by_ratios(s, o, ratio_x[o.n], ratio_x[o.n + 1]);
  }

 private:
  OrderCoefficients upward(const Sphere& s, const Order& o) {
    const double w1 = (2.0 * o.nd - 1.0) * s.inv_x;
    const double psi = w1 * psi1_ - psi2_;
    const double chi = w1 * chi1_ - chi2_;
    const C xi{psi, -chi};
    const C xi1{psi1_, -chi1_};
    OrderCoefficients c;
    c.big_x = inv(o.t_a * xi - xi1);
    c.big_y = inv(o.t_b * xi - xi1);
    // After a Shift(c) step the numerator is the homogeneous bracket (exactly
    // 0 for m = 1) plus the shift's own term.
    C num_a, num_b;
    if (is_shift(o.term_a)) {
      const C bracket = s.unit_index ? C{} : minus(scale(plus(o.d * s.inv_m, o.n_x), psi), psi1_);
      num_a = bracket + scale(o.term_a->v * s.inv_m, psi);
    } else {
      num_a = minus(scale(o.t_a, psi), psi1_);
    }
    if (is_shift(o.term_b)) {
      const C bracket = s.unit_index ? C{} : minus(scale(plus(s.m * o.d, o.n_x), psi), psi1_);
      num_b = bracket + scale(s.m * o.term_b->v, psi);
    } else {
      num_b = minus(scale(o.t_b, psi), psi1_);
    }
    c.an = num_a * c.big_x;
    c.bn = num_b * c.big_y;
    c.x_xi = c.big_x * xi;
    c.x_xi1 = c.big_x * xi1;
    c.y_xi = c.big_y * xi;
    c.y_xi1 = c.big_y * xi1;
    if (o.n == s.k) {
      inv_xi_ = inv(xi);
      psi_xi_ = scale(psi, inv_xi_);
      q_ = xi1 * inv_xi_;
    }
    psi2_ = psi1_;
    psi1_ = psi;
    chi2_ = chi1_;
    chi1_ = chi;
    return c;
  }

  // r_x = r_n(x), r_x1 = r_{n+1}(x).
  OrderCoefficients by_ratios(const Sphere& s, const Order& o, double r_x, double r_x1) {
    q_ = inv(minus((2.0 * o.nd - 1.0) * s.inv_x, q_));
    psi_xi_ = scale(r_x, psi_xi_) * q_;
    inv_xi_ = inv_xi_ * q_;
    // Numerators divided by psi_n: T - psi_{n-1}/psi_n = E - D_n(x), with
    // D_n(x) = (n+1)/x - r_{n+1}(x) and the (n+1)/x terms combined exactly.
    const double n1_x = (o.nd + 1.0) * s.inv_x;
    const double d_x = n1_x - r_x1;
    C num_a, num_b;
    if (is_replace(o.term_a)) {
      num_a = minus(o.term_a->v * s.inv_m, d_x);
    } else {
      num_a = minus(r_x1, scale(s.contrast, n1_x)) - o.r_mx * s.inv_m;
      if (is_shift(o.term_a)) num_a = num_a + o.term_a->v * s.inv_m;
    }
    if (is_replace(o.term_b)) {
      num_b = minus(s.m * o.term_b->v, d_x);
    } else {
      num_b = minus(r_x1, s.m * o.r_mx);
      if (is_shift(o.term_b)) num_b = num_b + s.m * o.term_b->v;
    }
    const C ia = inv(o.t_a - q_);
    const C ib = inv(o.t_b - q_);
    return {psi_xi_ * num_a * ia, psi_xi_ * num_b * ib, inv_xi_ * ia, inv_xi_ * ib, ia, q_ * ia, ib, q_ * ib};
  }

  // Upward regime: psi_{n-1}, psi_{n-2} and chi likewise.
  double psi1_, psi2_, chi1_, chi2_;
  // Ratio regime.
  C inv_xi_{}, psi_xi_{}, q_{};
};

// The derivatives of E^a, E^b of one order with respect to x and m, and the
// complex derivative da_n/dm (X2 = X^2).
struct OrderSlopes {
  C de_a_dx;
  C de_b_dx;
  C de_a_dm;
  C de_b_dm;
  C da_dm;
};

// Homogeneous sphere: E depends on x and m through D_n(m x) alone.
OrderSlopes homogeneous_slopes(const Sphere& s, const Order& o, const C& x2) {
  // D'(z) = n(n+1)/z^2 - 1 - D^2, evaluated from R = r_{n+1}(z) as
  // (n+1)(2R/z - 1/z^2) - R^2 - 1.
  const C& r = o.r_mx;
  const C d_prime = minus(scale(o.nd + 1.0, scale(2.0, r) * s.inv_z - s.inv_z * s.inv_z) - r * r, 1.0);
  // u = D - z D'(z) and w = D + z D'(z) without the cancelling D^2 terms.
  const C z_r = s.z * plus(1.0, r * r);
  const C u = scale(2.0, o.d) - scale(o.w, r) + z_r;
  const C wv = scale(o.w, r) - z_r;
  return {d_prime, s.m2 * d_prime, -(u * s.inv_m2), wv, times_i(x2) * u * s.inv_m2};
}

// A sphere with a surface: the slopes of H come with it.
OrderSlopes surface_slopes(const Sphere& s, const Order& o, const SurfaceSlopes& slopes, const C& x2) {
  const C de_a_dm = slopes.dm_a * s.inv_m - (scale(2.0, o.h_a) - slopes.omega_a) * s.inv_m2;
  return {slopes.phi_a, s.m2 * slopes.phi_b, de_a_dm, slopes.omega_b + s.m * slopes.dm_b,
          minus_i_times(x2, de_a_dm)};
}

// One order's term of a derivative of the absorption sum for one parameter,
// from E, dE/dp and X d den/dp of the a side and the same of the b side.
double absorption_slope(double w, double nx2, const C& e_a, const C& de_a, const C& x_dden_a, double ny2,
                        const C& e_b, const C& de_b, const C& y_dden_b) {
  return w * (absorption_term(nx2, e_a, de_a, x_dden_a) + absorption_term(ny2, e_b, de_b, y_dden_b));
}

// Appends one order's coefficient derivatives and adds its absorption
// derivative terms.
void add_derivatives(State& st, const Sphere& s, const Order& o, const OrderCoefficients& c, const OrderSlopes& sl,
                     double nx2, double ny2) {
  const C x2 = c.big_x * c.big_x;
  const C y2 = c.big_y * c.big_y;
  const double nn1_x2 = o.nd * (o.nd + 1.0) * s.inv_x * s.inv_x;  // n(n+1)/x^2
  st.da_dx.push_back(times_i(x2) * s.contrast * plus(nn1_x2, o.h_a * o.h_a));
  st.db_dx.push_back(times_i(y2) * s.m2_minus_1);
  st.da_dm.push_back(sl.da_dm);
  st.db_dm.push_back(minus_i_times(y2, sl.de_b_dm));
  // X d den/dx = (dE/dx + 1 - n(n+1)/x^2 - n E/x) X xi_n + E X xi_{n-1}
  const C xd_a = minus(plus(sl.de_a_dx, 1.0), nn1_x2) - scale(o.n_x, o.e_a);
  const C xd_b = minus(plus(sl.de_b_dx, 1.0), nn1_x2) - scale(o.n_x, o.e_b);
  const C dden_a_dx = xd_a * c.x_xi + o.e_a * c.x_xi1;
  const C dden_b_dx = xd_b * c.y_xi + o.e_b * c.y_xi1;
  const C de_a_dim = times_i(sl.de_a_dm);
  const C de_b_dim = times_i(sl.de_b_dm);
  st.dabs_dx += absorption_slope(o.w, nx2, o.e_a, sl.de_a_dx, dden_a_dx, ny2, o.e_b, sl.de_b_dx, dden_b_dx);
  st.dabs_dre += absorption_slope(o.w, nx2, o.e_a, sl.de_a_dm, sl.de_a_dm * c.x_xi, ny2, o.e_b, sl.de_b_dm,
                                  sl.de_b_dm * c.y_xi);
  st.dabs_dim += absorption_slope(o.w, nx2, o.e_a, de_a_dim, de_a_dim * c.x_xi, ny2, o.e_b, de_b_dim,
                                  de_b_dim * c.y_xi);
}

// Records (x, m) and empties every output of the previous finish.
void reset(State& st, bool derivatives, double x, C m) {
  st.x = x;
  st.m_re = m.re;
  st.m_im = m.im;
  st.derivatives = derivatives;
  st.a.clear();
  st.b.clear();
  st.da_dx.clear();
  st.da_dm.clear();
  st.db_dx.clear();
  st.db_dm.clear();
  st.surface_values.clear();
  st.absorption = 0.0;
  st.dabs_dx = 0.0;
  st.dabs_dre = 0.0;
  st.dabs_dim = 0.0;
}

void finish_orders(State& st, std::size_t n_terms, bool derivatives, double x, C m, const Surface* surface) {
  VANTOK_ASSERT(st.ratio_mx.size() >= n_terms + 2 && st.ratio_x.size() >= n_terms + 2);
  VANTOK_ASSERT(!surface || surface->orders.size() >= n_terms);
  VANTOK_ASSERT(!(derivatives && surface) || surface->slopes.size() >= n_terms);
  reset(st, derivatives, x, m);
  const Sphere s(x, m, n_terms);
  Riccati riccati(s);
  // A stop check every 2^13 orders (a millisecond or two): only spheres of
  // some 10^5 terms and more see one.
  stop::Pace pace(std::size_t{1} << 13);
  for (std::size_t n = 1; n <= n_terms; ++n) {
    pace.step();
    const Order o(s, n, st.ratio_mx[n + 1], surface ? &surface->orders[n - 1] : nullptr);
    const OrderCoefficients c = riccati.next(s, o, st.ratio_x);
    st.a.push_back(c.an);
    st.b.push_back(c.bn);
    const double nx2 = norm_sqr(c.big_x);
    const double ny2 = norm_sqr(c.big_y);
    if (derivatives) {
      const C x2 = c.big_x * c.big_x;
      const OrderSlopes sl =
          surface ? surface_slopes(s, o, surface->slopes[n - 1], x2) : homogeneous_slopes(s, o, x2);
      add_derivatives(st, s, o, c, sl, nx2, ny2);
      if (surface) st.surface_values.push_back({c.big_x, c.big_y, c.x_xi, c.y_xi, o.e_a, o.e_b});
    }
    st.absorption += o.w * (-o.e_a.im * nx2 - o.e_b.im * ny2);
  }
}

}  // namespace

void State::finish(std::size_t n_terms, bool with_derivatives, double x_in, C m) {
  finish_orders(*this, n_terms, with_derivatives, x_in, m, nullptr);
}

void State::finish(std::size_t n_terms, bool with_derivatives, double x_in, C m, const Surface& surface) {
  finish_orders(*this, n_terms, with_derivatives, x_in, m, &surface);
}

void State::through_surface(std::span<const C> dha_dx, std::span<const C> dha_dm, std::span<const C> dhb_dx,
                            std::span<const C> dhb_dm, DerivativeRecord& out) const {
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(derivatives && surface_values.size() >= n_terms && dha_dx.size() >= n_terms &&
                dha_dm.size() >= n_terms && dhb_dx.size() >= n_terms && dhb_dm.size() >= n_terms);
  // An interior parameter p reaches the coefficients only through E^a, E^b:
  // da/dp = -i X^2 dE^a/dp with dE^a/dp = (dH^a/dp)/m, dE^b/dp = m dH^b/dp,
  // and the denominators through d den/dp = (dE/dp) xi_n.
  const C m{m_re, m_im};
  const C inv_m = inv(m);
  out.clear();
  for (std::size_t i = 0; i < n_terms; ++i) {
    const SurfaceValues& v = surface_values[i];
    const C x2 = v.big_x * v.big_x;
    const C y2 = v.big_y * v.big_y;
    const double nx2 = norm_sqr(v.big_x);
    const double ny2 = norm_sqr(v.big_y);
    const double w = 2.0 * static_cast<double>(i + 1) + 1.0;
    const C ea_x = dha_dx[i] * inv_m;
    const C ea_m = dha_dm[i] * inv_m;
    const C eb_x = m * dhb_dx[i];
    const C eb_m = m * dhb_dm[i];
    out.da_dx.push_back(minus_i_times(x2, ea_x));
    out.da_dm.push_back(minus_i_times(x2, ea_m));
    out.db_dx.push_back(minus_i_times(y2, eb_x));
    out.db_dm.push_back(minus_i_times(y2, eb_m));
    const C ea_i = times_i(ea_m);
    const C eb_i = times_i(eb_m);
    out.dabs_dx += absorption_slope(w, nx2, v.e_a, ea_x, ea_x * v.x_xi, ny2, v.e_b, eb_x, eb_x * v.y_xi);
    out.dabs_dre += absorption_slope(w, nx2, v.e_a, ea_m, ea_m * v.x_xi, ny2, v.e_b, eb_m, eb_m * v.y_xi);
    out.dabs_dim += absorption_slope(w, nx2, v.e_a, ea_i, ea_i * v.x_xi, ny2, v.e_b, eb_i, eb_i * v.y_xi);
  }
}

}  // namespace vantok::mie::kernel
