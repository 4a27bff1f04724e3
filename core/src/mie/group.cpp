// Spheres solved side by side: the lane kernel of spherical/kernel_lanes.inc over
// two lanes and, inside an "avx2" target region, over four; the lanes' results
// are then copied out to each sphere's State.
#include "vantok/mie/group.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "spherical/ratios.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace vantok::mie::group {

using kernel::cut_order;
using kernel::start_order;
using kernel::State;
using kernel::SurfaceSlopes;
using kernel::SurfaceValues;
using scalar::lanes::Width;

namespace {

#define VANTOK_LANES_BODY "mie/detail_group_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

}  // namespace

struct Solver::Work {
  two::Work two;
  four::Work four;
};

Solver::Solver(Width width)
    : width_(scalar::lanes::resolve(width)),
      lanes_(width_ == Width::Four ? 4 : 2),
      work_(std::make_unique<Work>()) {
  VANTOK_ASSERT(width_ == Width::Two || scalar::lanes::has_avx2());
}

Solver::~Solver() = default;
Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;

void Solver::solve(std::span<const Sphere> group, bool derivatives, std::span<State> out,
                   const Products& products, std::span<Efficiencies> efficiencies) {
  VANTOK_ASSERT(!group.empty() && group.size() <= lanes_ && out.size() >= group.size());
  VANTOK_ASSERT(!products.efficiencies || efficiencies.size() >= group.size());
  const bool alone = group.size() == 1 || std::any_of(group.begin(), group.end(), [](const Sphere& s) {
                       return s.n_terms > MAX_LANE_TERMS;
                     });
  if (alone) {
    for (std::size_t j = 0; j < group.size(); ++j) {
      State& st = out[j];
      st.prepare(group[j].n_terms, group[j].x, group[j].m);
      st.finish(group[j].n_terms, derivatives, group[j].x, group[j].m);
      if (products.efficiencies) {
        const coefficients::Coefficients c = st.coefficients();
        efficiencies[j].values = c.efficiencies();
        if (derivatives) efficiencies[j].jacobian = c.efficiencies_jacobian(st.coefficient_derivatives());
      }
    }
    return;
  }
  if (width_ == Width::Four) {
    four::solve(work_->four, group, derivatives, out, products, efficiencies);
  } else {
    two::solve(work_->two, group, derivatives, out, products, efficiencies);
  }
}

}  // namespace vantok::mie::group
