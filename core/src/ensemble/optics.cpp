// Particle optics at one radius on reusable solver buffers.
#include "ensemble/detail_optics.hpp"

#include "vantok/layered/check.hpp"
#include "vantok/layered/group.hpp"
#include "vantok/mie/group.hpp"
#include "vantok/numeric.hpp"

#include <algorithm>

namespace vantok::ensemble::particle {

Optics Optics::at(const ensemble::Particle& particle, std::size_t index) {
  if (const auto* sphere = particle.get_if<ensemble::Sphere>()) {
    VANTOK_ASSERT(index < sphere->m.size());
    return {Sphere{sphere->m[index]}};
  }
  const auto& layered = std::get<ensemble::LayeredSphere>(particle.kind);
  for (const auto& layer : layered.layers) VANTOK_ASSERT(index < layer.size());
  return {Layered{layered.radius_fractions, layered.layers, index}};
}

void Optics::layers(std::vector<double>& xs, std::vector<Complex<double>>& ms, double x) const {
  const auto* layered = std::get_if<Layered>(&kind);
  VANTOK_ASSERT(layered != nullptr);
  xs.clear();
  ms.clear();
  for (double fraction : layered->radius_fractions) xs.push_back(fraction * x);
  xs.push_back(x);
  for (const auto& layer : layered->layer_indices) ms.push_back(layer[layered->wavelength]);
}

Result<std::size_t> Optics::n_terms(const mie::SolveOptions& options, double x) const {
  if (const auto* sphere = std::get_if<Sphere>(&kind)) return mie::check_inputs(x, sphere->m, options);
  std::vector<double> xs;
  std::vector<Complex<double>> ms;
  layers(xs, ms, x);
  return layered::check_inputs(xs, ms, options);
}

Result<ParticleSolution> Solver::solve(const Optics& optics, const mie::SolveOptions& options, bool derivatives,
                                       double x) {
  views_.clear();
  if (const auto* sphere = std::get_if<Optics::Sphere>(&optics.kind)) {
    VANTOK_TRY(state, mie_.solve(options, derivatives, x, sphere->m));
    if (state->derivatives) views_.push_back(state->coefficient_derivatives());
    return ParticleSolution{views_, state->coefficients(), {}};
  }
  // The layered solver runs the layered checks, then the derivative limit on
  // x_L, then solves one layer as a homogeneous sphere or several by the
  // layered kernel, into the outermost layer's State.
  const auto& layered = std::get<Optics::Layered>(optics.kind);
  optics.layers(xs_, ms_, x);
  VANTOK_TRY(state, layered_.solve(options, derivatives, xs_, ms_));
  if (state->derivatives) {
    for (std::size_t l = 0; l < layered_.layers(); ++l) views_.push_back(layered_.layer_derivatives(l));
  }
  return ParticleSolution{views_, state->coefficients(), layered.radius_fractions};
}

// The solutions of the last solve_nodes: per node a State (sphere) or a
// solved particle (layered), its efficiencies and its derivative views.
struct Solver::Nodes {
  mie::group::Solver spheres;
  layered::group::Solver particles;
  std::vector<mie::kernel::State> states;
  std::vector<layered::group::Solved> solved;
  std::vector<mie::group::Efficiencies> sphere_efficiencies;
  std::vector<layered::group::Efficiencies> particle_efficiencies;
  std::vector<std::vector<double>> xs;
  std::vector<std::vector<Complex<double>>> ms;
  std::vector<std::vector<mie::coefficients::CoefficientDerivatives>> views;
  std::vector<mie::group::Sphere> sphere_group;
  std::vector<layered::group::Particle> particle_group;
  std::size_t count = 0;
  bool layered = false;
  std::span<const double> radius_fractions;
};

Solver::Solver() : nodes_(std::make_unique<Nodes>()) {}
Solver::~Solver() = default;
Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;

std::optional<Solver::NodeFailure> Solver::solve_nodes(const Optics& optics, const mie::SolveOptions& options,
                                                       bool derivatives, std::span<const double> xs) {
  Nodes& n = *nodes_;
  const std::size_t count = xs.size();
  n.count = 0;
  n.views.resize(count);
  std::optional<NodeFailure> failure;
  std::size_t checked = 0;
  const auto* sphere = std::get_if<Optics::Sphere>(&optics.kind);
  n.layered = sphere == nullptr;
  if (sphere != nullptr) {
    n.radius_fractions = {};
    n.states.resize(count);
    n.sphere_efficiencies.resize(count);
    n.sphere_group.clear();
    for (; checked < count; ++checked) {
      auto terms = mie::check_inputs(xs[checked], sphere->m, options);
      if (!terms) {
        failure = NodeFailure{checked, std::move(terms).error()};
        break;
      }
      n.sphere_group.push_back({xs[checked], sphere->m, *terms});
    }
    const std::size_t lanes = n.spheres.lanes();
    for (std::size_t i = 0; i < checked; i += lanes) {
      const std::size_t size = std::min(lanes, checked - i);
      n.spheres.solve(std::span(n.sphere_group).subspan(i, size), derivatives, std::span(n.states).subspan(i, size),
                      {true, true}, std::span(n.sphere_efficiencies).subspan(i, size));
    }
    for (std::size_t i = 0; i < checked; ++i) {
      n.views[i].clear();
      if (derivatives) n.views[i].push_back(n.states[i].coefficient_derivatives());
    }
  } else {
    const auto& layered = std::get<Optics::Layered>(optics.kind);
    n.radius_fractions = layered.radius_fractions;
    n.solved.resize(count);
    n.particle_efficiencies.resize(count);
    n.xs.resize(count);
    n.ms.resize(count);
    n.particle_group.clear();
    // As Layered::solve checks: the layered check, the derivative limit, the
    // size of the work arrays.
    for (; checked < count; ++checked) {
      optics.layers(n.xs[checked], n.ms[checked], xs[checked]);
      auto terms = layered::check_inputs(n.xs[checked], n.ms[checked], options);
      if (!terms) {
        failure = NodeFailure{checked, std::move(terms).error()};
        break;
      }
      if (auto limit = layered::check_derivative_limit(options, derivatives, n.xs[checked]); !limit) {
        failure = NodeFailure{checked, std::move(limit).error()};
        break;
      }
      layered::reserve_work_arrays(n.xs[checked].size(), *terms, derivatives);
      n.particle_group.push_back({n.xs[checked], n.ms[checked], *terms});
    }
    const std::size_t lanes = n.particles.lanes();
    for (std::size_t i = 0; i < checked; i += lanes) {
      const std::size_t size = std::min(lanes, checked - i);
      n.particles.solve(std::span(n.particle_group).subspan(i, size), derivatives,
                        std::span(n.solved).subspan(i, size), {true, true},
                        std::span(n.particle_efficiencies).subspan(i, size));
    }
    for (std::size_t i = 0; i < checked; ++i) {
      n.views[i].clear();
      if (derivatives) {
        for (std::size_t l = 0; l < n.solved[i].layers; ++l) n.views[i].push_back(n.solved[i].layer_derivatives(l));
      }
    }
  }
  n.count = checked;
  return failure;
}

NodeSolution Solver::node(std::size_t i) const {
  const Nodes& n = *nodes_;
  VANTOK_ASSERT(i < n.count);
  if (n.layered) {
    return {{n.views[i], n.solved[i].coefficients(), n.radius_fractions}, n.particle_efficiencies[i].values};
  }
  return {{n.views[i], n.states[i].coefficients(), {}}, n.sphere_efficiencies[i].values};
}

std::size_t Solver::bytes(const Optics& optics, std::size_t n_terms, bool derivatives, std::size_t nodes) {
  using C = Complex<double>;
  const auto* layered = std::get_if<Optics::Layered>(&optics.kind);
  const std::size_t layers = layered != nullptr ? layered->radius_fractions.size() + 1 : 1;
  const std::size_t orders = sat_add<std::size_t>(n_terms, 2);
  // Per node: a_n, b_n (and four derivative vectors), the ratio tables r_n(m x)
  // (complex) and r_n(x) with its real companion, and with derivatives four
  // complex vectors per inner layer.
  const std::size_t coefficient_vectors = derivatives ? 6 : 2;
  std::size_t per_node = sat_mul(orders, coefficient_vectors * sizeof(C) + sizeof(C) + 2 * sizeof(double));
  if (derivatives) per_node = sat_add(per_node, sat_mul(sat_mul(orders, layers - 1), 4 * sizeof(C)));
  // A group solve's work arrays: per layer two complex vectors (eleven with
  // derivatives), for every lane while the particles are solved side by side.
  const std::size_t lane_work = sat_mul(layers, orders);
  const std::size_t lanes = lane_work <= mie::group::MAX_LANE_TERMS ? 4 : 1;
  const std::size_t work = sat_mul(sat_mul(lane_work, lanes), (derivatives ? 11 : 2) * sizeof(C) + sizeof(C));
  return sat_add(sat_mul(per_node, nodes), work);
}

StoredSolutions::StoredSolutions(std::span<const NodeSolution> nodes) {
  std::size_t values = 0;
  std::size_t view_count = 0;
  for (const NodeSolution& node : nodes) {
    values += (2 + 4 * node.solution.derivatives.size()) * node.solution.coefficients.a.size();
    view_count += node.solution.derivatives.size();
  }
  data_.reserve(values);
  views_.reserve(view_count);
  entries_.reserve(nodes.size());
  for (const NodeSolution& node : nodes) {
    const ParticleSolution& s = node.solution;
    const std::size_t n = s.coefficients.a.size();
    VANTOK_ASSERT(s.coefficients.b.size() == n);
    Entry e{data_.size(), n, views_.size(), s.derivatives.size(), s.coefficients.x, s.coefficients.s_abs,
            node.efficiencies, s.radius_fractions};
    auto append = [&](std::span<const Complex<double>> v) {
      VANTOK_ASSERT(v.size() >= n);
      data_.insert(data_.end(), v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
    };
    append(s.coefficients.a);
    append(s.coefficients.b);
    for (const mie::coefficients::CoefficientDerivatives& d : s.derivatives) {
      // The view into data_ (reserved above, so it does not move).
      mie::coefficients::CoefficientDerivatives v = d;
      const Complex<double>* p = data_.data() + data_.size();
      append(d.da_dx);
      append(d.da_dm);
      append(d.db_dx);
      append(d.db_dm);
      v.da_dx = {p, n};
      v.da_dm = {p + n, n};
      v.db_dx = {p + 2 * n, n};
      v.db_dm = {p + 3 * n, n};
      views_.push_back(v);
    }
    entries_.push_back(e);
  }
}

NodeSolution StoredSolutions::node(std::size_t i) const noexcept {
  const Entry& e = entries_[i];
  const Complex<double>* p = data_.data() + e.first;
  return {{std::span(views_).subspan(e.first_view, e.view_count), {{p, e.n}, {p + e.n, e.n}, e.x, e.s_abs},
           e.radius_fractions},
          e.efficiencies};
}

std::size_t StoredSolutions::bytes(std::span<const NodeSolution> nodes) noexcept {
  std::size_t out = sizeof(StoredSolutions);
  for (const NodeSolution& node : nodes) {
    const std::size_t views = node.solution.derivatives.size();
    out += sizeof(Entry) + views * sizeof(mie::coefficients::CoefficientDerivatives) +
           (2 + 4 * views) * node.solution.coefficients.a.size() * sizeof(Complex<double>);
  }
  return out;
}

}  // namespace vantok::ensemble::particle
