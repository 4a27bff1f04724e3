// Second-pass node quantities: one particle solve at a size node, then its
// cross sections, r², r³ and phase matrix (π r² times the unnormalised matrix
// 4/x² (|S1|² + |S2|²)/2, ...), and on request their derivatives with respect
// to the particle parameters and to the radius.
//
// With derivatives the amplitudes of every layer's derivative views are summed
// in one pass of the angular recurrences of Bohren & Huffman (eqs. 4.47, 4.74),
// and the phase-matrix derivatives follow by the sphere solver's product rule:
//   dF11 = dc (|S1|² + |S2|²)/2 + c (Re(S1 conj dS1) + Re(S2 conj dS2)), ...
// with c = 4/x² and dc = -2c/x for the outer size parameter (0 otherwise);
// the derivative with respect to Im m uses i dS/dm.
#include "ensemble/detail_node_quantities.hpp"

#include "vantok/constants.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/phase.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace vantok::ensemble::engine {

namespace {

namespace eff = mie::efficiencies;
using C = Complex<double>;
using complex::scale;
using mie::coefficients::CoefficientDerivatives;

using constants::PI;
using constants::TWO_PI;

// What the radius derivative needs besides the solution: G = π r², dG/dr =
// 2πr and dx/dr = 2π/λ.
struct Node {
  double g_cross;
  double dg_dr;
  double dx_dr;
};

// The requested cosines, then (without products) the band's nodes, each with
// its block of the quantity vector.
struct CosineGroup {
  std::span<const double> mu;
  PhaseBlock block;
};

// The element runs F11, F12, F33, F34 of the entries of a phase block of n
// cosines.
mie::phase::PhaseMatrixBuffers elements(std::span<double> entries, std::size_t n) {
  const PhaseBlock block{0, n};
  return {block.element(entries, 0), block.element(entries, 1), block.element(entries, 2), block.element(entries, 3)};
}

// The amplitude sums of a group: S1, S2, then per layer dS1/dx, dS2/dx,
// dS1/dm, dS2/dm, each n values (series k at k n). One pass of the angular
// recurrence per cosine serves every series, accumulated as the sphere solver
// sums its amplitudes: per order n, S1 += p a then t b, S2 += t a then p b.
void amplitude_sums(const mie::coefficients::Coefficients& c, std::span<const CoefficientDerivatives> views,
                    std::span<const double> mu, std::vector<C>& sums) {
  const std::size_t n_mu = mu.size();
  const std::size_t n_terms = c.a.size();
  sums.assign((2 + 4 * views.size()) * n_mu, C{0.0, 0.0});
  for (std::size_t i = 0; i < n_mu; ++i) {
    auto add = [&](std::size_t series, const C& a, const C& b, double p, double t) {
      C& s1 = sums[series * n_mu + i];
      C& s2 = sums[(series + 1) * n_mu + i];
      s1 = s1 + scale(p, a);
      s1 = s1 + scale(t, b);
      s2 = s2 + scale(t, a);
      s2 = s2 + scale(p, b);
    };
    mie::amplitudes::Angular angular{mu[i]};
    for (std::size_t n = 1; n <= n_terms; ++n) {
      const auto [p, t] = angular.next(n);
      add(0, c.a[n - 1], c.b[n - 1], p, t);
      for (std::size_t l = 0; l < views.size(); ++l) {
        const CoefficientDerivatives& v = views[l];
        add(2 + 4 * l, v.da_dx[n - 1], v.db_dx[n - 1], p, t);
        add(4 + 4 * l, v.da_dm[n - 1], v.db_dm[n - 1], p, t);
      }
    }
  }
}

// The phase entries of one cosine group with their derivatives, by the sphere
// solver's product rule on each layer's amplitude derivatives: q gets G F,
// slot 2l and 2l + 1 G dF/dRe m_l and G dF/dIm m_l, slot 2V + f G x dF/dx_f,
// and the radius slot 2πr F + G (2π/λ)(dF/dx_outer + Σ_f f_f dF/dx_f).
void phase_with_derivatives(const particle::ParticleSolution& s, CosineGroup group, const Node& node,
                            std::span<double> q, std::span<const std::span<double>> slots,
                            std::span<double> radius_slot, NodeScratch& scratch) {
  const mie::coefficients::Coefficients& coefficients = s.coefficients;
  const std::span<const CoefficientDerivatives> views = s.derivatives;
  const std::size_t layers = views.size();
  const std::size_t fractions = s.radius_fractions.size();
  const std::size_t n = group.mu.size();
  amplitude_sums(coefficients, views, group.mu, scratch.amplitudes);
  // Per layer three phase blocks of derivatives: d/dx_l, d/dRe m_l, d/dIm m_l.
  const std::size_t size = group.block.size();
  scratch.phase.assign(3 * size * layers, 0.0);
  const std::span<double> f = group.block.of(q);
  const std::span<const C> sums = scratch.amplitudes;
  auto series = [&](std::size_t k) { return sums.subspan(k * n, n); };
  auto derivative = [&](std::size_t l, std::size_t which) {
    return PhaseBlock{(3 * l + which) * size, n}.of(std::span<double>(scratch.phase));
  };
  for (std::size_t l = 0; l < layers; ++l) {
    const mie::phase::AmplitudeSet amplitudes{series(0),         series(1),         series(2 + 4 * l),
                                              series(3 + 4 * l), series(4 + 4 * l), series(5 + 4 * l)};
    coefficients.phase_derivatives_from_amplitudes(
        amplitudes, views[l], false, elements(f, n),
        {elements(derivative(l, 0), n), elements(derivative(l, 1), n), elements(derivative(l, 2), n)});
  }
  const double x = coefficients.x;
  for (std::size_t k = 0; k < size; ++k) {
    const std::size_t at = group.block.entry(k);
    for (std::size_t l = 0; l < layers && !slots.empty(); ++l) {
      slots[2 * l][at] = node.g_cross * derivative(l, 1)[k];
      slots[2 * l + 1][at] = node.g_cross * derivative(l, 2)[k];
      if (l < fractions) slots[2 * layers + l][at] = node.g_cross * (x * derivative(l, 0)[k]);
    }
    if (!radius_slot.empty()) {
      double df_dx = derivative(layers - 1, 0)[k];
      for (std::size_t l = 0; l < fractions; ++l) df_dx += s.radius_fractions[l] * derivative(l, 0)[k];
      radius_slot[at] = node.dg_dr * f[k] + node.g_cross * (node.dx_dr * df_dx);
    }
    f[k] = f[k] * node.g_cross;
  }
}

// The eight base entries of a derivative slot from one Jacobian row d
// (dQ_ext, dQ_sca, dQ_abs, dQ_back, dg).
void efficiency_slot(std::span<double> slot, const std::array<double, 5>& d, const std::array<double, 5>& q,
                     double g_cross) {
  slot[quantity2::NUMBER] = 0.0;
  slot[quantity2::EXTINCTION] = g_cross * d[eff::Q_EXT];
  slot[quantity2::SCATTERING] = g_cross * d[eff::Q_SCA];
  slot[quantity2::ASYMMETRY] = g_cross * (d[eff::Q_SCA] * q[eff::G] + q[eff::Q_SCA] * d[eff::G]);
  slot[quantity2::ABSORPTION] = g_cross * d[eff::Q_ABS];
  slot[quantity2::BACKSCATTER] = g_cross * d[eff::Q_BACK];
  slot[quantity2::R2] = 0.0;
  slot[quantity2::R3] = 0.0;
}

std::array<double, 5> jacobian_row(const std::array<double, 15>& j, std::size_t row, double factor = 1.0) {
  std::array<double, 5> out;
  for (std::size_t k = 0; k < 5; ++k) out[k] = factor * j[5 * row + k];
  return out;
}

// The base entries at a node: number, G times each efficiency (the asymmetry
// entry G Q_sca g), r², r³.
void base_entries(std::span<double> q, const std::array<double, 5>& eff_values, const Node& node, double r) {
  const double q_sca = eff_values[eff::Q_SCA];
  q[quantity2::NUMBER] = 1.0;
  q[quantity2::EXTINCTION] = node.g_cross * eff_values[eff::Q_EXT];
  q[quantity2::SCATTERING] = node.g_cross * q_sca;
  q[quantity2::ASYMMETRY] = node.g_cross * q_sca * eff_values[eff::G];
  q[quantity2::ABSORPTION] = node.g_cross * eff_values[eff::Q_ABS];
  q[quantity2::BACKSCATTER] = node.g_cross * eff_values[eff::Q_BACK];
  q[quantity2::R2] = r * r;
  q[quantity2::R3] = r * r * r;
}

// The phase entries at the requested cosines and, without fast products, at
// the band's nodes; with their derivatives when derivatives are asked.
Result<void> phase_entries(const particle::ParticleSolution& s, const Layout& layout, const Band* band,
                           ProductsAt products, const Node& node, bool derivatives, std::span<double> q,
                           std::span<const std::span<double>> slots, std::span<double> radius_slot,
                           NodeScratch& scratch) {
  std::array<CosineGroup, 2> groups{CosineGroup{layout.mu, requested_phase(layout.mu.size())}, CosineGroup{}};
  if (band != nullptr && products.products == nullptr) groups[1] = {band->nodes, band->phase()};
  for (const CosineGroup& group : groups) {
    const std::size_t n = group.mu.size();
    if (n == 0) continue;
    VANTOK_ASSERT(group.block.n == n && group.block.end() <= q.size());
    if (!derivatives) {
      const std::span<double> block = group.block.of(q);
      auto done = s.coefficients.phase_matrix(group.mu, false, elements(block, n));
      if (!done) return std::unexpected(std::move(done).error());
      for (double& v : block) v = v * node.g_cross;
      continue;
    }
    if (auto ok = mie::amplitudes::check_cosines(group.mu); !ok) return std::unexpected(std::move(ok).error());
    for (const std::span<double> slot : slots) VANTOK_ASSERT(group.block.end() <= slot.size());
    VANTOK_ASSERT(radius_slot.empty() || group.block.end() <= radius_slot.size());
    phase_with_derivatives(s, group, node, q, slots, radius_slot, scratch);
  }
  return {};
}

// The node's coefficient columns for the fast products: the values, then per
// layer d/dm, then per radius fraction x d/dx of its layer.
void coefficient_columns(const particle::ParticleSolution& s, const Band* band, ProductsAt products) {
  const mie::coefficients::Coefficients& coefficients = s.coefficients;
  const std::size_t n_terms = coefficients.a.size();
  fast::PanelProducts& p = *products.products;
  VANTOK_ASSERT(band != nullptr && p.coefficients.nrows == band->key);
  p.set_block(products.node, 0, coefficients.a, coefficients.b);
  VANTOK_ASSERT(s.derivatives.size() >= p.complex_blocks && s.derivatives.size() >= p.real_blocks);
  for (std::size_t c = 0; c < p.complex_blocks; ++c) {
    const CoefficientDerivatives& v = s.derivatives[c];
    p.set_block(products.node, 1 + c, v.da_dm.first(n_terms), v.db_dm.first(n_terms));
  }
  for (std::size_t f = 0; f < p.real_blocks; ++f) {
    const CoefficientDerivatives& v = s.derivatives[f];
    p.set_block(products.node, 1 + p.complex_blocks + f, v.da_dx.first(n_terms), v.db_dx.first(n_terms),
                coefficients.x);
  }
}

// The base entries of the radius slot: d/dr of G Q = 2πr Q + G (2π/λ) dQ/dx,
// with dQ/dx of the whole particle the outer layer's x row plus each radius
// fraction times its layer's.
void radius_entries(const particle::ParticleSolution& s, std::span<const std::array<double, 15>> jacobians,
                    const std::array<double, 5>& eff_values, const Node& node, double r,
                    std::span<double> radius_slot) {
  const std::size_t layers = jacobians.size();
  const std::size_t fractions = s.radius_fractions.size();
  const double q_sca = eff_values[eff::Q_SCA];
  std::array<double, 5> dq = jacobian_row(jacobians[layers - 1], 0);
  for (std::size_t f = 0; f < fractions; ++f) {
    for (std::size_t k = 0; k < 5; ++k) dq[k] += s.radius_fractions[f] * jacobians[f][k];
  }
  auto derivative = [&](double value, double dvalue) {
    return node.dg_dr * value + node.g_cross * (node.dx_dr * dvalue);
  };
  radius_slot[quantity2::NUMBER] = 0.0;
  radius_slot[quantity2::EXTINCTION] = derivative(eff_values[eff::Q_EXT], dq[eff::Q_EXT]);
  radius_slot[quantity2::SCATTERING] = derivative(q_sca, dq[eff::Q_SCA]);
  radius_slot[quantity2::ASYMMETRY] =
      derivative(q_sca * eff_values[eff::G], dq[eff::Q_SCA] * eff_values[eff::G] + q_sca * dq[eff::G]);
  radius_slot[quantity2::ABSORPTION] = derivative(eff_values[eff::Q_ABS], dq[eff::Q_ABS]);
  radius_slot[quantity2::BACKSCATTER] = derivative(eff_values[eff::Q_BACK], dq[eff::Q_BACK]);
  radius_slot[quantity2::R2] = 2.0 * r;
  radius_slot[quantity2::R3] = 3.0 * (r * r);
}

// The base entries of every derivative slot, from each layer's efficiency
// Jacobian.
void efficiency_derivatives(const particle::ParticleSolution& s, const std::array<double, 5>& eff_values,
                            const Node& node, double r, std::span<const std::span<double>> slots,
                            std::span<double> radius_slot, NodeScratch& scratch) {
  const mie::coefficients::Coefficients& coefficients = s.coefficients;
  const double x = coefficients.x;
  const std::size_t layers = s.derivatives.size();
  const std::size_t fractions = s.radius_fractions.size();
  VANTOK_ASSERT(layers >= 1 && fractions < layers);
  scratch.jacobians.resize(layers);
  for (std::size_t l = 0; l < layers; ++l) scratch.jacobians[l] = coefficients.efficiencies_jacobian(s.derivatives[l]);
  if (!slots.empty()) {
    for (std::size_t l = 0; l < layers; ++l) {
      VANTOK_ASSERT(slots[2 * l].size() >= quantity2::SCALARS && slots[2 * l + 1].size() >= quantity2::SCALARS);
      efficiency_slot(slots[2 * l], jacobian_row(scratch.jacobians[l], 1), eff_values, node.g_cross);
      efficiency_slot(slots[2 * l + 1], jacobian_row(scratch.jacobians[l], 2), eff_values, node.g_cross);
    }
    for (std::size_t f = 0; f < fractions; ++f) {
      VANTOK_ASSERT(slots[2 * layers + f].size() >= quantity2::SCALARS);
      efficiency_slot(slots[2 * layers + f], jacobian_row(scratch.jacobians[f], 0, x), eff_values, node.g_cross);
    }
  }
  if (!radius_slot.empty()) {
    VANTOK_ASSERT(radius_slot.size() >= quantity2::SCALARS);
    radius_entries(s, scratch.jacobians, eff_values, node, r, radius_slot);
  }
}

}  // namespace

Result<std::size_t> quantities2(NodeScratch& scratch, const particle::Optics& optics,
                                const mie::SolveOptions& options, const Layout& layout, std::span<double> q,
                                std::span<const std::span<double>> slots, std::span<double> radius_slot,
                                std::size_t n_min, ProductsAt products, double r, double wavelength,
                                const particle::NodeSolution* given) {
  const bool derivatives = !slots.empty() || !radius_slot.empty();
  const double x = size_parameter(r, wavelength);
  std::optional<particle::ParticleSolution> solved;
  if (given != nullptr) {
    solved = given->solution;
    VANTOK_ASSERT(solved->coefficients.x == x && (!derivatives || !solved->derivatives.empty()));
  } else {
    auto solution = scratch.solver.solve(optics, options, derivatives, x);
    if (!solution) return std::unexpected(context(std::move(solution).error(), wavelength, r));
    solved = *solution;
  }
  const particle::ParticleSolution& s = *solved;
  const mie::coefficients::Coefficients& coefficients = s.coefficients;
  const std::size_t n_terms = coefficients.a.size();
  VANTOK_ASSERT(q.size() >= base_quantities(layout.mu.size()));
  VANTOK_ASSERT(slots.empty() || slots.size() == 2 * s.derivatives.size() + s.radius_fractions.size());
  const Node node{r * (PI * r), TWO_PI * r, TWO_PI / wavelength};
  const std::array<double, 5> eff_values =
      given != nullptr ? given->efficiencies
                       : eff::from_sums(eff::value_sums(coefficients.a, coefficients.b), coefficients.s_abs, x);
  base_entries(q, eff_values, node, r);

  const Band* band = nullptr;
  if (!layout.bands.empty()) {
    const std::size_t terms = std::max(n_min, n_terms);
    band = layout.band(band_key(terms));
    if (band == nullptr) return std::unexpected(context(no_band(terms), wavelength, r));
  }
  auto phase = phase_entries(s, layout, band, products, node, derivatives, q, slots, radius_slot, scratch);
  if (!phase) return std::unexpected(context(std::move(phase).error(), wavelength, r));
  if (products.products != nullptr) coefficient_columns(s, band, products);
  if (derivatives) efficiency_derivatives(s, eff_values, node, r, slots, radius_slot, scratch);
  return n_terms;
}

}  // namespace vantok::ensemble::engine
