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
// The kernel is written once over lanes (spherical/kernel_lanes.inc); the State
// runs it on one lane, a plain double, where it is the scalar code.
#include "vantok/mie/kernel.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "spherical/ratios.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::mie::kernel {

std::size_t cut_order(std::size_t n_terms, double x) {
  if (!(x >= 1.0)) return 0;
  return std::min(n_terms, sat_cast<std::size_t>(std::floor(x)));
}

namespace {

namespace one {
using V = double;
#include "spherical/kernel_lanes.inc"
}  // namespace one

// A surface order as the kernel's lanes read it.
one::LaneTerm lane_term(const SurfaceTerm& t) {
  const bool shift = t.kind == SurfaceTerm::Kind::Shift;
  return {shift, !shift, t.v};
}

// Records (x, m) and empties every output of the previous finish.
void reset(State& st, bool derivatives, double x, Complex<double> m) {
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
}

void finish_orders(State& st, std::size_t n_terms, bool derivatives, double x, Complex<double> m,
                   const Surface* surface) {
  VANTOK_ASSERT(st.ratio_mx.size() >= n_terms + 2 && st.ratio_x.size() >= n_terms + 2);
  VANTOK_ASSERT(!surface || surface->orders.size() >= n_terms);
  VANTOK_ASSERT(!(derivatives && surface) || surface->slopes.size() >= n_terms);
  reset(st, derivatives, x, m);
  const one::Group g{{n_terms}, {x}, {m.re}, {m.im}};
  one::Outputs out{st.a, st.b, st.da_dx, st.da_dm, st.db_dx, st.db_dm, st.surface_values};
  one::AbsorptionSums sums;
  if (surface != nullptr) {
    auto order_at = [&](std::size_t n) {
      const SurfaceOrder& o = surface->orders[n - 1];
      return one::LaneOrder{lane_term(o.a), lane_term(o.b)};
    };
    auto slopes_at = [&](std::size_t n) -> const SurfaceSlopes& { return surface->slopes[n - 1]; };
    sums = one::finish<true>(g, derivatives, st.ratio_mx.data(), st.ratio_x.data(), order_at, slopes_at, out);
  } else {
    sums = one::finish<false>(g, derivatives, st.ratio_mx.data(), st.ratio_x.data(),
                              [](std::size_t) { return one::LaneOrder{}; },
                              [](std::size_t) { return SurfaceSlopes{}; }, out);
  }
  st.absorption = sums.absorption;
  st.dabs_dx = sums.dabs_dx;
  st.dabs_dre = sums.dabs_dre;
  st.dabs_dim = sums.dabs_dim;
}

}  // namespace

void State::prepare(std::size_t n_terms, double x_in, Complex<double> m) {
  one::prepare(one::Group{{n_terms}, {x_in}, {m.re}, {m.im}}, {ratio_mx, ratio_x, ratio_mx_real});
}

void State::finish(std::size_t n_terms, bool with_derivatives, double x_in, Complex<double> m) {
  finish_orders(*this, n_terms, with_derivatives, x_in, m, nullptr);
}

void State::finish(std::size_t n_terms, bool with_derivatives, double x_in, Complex<double> m,
                   const Surface& surface) {
  finish_orders(*this, n_terms, with_derivatives, x_in, m, &surface);
}

void State::through_surface(std::span<const Complex<double>> dha_dx, std::span<const Complex<double>> dha_dm,
                            std::span<const Complex<double>> dhb_dx, std::span<const Complex<double>> dhb_dm,
                            DerivativeRecord& out) const {
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(derivatives && surface_values.size() >= n_terms && dha_dx.size() >= n_terms &&
                dha_dm.size() >= n_terms && dhb_dx.size() >= n_terms && dhb_dm.size() >= n_terms);
  one::Through t{out.da_dx, out.da_dm, out.db_dx, out.db_dm};
  one::through_surface(static_cast<double>(n_terms), n_terms, Complex<double>{m_re, m_im}, surface_values.data(),
                       dha_dx.data(), dha_dm.data(), dhb_dx.data(), dhb_dm.data(), t);
  out.dabs_dx = t.dabs_dx;
  out.dabs_dre = t.dabs_dre;
  out.dabs_dim = t.dabs_dim;
}

}  // namespace vantok::mie::kernel
