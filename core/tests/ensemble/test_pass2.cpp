// The second pass's pieces: node quantities (the entry order, the band
// lookup; the fast products are checked against the sphere's phase matrix in
// test_fast and through whole runs), the first pass's kept node solutions (the
// same bits as solving again, within their budget), the batch size, the part
// averages' error formula, and the outputs step on synthetic sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <limits>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/ensemble/outputs.hpp"
#include "vantok/ensemble/pass2.hpp"
#include "vantok/mie/mie.hpp"

using namespace vantok::test::ensemble;
using namespace vantok::ensemble::engine;
using vantok::Complex;
using vantok::ensemble::lin::Lin;
using vantok::ensemble::particle::Optics;
using vantok::test::same_bits;

namespace {

const vantok::mie::SolveOptions SOLVE{std::nullopt, false};

}  // namespace

// Entries [1, C_ext, C_sca, C_sca g, C_abs, C_back, r², r³]: C_abs before
// C_back (the first pass orders them the other way); nothing beyond them
// without cosines and Greek coefficients.
TEST(Quantities2, BaseEntries) {
  const Complex<double> m{1.5, 0.1};
  const double r = 0.25;
  const double wavelength = 0.5;
  const auto lay = layout({}, 0, {});
  ASSERT_TRUE(lay.has_value());
  EXPECT_EQ(lay->n_quantities, 8u);
  std::vector<double> q(8, 0.0);
  NodeScratch scratch;
  const auto n = quantities2(scratch, Optics::at(Particle{Sphere{{m}}}, 0), SOLVE, *lay, q, {}, {}, 0, {}, r, wavelength);
  ASSERT_TRUE(n.has_value());
  vantok::mie::Mie mie;
  ASSERT_TRUE(mie.solve(SOLVE, false, size_parameter(r, wavelength), m));
  const auto e = mie.coefficients().efficiencies();
  const double g = 3.141592653589793 * r * r;
  const std::vector<double> want = {1, g * e[0], g * e[1], g * e[1] * e[4], g * e[2], g * e[3], r * r, r * r * r};
  for (std::size_t i = 0; i < 8; ++i) EXPECT_NEAR(q[i], want[i], 1e-15 * want[i]) << i;
  EXPECT_EQ(*n, mie.coefficients().a.size());

  // A term count whose key has no band.
  const std::size_t keys[1] = {1};
  const auto small = layout(keys, 2, {});
  std::vector<double> big(small->n_quantities);
  vantok::test::expect_error(
      quantities2(scratch, Optics::at(Particle{Sphere{{m}}}, 0), SOLVE, *small, big, {}, {}, 0, {}, r, wavelength),
      vantok::Error::Kind::InvalidInput, "at wavelength 5e-1, radius 2.5e-1: no projector band for " + std::to_string(*n) + " terms");
}

// The first pass keeps its panels' node solutions and the second pass uses
// them: every sum has the bits of a second pass that solves each node again.
// Sphere and layered particles, with particle derivatives (kept derivative
// views), Greek coefficients and cosines. A budget keeps solutions while they
// fit and gets every byte back when the panels that hold them go.
TEST(SecondPass, KeptSolutionsGiveTheSameBitsWithinTheirBudget) {
  const std::vector<std::vector<Component>> cases{{{sphere(1), lognormal(0.4, 1.6), 1.0}},
                                                  {{layered({0.6}, 1), gamma(0.5, 0.1), 1.0}}};
  const std::vector<EnsembleParam> params{{std::nullopt, vantok::ensemble::param::MReal{}, 0},
                                          {std::nullopt, vantok::ensemble::param::LayerMImag{0}, 0}};
  for (std::size_t c = 0; c < cases.size(); ++c) {
    EnsembleOptions o = options(1e-5, 1000);
    o.mu = {0.5, -0.2};
    o.greek = GreekSelection::all();
    o.params = {params[c]};
    const auto parts = vantok::ensemble::engine::parts(cases[c], o.params, o.rtol);
    ASSERT_TRUE(parts.has_value());
    const std::vector<std::vector<std::size_t>> groups{{0}};
    const std::vector<Unit> units{{{0}, 1.0}};
    auto records = first_pass(*parts, groups, 0.5, 0, o);
    ASSERT_TRUE(records.has_value());
    std::size_t kept = 0;
    for (const auto& s : records->front().solutions) kept += s ? 1 : 0;
    EXPECT_EQ(kept, records->front().panels.size()) << c;
    const auto with = second_pass(*parts, groups, *records, units, 0.5, 0, o);
    for (auto& s : records->front().solutions) s.reset();
    const auto without = second_pass(*parts, groups, *records, units, 0.5, 0, o);
    ASSERT_TRUE(with.has_value() && without.has_value());
    const DistributionSums& x = with->sums.front();
    const DistributionSums& y = without->sums.front();
    ASSERT_EQ(x.d.size(), 1u);
    for (const auto& [u, v] : {std::pair(&x.values, &y.values), std::pair(&x.errors, &y.errors),
                               std::pair(&x.d[0], &y.d[0]), std::pair(&x.d_errors[0], &y.d_errors[0])}) {
      ASSERT_EQ(u->size(), v->size());
      for (std::size_t i = 0; i < u->size(); ++i) EXPECT_TRUE(same_bits((*u)[i], (*v)[i])) << c << " " << i;
    }
  }

  const std::vector<Component> c{{sphere(1), lognormal(0.4, 1.6), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-4);
  ASSERT_TRUE(parts.has_value());
  const std::vector<const Part*> members{&parts->front()};
  auto evaluate = [&](std::size_t limit) {
    std::vector<Panel> panels{{-2.0, -1.5, std::nullopt}, {-1.5, -1.0, std::nullopt}, {-1.0, -0.5, std::nullopt}};
    const auto budget = std::make_shared<SolutionBudget>(limit);
    for (const auto& r : pass1_evaluate(panels, members, 0.5, Optics::at(c[0].particle, 0), SOLVE, std::nullopt, 6,
                                        budget)) {
      EXPECT_TRUE(r.has_value());
    }
    std::size_t kept = 0;
    for (const Panel& p : panels) kept += p.solutions ? 1 : 0;
    panels.clear();
    EXPECT_TRUE(budget->take(limit));  // every byte is back
    return kept;
  };
  EXPECT_EQ(evaluate(std::size_t{1} << 25), 3u);
  EXPECT_EQ(evaluate(1000), 0u);
}

// About 2^26 bytes of chunk results per batch: 4 to 128 panels.
TEST(SecondPass, BatchSizes) {
  EXPECT_EQ(batch_panels(1, 0, 0), 128u);
  EXPECT_EQ(batch_panels(1, 524286, 0), 8u);   // 2^25 bytes per panel
  EXPECT_EQ(batch_panels(1, 1048574, 0), 4u);  // 2^26
  EXPECT_EQ(batch_panels(3, 1048574, 0), 4u);
  const auto huge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(batch_panels(huge, huge, huge), 4u);
}

// The error of a distribution-parameter derivative takes the value's error
// with its tail allowance: err_d = (E_p + |v| δ + |d| e0 + |D| err)/M0 + τ|d|,
// err = (E + e0 |v|)/M0 + τ|v|.
TEST(SecondPass, PartAverageErrors) {
  const std::vector<Component> c = {{sphere(1), lognormal(0.1, 1.5), 1.0}};
  const std::vector<EnsembleParam> params = {{std::nullopt, param::Distribution{"width"}, 0},
                                             {std::nullopt, param::MReal{}, 0}};
  const double rtol = 1e-3;
  auto parts = vantok::ensemble::engine::parts(c, params, rtol);
  ASSERT_TRUE(parts.has_value());
  Part part = parts->front();
  part.averages->m0 = 2.0;
  part.averages->m0_err = 0.01;
  part.averages->m0_derivatives = {0.5};
  part.averages->m0_derivative_errors = {0.02};
  // One entry (index 1), columns: value, width, m_real, m_imag.
  const RangeSums sums{1, 2, {3.0, 1.0, 0.4, 0.7}, {0.1, 0.05, 0.03, 0.02}};
  const PartAverages avg = part_averages(part, std::span(&sums, 1), 4, 2, rtol);
  const double tau = 0.2 * rtol;
  const double v = 1.5;
  const double err = (0.1 + 0.01 * v) / 2.0 + tau * v;
  EXPECT_EQ(avg.values, (std::vector<double>{0, v, 0, 0}));
  EXPECT_DOUBLE_EQ(avg.errors[1], err);
  ASSERT_EQ(avg.derivatives.size(), 2u);
  const double d = (1.0 - v * 0.5) / 2.0;
  EXPECT_EQ(avg.derivatives[0].index, 0u);
  EXPECT_DOUBLE_EQ(avg.derivatives[0].values[1], d);
  EXPECT_DOUBLE_EQ(avg.derivatives[0].errors[1], (0.05 + v * 0.02 + d * 0.01 + 0.5 * err) / 2.0 + tau * d);
  EXPECT_EQ(avg.derivatives[1].index, 1u);
  EXPECT_DOUBLE_EQ(avg.derivatives[1].values[1], 0.2);
  EXPECT_DOUBLE_EQ(avg.derivatives[1].errors[1], (0.03 + 0.01 * 0.2) / 2.0 + tau * 0.2);
}

namespace {

// Sums of one distribution with one cosine and P = 1: entries
// [1, C_ext, C_sca, C_sca g, C_abs, C_back, r², r³, F11, F12, F33, F34].
DistributionSums synthetic(double c_ext, double c_sca, double c_back) {
  DistributionSums s;
  s.values = {1, c_ext, c_sca, 1, 2, c_back, 0.04, 0.008, 1, -0.5, 0.8, 0.1};
  s.errors.assign(12, 1e-3);
  s.d = {std::vector<double>(12, 0.25)};
  s.d_errors = {std::vector<double>(12, 1e-4)};
  return s;
}

}  // namespace

// Normalisation, the fixed outputs, padding of the Greek series to L + 1,
// the unit's panels, flags and ranges, and the undefined-ratio refusals.
TEST(EnsembleOutputs, FromSyntheticSums) {
  const std::vector<Unit> units = {{{0, 1}, 1.0}, {{2}, 1.0}};
  const std::vector<DistributionSums> sums = {synthetic(4, 2, 0.5), synthetic(3, 1, 0.25)};
  GreekSet set;
  for (auto& series : set) series.assign(7, Lin{0.5, 0.01, {0.1}, {0.001}});
  set[0][0] = Lin{2.0, 0.01, {0.5}, {0.001}};
  const std::optional<std::vector<GreekSet>> greek = std::vector<GreekSet>{set, set};
  const std::vector<Pass1> records = {{{{0, 1}, {1, 2}, {2, 3}}, {true, false}, 9, {0.1, 0.9}, {}},
                                      {{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}, {true}, 9, {0.2, 0.8}, {}}};
  const std::vector<std::pair<std::size_t, std::size_t>> part_groups = {{0, 0}, {0, 1}, {1, 0}};
  EnsembleOptions o = options();
  o.mu = {0.5};
  o.params = {{std::nullopt, param::Weight{}, 0}};
  const auto out = outputs(units, sums, greek, records, part_groups, o, 10);
  ASSERT_TRUE(out.has_value()) << out.error().to_string();
  ASSERT_EQ(out->size(), 2u);
  const EnsembleResult& r = (*out)[0];
  const auto& v = r.value.values;
  EXPECT_EQ((std::array{v[output::ALBEDO], v[output::ASYMMETRY], v[output::LIDAR_RATIO], v[output::EFFECTIVE_RADIUS],
                        v[output::VOLUME]}),
            (std::array{0.5, 0.5, 8 * 12.566370614359172, 0.2, 0.008 * 4.1887902047863905}));
  for (const Outputs* kind : {&r.value, &r.error, &r.d[0], &r.d_errors[0]}) {
    EXPECT_EQ(kind->values[output::ZERO], 0.0);
    ASSERT_TRUE(kind->greek && kind->phase);
    for (const std::vector<double>* series : kind->greek->vectors()) {
      ASSERT_EQ(series->size(), 11u);
      for (std::size_t l = 7; l < 11; ++l) EXPECT_EQ((*series)[l], 0.0);
    }
  }
  EXPECT_EQ((std::array{r.value.greek->alpha1[0], r.error.greek->alpha1[0], r.d[0].greek->alpha1[0],
                        r.value.greek->alpha1[1], (*r.value.phase)[1][0]}),
            (std::array{1.0, 0.0, 0.0, 0.25, -0.25}));
  EXPECT_EQ(std::tuple(r.panels, r.converged, r.ranges.size(), (*out)[1].panels, (*out)[1].converged),
            std::tuple(3u, false, 2u, 5u, true));
  EXPECT_EQ((*out)[1].params, o.params);

  // Unnormalised and without cosines or Greek coefficients.
  o.unnormalized = true;
  o.mu = {};
  o.params = {};
  std::vector<DistributionSums> plain = {synthetic(4, 2, 0.5)};
  plain[0].d.clear();
  plain[0].d_errors.clear();
  const auto bare = outputs(std::span(units).first(1), plain, std::nullopt, records, part_groups, o, 0);
  ASSERT_TRUE(bare.has_value());
  EXPECT_FALSE(bare->front().value.greek || bare->front().error.phase);
  EXPECT_TRUE(bare->front().d.empty() && bare->front().d_errors.empty());
  const auto raw = outputs(std::span(units).first(1), sums, greek, records, part_groups, o, 10);
  EXPECT_EQ(raw->front().value.greek->alpha1[0], 2.0);

  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const std::string tail = ", so its ratios (albedo, asymmetry parameter, lidar ratio) are undefined (does m = 1?)";
  const std::vector<std::tuple<DistributionSums, std::string>> refusals = {
      {synthetic(0, 0, 0.5), "the ensemble's <C_ext> is 0" + tail},
      {synthetic(-0.0, 1, 0.5), "the ensemble's <C_ext> is -0" + tail},
      {synthetic(4, nan, 0.5), "the ensemble's <C_sca> is NaN" + tail},
      {synthetic(4, 2, -inf), "the ensemble's <C_back> is -inf" + tail},
      {synthetic(4, 2, 0), "the ensemble's <C_back> is 0" + tail}};
  for (const auto& [bad, message] : refusals) {
    const std::vector<DistributionSums> two = {synthetic(4, 2, 0.5), bad};
    vantok::test::expect_error(outputs(units, two, std::nullopt, records, part_groups, o, 0),
                               vantok::Error::Kind::InvalidInput, message);
  }
}
