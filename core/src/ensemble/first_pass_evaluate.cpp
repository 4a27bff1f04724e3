// First-pass panel evaluation: the particle solved once at each G7-K15 node of
// a panel, its cross sections (and optionally Greek terms and parameter
// derivatives) as one vector per node, then weighted by each part's number
// density into Kronrod sums, |K - G| error estimates, absolute sums and the
// end-node integrands. Integrals run in t = ln r with dr = r dt. Within a
// budget, a panel keeps copies of its node solutions for the second pass,
// which visits the same nodes if the panel is not bisected.
#include "ensemble/detail_first_pass.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_workers.hpp"
#include "vantok/constants.hpp"
#include "vantok/ensemble/distribution.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/numeric.hpp"

namespace vantok::ensemble::engine {

namespace {

namespace eff = mie::efficiencies;
using detail::KRONROD_NODES;

using constants::PI;

// The per-node quantity vector (FirstPassLayout) of one particle solution at
// radius r: the cross sections, the Greek terms times G with a refinement
// order, then five cross-section derivatives per requested particle-parameter
// slot. G = πr² is the geometric cross section.
Result<void> node_quantities(const particle::ParticleSolution& solution, const std::array<double, 5>& q, double r,
                             const FirstPassLayout& layout,
                             std::span<const std::optional<std::size_t>> particle_params, std::span<double> out) {
  using V = FirstPassLayout;
  const mie::coefficients::Coefficients& c = solution.coefficients;
  const double x = c.x;
  const double g_cross = r * (PI * r);
  const double c_sca = g_cross * q[eff::Q_SCA];
  VANTOK_ASSERT(out.size() == layout.size());
  out[V::NUMBER] = 1.0;
  out[V::EXTINCTION] = q[eff::Q_EXT] * g_cross;
  out[V::SCATTERING] = c_sca;
  out[V::ASYMMETRY] = c_sca * q[eff::G];
  out[V::BACKSCATTER] = q[eff::Q_BACK] * g_cross;
  out[V::ABSORPTION] = g_cross * q[eff::Q_ABS];

  if (const std::optional<std::size_t> order = layout.refine_order()) {
    // The sphere's unnormalised Greek coefficients (alpha1_0 = Q_sca), padded
    // to the refinement order.
    VANTOK_TRY(greek, c.greek(*order, false));
    std::size_t series = 0;
    for (const std::vector<double>* sequence : std::as_const(greek).vectors()) {
      VANTOK_ASSERT(sequence->size() == *order + 1);
      for (std::size_t l = 0; l <= *order; ++l) out[layout.greek(series, l)] = (*sequence)[l] * g_cross;
      ++series;
    }
  }

  // Slot s < 2V is Re m (even) or Im m (odd) of layer s/2; s >= 2V the radius
  // fraction of layer s - 2V, whose size parameter is that fraction times x.
  const std::size_t views = solution.derivatives.size();
  std::vector<std::optional<std::array<double, 15>>> jacobians(views);
  std::size_t p = 0;  // the requested slots before s
  for (std::size_t s = 0; s < particle_params.size(); ++s) {
    if (!particle_params[s]) continue;
    const bool index_slot = s < 2 * views;
    const std::size_t view = index_slot ? s / 2 : s - 2 * views;
    VANTOK_ASSERT(view < views);
    if (!jacobians[view]) jacobians[view] = c.efficiencies_jacobian(solution.derivatives[view]);
    const std::size_t row = index_slot ? 1 + s % 2 : 0;
    std::array<double, 5> d;
    for (std::size_t k = 0; k < 5; ++k) {
      const double j = (*jacobians[view])[5 * row + k];
      d[k] = index_slot ? j : x * j;
    }
    out[layout.derivative(p, V::EXTINCTION)] = g_cross * d[eff::Q_EXT];
    out[layout.derivative(p, V::SCATTERING)] = g_cross * d[eff::Q_SCA];
    out[layout.derivative(p, V::ASYMMETRY)] = g_cross * (d[eff::Q_SCA] * q[eff::G] + q[eff::Q_SCA] * d[eff::G]);
    out[layout.derivative(p, V::BACKSCATTER)] = g_cross * d[eff::Q_BACK];
    out[layout.derivative(p, V::ABSORPTION)] = g_cross * d[eff::Q_ABS];
    ++p;
  }
  VANTOK_ASSERT(p == layout.parameters());
  return {};
}

// One part's sums over a panel from the node vectors (node i at i·Q).
Sums1 integrate(const Part& part, const detail::PanelRule& rule, std::span<const double> nodes,
                const FirstPassLayout& layout, std::size_t max_terms) {
  const std::size_t n_q = layout.size();
  const Density density(*part.distribution);
  std::vector<double> dn(part.distribution->parameter_names().size(), 0.0);
  for (const auto& entry : part.dist_params) VANTOK_ASSERT(entry.second < dn.size());
  const std::size_t n_d = part.dist_params.size();
  const std::size_t entries = (1 + n_d) * n_q;
  Sums1 s;
  s.kronrod.assign(entries, 0.0);
  s.first.assign(entries, 0.0);
  s.last.assign(entries, 0.0);
  s.abs_values.assign(n_q, 0.0);
  s.abs_derivatives.assign(n_d * n_q, 0.0);
  s.max_terms = max_terms;
  std::vector<double> gauss(entries, 0.0);
  for (std::size_t i = 0; i < KRONROD_NODES; ++i) {
    const detail::KronrodNode node = rule.node(i);
    const double k_i = node.kronrod;
    const double g_i = node.gauss;
    const double r = std::exp(node.t);
    const double n = density.eval(r, dn);
    const double w = n * r;
    const double* v = nodes.data() + i * n_q;
    const bool at_first = i == 0;
    const bool at_last = i == KRONROD_NODES - 1;
    for (std::size_t j = 0; j < n_q; ++j) {
      s.kronrod[j] += (k_i * w) * v[j];
      gauss[j] += (g_i * w) * v[j];
      s.abs_values[j] += std::fabs(w * v[j]) * k_i;
      if (at_first) s.first[j] = w * v[j];
      if (at_last) s.last[j] = w * v[j];
      for (std::size_t q = 0; q < n_d; ++q) {
        const double d = dn[part.dist_params[q].second] * r;
        const std::size_t e = layout.in_block(q + 1, j);
        s.kronrod[e] += k_i * d * v[j];
        gauss[e] += g_i * d * v[j];
        s.abs_derivatives[layout.in_block(q, j)] += std::fabs(d * v[j]) * k_i;
        if (at_first) s.first[e] = d * v[j];
        if (at_last) s.last[e] = d * v[j];
      }
    }
  }
  s.error.resize(entries);
  for (std::size_t e = 0; e < entries; ++e) s.error[e] = std::fabs(s.kronrod[e] - gauss[e]);
  return s;
}

struct Evaluation {
  std::span<const Part* const> parts;
  double wavelength;
  const particle::Optics& optics;
  const mie::SolveOptions& options;
  const FirstPassLayout& layout;
  bool derivatives;

  // The panel's sums for every part, or the first node error (with its place);
  // with a budget, the node solutions go to `kept` while they fit.
  Result<std::vector<Sums1>> panel(double a, double b, particle::Solver& solver,
                                   const std::shared_ptr<SolutionBudget>& budget,
                                   std::shared_ptr<const PanelSolutions>& kept) const {
    const detail::PanelRule rule(a, b);
    const auto& particle_params = parts.front()->particle_params;
    const std::size_t n_q = layout.size();
    std::vector<double> nodes(KRONROD_NODES * n_q);
    std::size_t max_terms = 0;
    // The 15 nodes solved side by side; a node that fails its checks ends the
    // panel when it is reached, after the nodes before it.
    std::array<double, KRONROD_NODES> radii{};
    std::array<double, KRONROD_NODES> xs{};
    for (std::size_t i = 0; i < KRONROD_NODES; ++i) {
      radii[i] = std::exp(rule.node(i).t);
      xs[i] = size_parameter(radii[i], wavelength);
    }
    std::optional<particle::Solver::NodeFailure> failure = solver.solve_nodes(optics, options, derivatives, xs);
    for (std::size_t i = 0; i < KRONROD_NODES; ++i) {
      const double r = radii[i];
      if (failure && failure->node == i) return std::unexpected(context(std::move(failure->error), wavelength, r));
      const particle::NodeSolution node = solver.node(i);
      const particle::ParticleSolution* solution = &node.solution;
      max_terms = std::max(max_terms, solution->coefficients.a.size());
      const std::array<double, 5>& q = node.efficiencies;
      const std::span<double> out(nodes.data() + i * n_q, n_q);
      if (auto done = node_quantities(*solution, q, r, layout, particle_params, out); !done) {
        return std::unexpected(context(std::move(done).error(), wavelength, r));
      }
    }
    std::vector<Sums1> sums;
    sums.reserve(parts.size());
    for (const Part* part : parts) sums.push_back(integrate(*part, rule, nodes, layout, max_terms));
    if (budget) {
      std::array<particle::NodeSolution, KRONROD_NODES> all;
      for (std::size_t i = 0; i < KRONROD_NODES; ++i) all[i] = solver.node(i);
      const std::size_t bytes = PanelSolutions::bytes(all);
      // Kept only where both the wavelength's room and the free work budget
      // hold them: keeping them never changes a result.
      auto held = std::make_shared<memory::Lease>(memory::lease(0, bytes));
      if (held->bytes() == bytes && budget->take(bytes)) {
        // The bytes go back to the budget with the last holder of the copies.
        kept = std::shared_ptr<const PanelSolutions>(new PanelSolutions(all),
                                                     [budget, bytes, held](const PanelSolutions* p) {
                                                       delete p;
                                                       budget->give(bytes);
                                                     });
      }
    }
    return sums;
  }
};

}  // namespace

bool SolutionBudget::take(std::size_t bytes) noexcept {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

void SolutionBudget::give(std::size_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }

namespace {

// A bound on the term counts of the pending panels' nodes, from the largest
// radius they reach.
std::size_t panel_terms_bound(std::span<const Panel> panels, std::span<const std::size_t> pending, double wavelength) {
  double t_top = -INFINITY;
  for (std::size_t i : pending) t_top = std::fmax(t_top, panels[i].b);
  // The term count grows with the radius.
  return terms_bound(std::exp(t_top), wavelength);
}

}  // namespace

std::vector<Result<void>> pass1_evaluate(std::vector<Panel>& panels, std::span<const Part* const> parts,
                                         double wavelength, const particle::Optics& optics,
                                         const mie::SolveOptions& options, const FirstPassLayout& layout,
                                         const std::shared_ptr<SolutionBudget>& budget, const Claim& claim) {
  VANTOK_ASSERT(!parts.empty());
  const auto& particle_params = parts.front()->particle_params;
  const bool derivatives = std::any_of(particle_params.begin(), particle_params.end(),
                                       [](const std::optional<std::size_t>& p) { return p.has_value(); });
  const Evaluation evaluation{parts, wavelength, optics, options, layout, derivatives};

  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < panels.size(); ++i) {
    if (!panels[i].sums) pending.push_back(i);
  }
  std::vector<std::optional<Error>> errors(pending.size());
  if (pending.empty()) return {};
  // Workers with a Solver each, reused for all the panels a worker evaluates:
  // one within the least piece, more as the work budget allows.
  const std::size_t per_worker =
      sat_add(particle::Solver::bytes(optics, panel_terms_bound(panels, pending, wavelength), derivatives,
                                      KRONROD_NODES),
              sat_mul(KRONROD_NODES, layout.size() * sizeof(double)));
  auto what = [&] { return "the node solutions of a panel at wavelength " + fmt::exp(wavelength); };
  const memory::Lease first = claim.take(per_worker, per_worker, what);
  const memory::Lease more = detail::extra_workers(claim, pending.size(), per_worker, what);
  std::vector<particle::Solver> solvers(detail::worker_count(pending.size(), per_worker, more));
  detail::by_workers(pending.size(), solvers, [&](std::size_t k, particle::Solver& solver) {
    Panel& panel = panels[pending[k]];
    auto sums = evaluation.panel(panel.a, panel.b, solver, budget, panel.solutions);
    if (sums) {
      panel.sums = std::move(*sums);
    } else {
      errors[k] = std::move(sums).error();
    }
  });
  std::vector<Result<void>> results;
  results.reserve(pending.size());
  for (auto& error : errors) {
    if (error) {
      results.emplace_back(std::unexpected(std::move(*error)));
    } else {
      results.emplace_back();
    }
  }
  return results;
}

}  // namespace vantok::ensemble::engine
