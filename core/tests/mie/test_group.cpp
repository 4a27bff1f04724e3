// Spheres solved in lanes against the same spheres solved one State at a time:
// every output bit for bit, for every lane width of this processor, group
// sizes 1 to the lane count, mixed term counts, with and without derivatives,
// over random spheres of every regime.
#include "vantok/mie/group.hpp"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/lane_widths.hpp"
#include "support/sphere_sets.hpp"
#include "vantok/mie/check.hpp"

using vantok::Complex;
using vantok::mie::group::Efficiencies;
using vantok::mie::group::Solver;
using vantok::mie::group::Sphere;
using vantok::mie::kernel::State;
using vantok::scalar::lanes::Width;
using vantok::test::bits;
using vantok::test::expect_same_bits;

namespace {

void expect_same_state(const State& got, const State& want, const std::string& what) {
  expect_same_bits(got.a, want.a, what + " a");
  expect_same_bits(got.b, want.b, what + " b");
  expect_same_bits(got.da_dx, want.da_dx, what + " da_dx");
  expect_same_bits(got.da_dm, want.da_dm, what + " da_dm");
  expect_same_bits(got.db_dx, want.db_dx, what + " db_dx");
  expect_same_bits(got.db_dm, want.db_dm, what + " db_dm");
  EXPECT_EQ(bits(got.absorption), bits(want.absorption)) << what;
  EXPECT_EQ(bits(got.dabs_dx), bits(want.dabs_dx)) << what;
  EXPECT_EQ(bits(got.dabs_dre), bits(want.dabs_dre)) << what;
  EXPECT_EQ(bits(got.dabs_dim), bits(want.dabs_dim)) << what;
  EXPECT_EQ(got.derivatives, want.derivatives) << what;
  EXPECT_EQ(bits(got.x), bits(want.x)) << what;
}

// Solves `spheres` in groups of 1 to the lane count (cycling) and compares
// each with its own State and its efficiencies (and Jacobian) with those of
// the State's coefficients; once with the coefficients and once without.
void check_groups(const std::vector<Sphere>& spheres, Width width, bool derivatives) {
  Solver solver(width);
  std::vector<State> lanes(solver.lanes());
  std::vector<Efficiencies> q(solver.lanes()), q_only(solver.lanes());
  State alone;
  std::size_t size = 1;
  for (std::size_t begin = 0; begin < spheres.size(); begin += size, size = size % solver.lanes() + 1) {
    const std::size_t count = std::min(size, spheres.size() - begin);
    const std::span<const Sphere> group(spheres.data() + begin, count);
    solver.solve(group, derivatives, lanes, {false, true}, q_only);
    solver.solve(group, derivatives, lanes, {true, true}, q);
    for (std::size_t j = 0; j < count; ++j) {
      const Sphere& s = group[j];
      alone.prepare(s.n_terms, s.x, s.m);
      alone.finish(s.n_terms, derivatives, s.x, s.m);
      const std::string what =
          vantok::test::describe(s) + " lane " + std::to_string(j) + " of " + std::to_string(count);
      expect_same_state(lanes[j], alone, what);
      expect_same_bits(q[j].values, alone.coefficients().efficiencies(), what + " efficiencies");
      expect_same_bits(q_only[j].values, q[j].values, what + " efficiencies alone");
      if (derivatives) {
        expect_same_bits(q[j].jacobian, alone.coefficients().efficiencies_jacobian(alone.coefficient_derivatives()),
                    what + " Jacobian");
        expect_same_bits(q_only[j].jacobian, q[j].jacobian, what + " Jacobian alone");
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace

TEST(MieGroup, LanesGiveTheBitsOfOneState) {
  for (const Width width : vantok::test::lane_widths()) {
    for (const bool derivatives : {false, true}) {
      SCOPED_TRACE(std::string(width == Width::Four ? "four" : "two") + " lanes, derivatives " +
                   (derivatives ? "on" : "off"));
      check_groups(vantok::test::sphere_set(2025, 400), width, derivatives);
    }
  }
}

TEST(MieGroup, TermCountsOfOneGroupMayDiffer) {
  // Lanes end at their own N, cut orders fall at different orders, real and
  // complex indices share a group; n_max above the default truncation.
  const std::vector<Sphere> spheres{
      {0.5, {1.5, 0.0}, 40},   {37.5, {1.33, 1e-8}, 60},  {12.0, {1.0, 0.0}, 30}, {3.0, {2.0, -0.0}, 9},
      {1.0, {1.5, 0.01}, 1},   {80.0, {9.0, 9.0}, 101},   {2.0, {0.1, 0.0}, 12},  {1e-6, {1.5, 0.5}, 4},
  };
  for (const Width width : vantok::test::lane_widths()) {
    for (const bool derivatives : {false, true}) check_groups(spheres, width, derivatives);
  }
}
