// Layered particles solved side by side: the recursion of
// detail_kernel_lanes.inc (on the sphere kernel's lanes) over two lanes and,
// inside an "avx2" target region, over four; one-layer particles by the sphere
// lanes; the lanes' results then copied out to each particle.
#include "vantok/layered/group.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "spherical/ratios.hpp"
#include "vantok/error.hpp"
#include "vantok/layered/kernel.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace vantok::layered::group {

using mie::kernel::cut_order;
using mie::kernel::start_order;
using mie::kernel::State;
using mie::kernel::SurfaceSlopes;
using mie::kernel::SurfaceValues;
using scalar::lanes::Width;

namespace {

#define VANTOK_LANES_BODY "layered/detail_group_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

}  // namespace

mie::coefficients::CoefficientDerivatives Solved::layer_derivatives(std::size_t l) const {
  VANTOK_ASSERT(state.derivatives && l < layers);
  if (l + 1 == layers) return state.coefficient_derivatives();
  return records[l].view(false);
}

struct Solver::Work {
  kernel::Kernel alone;
  std::vector<mie::group::Sphere> spheres;
  std::vector<State> states;
  std::vector<mie::group::Efficiencies> sphere_efficiencies;
  two::GroupWork two;
  four::GroupWork four;
};

Solver::Solver(Width width) : width_(scalar::lanes::resolve(width)), spheres_(width_), work_(std::make_unique<Work>()) {}

Solver::~Solver() = default;
Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;

namespace {

// The efficiencies of a particle solved alone, from its views.
void efficiencies_alone(const Solved& s, bool derivatives, Efficiencies& out) {
  const mie::coefficients::Coefficients c = s.coefficients();
  out.values = c.efficiencies();
  out.jacobians.resize(derivatives ? s.layers : 0);
  for (std::size_t l = 0; l < out.jacobians.size(); ++l) {
    out.jacobians[l] = c.efficiencies_jacobian(s.layer_derivatives(l));
  }
}

}  // namespace

void Solver::solve(std::span<const Particle> group, bool derivatives, std::span<Solved> out,
                   const mie::group::Products& products, std::span<Efficiencies> efficiencies) {
  VANTOK_ASSERT(!group.empty() && group.size() <= lanes() && out.size() >= group.size());
  VANTOK_ASSERT(!products.efficiencies || efficiencies.size() >= group.size());
  const std::size_t layers = group[0].xs.size();
  for (const Particle& p : group) VANTOK_ASSERT(p.xs.size() == layers && p.ms.size() == layers && layers >= 1);
  Work& w = *work_;
  if (layers == 1) {
    // One layer is a homogeneous sphere.
    w.spheres.clear();
    for (const Particle& p : group) w.spheres.push_back({p.xs[0], p.ms[0], p.n_terms});
    w.states.resize(group.size());
    w.sphere_efficiencies.resize(group.size());
    spheres_.solve(w.spheres, derivatives, w.states, products, w.sphere_efficiencies);
    for (std::size_t j = 0; j < group.size(); ++j) {
      std::swap(out[j].state, w.states[j]);
      out[j].records.clear();
      out[j].layers = 1;
      if (products.efficiencies) {
        efficiencies[j].values = w.sphere_efficiencies[j].values;
        efficiencies[j].jacobians.assign(derivatives ? 1 : 0, w.sphere_efficiencies[j].jacobian);
      }
    }
    return;
  }
  const bool alone = group.size() == 1 || std::any_of(group.begin(), group.end(), [&](const Particle& p) {
                       return p.n_terms > MAX_LANE_WORK / layers;
                     });
  if (alone) {
    for (std::size_t j = 0; j < group.size(); ++j) {
      Solved& s = out[j];
      w.alone.solve(s.state, group[j].xs, group[j].ms, group[j].n_terms, derivatives);
      const auto records = w.alone.records();
      s.records.assign(records.begin(), records.end());
      s.layers = layers;
      if (products.efficiencies) efficiencies_alone(s, derivatives, efficiencies[j]);
    }
    return;
  }
  if (width_ == Width::Four) {
    four::solve(w.four, group, derivatives, out, products, efficiencies);
  } else {
    two::solve(w.two, group, derivatives, out, products, efficiencies);
  }
}

}  // namespace vantok::layered::group
