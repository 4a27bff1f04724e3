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
//
// The recursion is written once over lanes (detail_kernel_lanes.inc, on the
// sphere kernel's lanes for the outer layer); the Kernel runs it on one lane,
// a plain double, where it is the scalar code.
#include "vantok/layered/kernel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#include "spherical/ratios.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::layered::kernel {

using mie::kernel::cut_order;
using mie::kernel::start_order;
using mie::kernel::State;
using mie::kernel::SurfaceSlopes;
using mie::kernel::SurfaceValues;

namespace {

namespace one {
using V = double;
#include "spherical/kernel_lanes.inc"
#include "layered/detail_kernel_lanes.inc"
}  // namespace one

using C = Complex<double>;

one::LaneTerm lane_term(const SurfaceTerm& t) {
  const bool shift = t.kind == SurfaceTerm::Kind::Shift;
  return {shift, !shift, t.v};
}

}  // namespace

Arg::Arg(bool weak, C z_in) {
  const one::ArgStart a = one::arg_start(weak, z_in);
  z = a.z;
  inv_z = a.inv_z;
  p = a.p;
  t = a.t;
  t_prev = {};
}

C Arg::advance(double w, const C& r_n) {
  one::Arg a{z, inv_z, p, t, t_prev};
  const C inv_t_prev = one::advance(a, w, r_n);
  p = a.p;
  t = a.t;
  t_prev = a.t_prev;
  return inv_t_prev;
}

SideResult side(const SurfaceTerm& prev_term, C prev_h, const SideData& d, bool a_side, C mu1, C mu2, C extra) {
  const one::SideData data{d.r_prev, d.r_z1,  d.d1_z1,       d.d2_z1,  d.d1_z2,       d.d2_z2,
                           d.p_s,    d.inv_p_s, d.q_s,       d.weak,   d.n,           d.r_z2,
                           d.sigma,  d.arg_z1->z, d.arg_z1->inv_z, d.arg_z2->z, d.arg_z2->inv_z, d.derivatives};
  one::LaneTerm term = lane_term(prev_term);
  C h = prev_h;
  one::SideParts parts;
  one::side(term, h, data, a_side, mu1, mu2, extra, d.derivatives ? &parts : nullptr);
  SideResult out{term.shift ? SurfaceTerm::shift(term.v) : SurfaceTerm::replace(term.v), h, std::nullopt};
  if (d.derivatives) out.d = SideDerivatives{parts.h, parts.tau, parts.nu, parts.phi, parts.omega};
  return out;
}

struct Kernel::Work : one::LayeredWork {};

Kernel::Kernel() = default;
Kernel::~Kernel() = default;
Kernel::Kernel(Kernel&&) noexcept = default;
Kernel& Kernel::operator=(Kernel&&) noexcept = default;

void Kernel::solve(State& outer, std::span<const double> xs, std::span<const C> ms, std::size_t n_terms,
                   bool derivatives) {
  const std::size_t layers = xs.size();
  VANTOK_ASSERT(layers >= 2 && ms.size() >= layers);
  if (!work_) work_ = std::make_unique<Work>();
  const std::size_t last = layers - 1;
  outer.x = xs[last];
  outer.m_re = ms[last].re;
  outer.m_im = ms[last].im;
  outer.derivatives = derivatives;
  const one::Particles p{layers, {xs.data()}, {ms.data()}, {n_terms}};
  one::Outputs out{outer.a,     outer.b,     outer.da_dx, outer.da_dm,
                   outer.db_dx, outer.db_dm, outer.surface_values};
  const one::AbsorptionSums sums =
      one::solve_layers(*work_, p, derivatives, {outer.ratio_mx, outer.ratio_x, outer.ratio_mx_real}, out);
  outer.absorption = sums.absorption;
  outer.dabs_dx = sums.dabs_dx;
  outer.dabs_dre = sums.dabs_dre;
  outer.dabs_dim = sums.dabs_dim;
}

std::span<const DerivativeRecord> Kernel::records() const {
  if (!work_) return {};
  return work_->records;
}

void Kernel::clear_records() {
  if (work_) work_->records.clear();
}

}  // namespace vantok::layered::kernel
