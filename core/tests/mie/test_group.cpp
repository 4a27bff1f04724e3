// Spheres solved in lanes against the same spheres solved one State at a time:
// every output bit for bit, for every lane width of this processor, group
// sizes 1 to the lane count, mixed term counts, with and without derivatives,
// over random spheres of every regime.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/lane_widths.hpp"
#include "support/sphere_sets.hpp"
#include "vantok/mie/group.hpp"

using vantok::mie::group::Efficiencies;
using vantok::mie::group::Solver;
using vantok::mie::group::Sphere;
using vantok::mie::kernel::State;
using vantok::test::Flat;

namespace {

Flat outputs(const State& s) {
  return Flat{} << s.a << s.b << s.da_dx << s.da_dm << s.db_dx << s.db_dm << s.absorption << s.dabs_dx << s.dabs_dre
                << s.dabs_dim << static_cast<double>(s.derivatives) << s.x;
}

// Solves `spheres` in groups of 1 to the lane count (cycling), with the
// coefficients and without (efficiencies alone), and compares each lane with
// its own State, its efficiencies and Jacobian with those of its coefficients.
void check_groups(const std::vector<Sphere>& spheres, bool derivatives) {
  for (const vantok::scalar::lanes::Width width : vantok::test::lane_widths()) {
    Solver solver(width);
    std::vector<State> lanes(solver.lanes());
    std::vector<Efficiencies> q(solver.lanes()), q_only(solver.lanes());
    State alone;
    std::size_t size = 1;
    for (std::size_t begin = 0; begin < spheres.size(); begin += size, size = size % solver.lanes() + 1) {
      const std::span<const Sphere> group(spheres.data() + begin, std::min(size, spheres.size() - begin));
      solver.solve(group, derivatives, lanes, {false, true}, q_only);
      solver.solve(group, derivatives, lanes, {true, true}, q);
      for (std::size_t j = 0; j < group.size(); ++j) {
        alone.prepare(group[j].n_terms, group[j].x, group[j].m);
        alone.finish(group[j].n_terms, derivatives, group[j].x, group[j].m);
        const auto c = alone.coefficients();
        Flat want = outputs(alone) << c.efficiencies(), got = outputs(lanes[j]) << q[j].values;
        Flat only = outputs(lanes[j]) << q_only[j].values;
        if (derivatives) {
          want << c.efficiencies_jacobian(alone.coefficient_derivatives());
          got << q[j].jacobian;
          only << q_only[j].jacobian;
        }
        const std::string what = vantok::test::describe(group[j]) + ", lane " + std::to_string(j) + " of " +
                                 std::to_string(group.size()) + ", width " + std::to_string(solver.lanes()) +
                                 (derivatives ? ", derivatives" : "");
        vantok::test::expect_same_bits(got, want, what);
        vantok::test::expect_same_bits(only, want, what + ", efficiencies alone");
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

TEST(MieGroup, LanesGiveTheBitsOfOneState) {
  for (const bool derivatives : {false, true}) check_groups(vantok::test::sphere_set(2025, 400), derivatives);
  // Lanes end at their own N, cut orders fall at different orders, real and
  // complex indices share a group; n_max above the default truncation.
  const std::vector<Sphere> spheres{
      {0.5, {1.5, 0.0}, 40}, {37.5, {1.33, 1e-8}, 60}, {12.0, {1.0, 0.0}, 30}, {3.0, {2.0, -0.0}, 9},
      {1.0, {1.5, 0.01}, 1}, {80.0, {9.0, 9.0}, 101},  {2.0, {0.1, 0.0}, 12},  {1e-6, {1.5, 0.5}, 4},
  };
  for (const bool derivatives : {false, true}) check_groups(spheres, derivatives);
}

}  // namespace
