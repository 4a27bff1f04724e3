// The first pass: panel evaluation against an independent quadrature of the
// landed sphere solver, derivative terms against differences, the decision
// steps on synthetic sums, the stopping rules, errors, and thread-count
// independence.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_pass1.hpp"
#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/ensemble/engine.hpp"
#include "vantok/format.hpp"
#include "vantok/pool.hpp"

using namespace vantok::test::ensemble;
using namespace vantok::ensemble::engine;
using vantok::Complex;
using vantok::Error;
using vantok::ensemble::particle::Optics;
using vantok::test::same_bits;
namespace pass1_steps = vantok::ensemble::engine::detail;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

EnsembleOptions run_options(double rtol, std::size_t max_panels = 10000) {
  EnsembleOptions o = options();
  o.rtol = rtol;
  o.max_panels = max_panels;
  return o;
}

std::size_t quantities(const Part& part, const EnsembleOptions& o) {
  std::size_t requested = 0;
  for (const auto& slot : part.particle_params) requested += slot ? 1 : 0;
  return value_quantities(o.refine_order) + 5 * requested;
}

vantok::Result<Pass1Run> run_one(const Part& part, const EnsembleOptions& o, double wavelength) {
  const Part* members[1] = {&part};
  return pass1(members, Optics::at(part.component->particle, 0), wavelength, o, quantities(part, o));
}

// Σ over the panels of one Sums1 field of part j.
std::vector<double> total(const std::vector<Panel>& panels, std::vector<double> Sums1::*field, std::size_t j = 0) {
  std::vector<double> out;
  for (const Panel& p : panels) {
    const std::vector<double>& v = (*p.sums)[j].*field;
    out.resize(v.size(), 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) out[i] += v[i];
  }
  return out;
}

Particle sphere_at(Complex<double> m) { return {Sphere{{m}}}; }

}  // namespace

// n = 1 on [0.5, 2]: the number integral is 1.5 to the rounding of the rule.
TEST(Pass1, ConstantDensityIntegratesExactly) {
  const std::vector<Component> c = {{sphere(1), power_law(0.0, 0.5, 2.0), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
  const auto run = run_one(parts->front(), run_options(1e-6), 0.55);
  ASSERT_TRUE(run.has_value()) << run.error().to_string();
  EXPECT_EQ(run->panels.front().sums->front().kronrod.size(), 6u);
  EXPECT_NEAR(total(run->panels, &Sums1::kronrod)[0], 1.5, 1e-15);
  EXPECT_TRUE(run->converged[0]);
}

// Lognormal and gamma spheres over fixed ranges against SciPy's adaptive
// quadrature of the landed mie_efficiencies: within the pass's own error
// estimate (plus rounding), and within rtol.
TEST(Pass1, MatchesQuadratureOfLandedSolver) {
  for (const auto& r : vantok::test::read_table("ensemble_pass1.txt")) {
    const SizeDistribution d = r.tag == "lognormal" ? lognormal(r.num(0), r.num(1)) : gamma(r.num(0), r.num(1));
    const std::vector<Component> c = {{sphere_at({r.num(3), r.num(4)}), d, 1.0}};
    for (const double rtol : {1e-4, 1e-8}) {
      SCOPED_TRACE(r.tag + " rtol " + std::to_string(rtol));
      auto parts = vantok::ensemble::engine::parts(c, {}, rtol);
      Part part = parts->front();
      part.range = {r.num(5), r.num(6)};
      const auto run = run_one(part, run_options(rtol), r.num(2));
      ASSERT_TRUE(run.has_value()) << run.error().to_string();
      EXPECT_TRUE(run->converged[0]);
      // The range was wide enough: no end was extended.
      EXPECT_EQ(run->t_lo, std::log(r.num(5)));
      EXPECT_EQ(run->t_hi, std::log(r.num(6)));
      const auto k = total(run->panels, &Sums1::kronrod);
      const auto e = total(run->panels, &Sums1::error);
      for (std::size_t j = 0; j < 6; ++j) {
        const double want = r.num(7 + j);
        EXPECT_LE(std::fabs(k[j] - want), e[j] + 1e-14 * std::fabs(want)) << "quantity " << j;
        if (j > 0) {
          EXPECT_LE(std::fabs(k[j] - want), rtol * std::fabs(want)) << "quantity " << j;
        }
      }
    }
  }
}

namespace {

void expect_same_sums(const std::vector<Panel>& x, const std::vector<Panel>& y) {
  ASSERT_EQ(x.size(), y.size());
  for (std::size_t p = 0; p < x.size(); ++p) {
    EXPECT_EQ(x[p].a, y[p].a);
    EXPECT_EQ(x[p].b, y[p].b);
    const Sums1& u = x[p].sums->front();
    const Sums1& v = y[p].sums->front();
    EXPECT_EQ(u.max_terms, v.max_terms);
    for (auto field : {&Sums1::kronrod, &Sums1::error, &Sums1::abs_values, &Sums1::abs_derivatives, &Sums1::first,
                       &Sums1::last}) {
      ASSERT_EQ((u.*field).size(), (v.*field).size());
      for (std::size_t i = 0; i < (u.*field).size(); ++i) EXPECT_TRUE(same_bits((u.*field)[i], (v.*field)[i]));
    }
  }
}

}  // namespace

// The whole pass gives the same panels and bits with one thread and with
// eight, with distribution and particle derivatives.
TEST(Pass1, ThreadCountInvariant) {
  const std::vector<Component> c = {{sphere(1), lognormal(0.3, 1.6), 1.0}};
  const std::vector<EnsembleParam> params = {{std::nullopt, param::Distribution{"width"}, 0},
                                             {std::nullopt, param::MImag{}, 0}};
  const auto parts = vantok::ensemble::engine::parts(c, params, 1e-6);
  const EnsembleOptions o = run_options(1e-6);
  const auto one = vantok::pool::with_threads(1, [&] { return run_one(parts->front(), o, 0.55); });
  const auto many = vantok::pool::with_threads(8, [&] { return run_one(parts->front(), o, 0.55); });
  ASSERT_TRUE(one.has_value() && many.has_value());
  EXPECT_GT(one->panels.size(), 50u);
  expect_same_sums(one->panels, many->panels);
}

// Greek terms up to a refinement order: 6(L + 1) more quantities, the α1
// block starting with C_sca (α1_0 = Q_sca, times G), the same bits for any
// thread count.
TEST(Pass1Evaluate, GreekTerms) {
  const std::vector<Component> c = {{sphere(1), lognormal(0.3, 1.6), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
  const Part* members[1] = {&parts->front()};
  auto evaluate = [&](std::size_t threads) {
    std::vector<Panel> panels;
    for (int i = 0; i < 8; ++i) panels.push_back({std::log(0.1) + 0.25 * i, std::log(0.1) + 0.25 * (i + 1), std::nullopt});
    vantok::pool::with_threads(threads, [&] {
      for (const auto& r : pass1_evaluate(panels, members, 0.55, Optics::at(c[0].particle, 0), {std::nullopt, false},
                                          std::size_t{4}, value_quantities(4))) {
        EXPECT_TRUE(r.has_value());
      }
    });
    return panels;
  };
  const auto one = evaluate(1);
  const auto many = evaluate(8);
  expect_same_sums(one, many);
  const Sums1& s = one.front().sums->front();
  EXPECT_EQ(s.kronrod.size(), 6 + 6 * 5u);
  EXPECT_TRUE(same_bits(s.kronrod[6], s.kronrod[quantity::SCATTERING]));
}

namespace {

// Block-0 sums of one panel for a component, with the given requested parameters.
std::vector<double> panel_values(const std::vector<Component>& c, const std::vector<EnsembleParam>& params,
                                 double a, double b) {
  const auto parts = vantok::ensemble::engine::parts(c, params, 1e-6);
  const Part* members[1] = {&parts->front()};
  std::vector<Panel> panels = {{a, b, std::nullopt}};
  const EnsembleOptions o = run_options(1e-6);
  const auto results = pass1_evaluate(panels, members, 0.55, Optics::at(c[0].particle, 0),
                                      {std::nullopt, false}, std::nullopt, quantities(parts->front(), o));
  EXPECT_TRUE(results.at(0).has_value());
  return panels[0].sums->front().kronrod;
}

}  // namespace

// The five cross-section derivatives of each requested particle slot against
// central differences of the panel's values (truncation and rounding of the
// differences about 1e-9 relative).
TEST(Pass1Evaluate, ParticleDerivativesMatchDifferences) {
  const double a = std::log(0.2);
  const double b = std::log(0.45);
  // A sphere: Re m and Im m.
  {
    const Complex<double> m = {1.5, 0.02};
    const std::vector<EnsembleParam> params = {{std::nullopt, param::MReal{}, 0}, {std::nullopt, param::MImag{}, 0}};
    const auto got = panel_values({{sphere_at(m), lognormal(0.3, 1.5), 1.0}}, params, a, b);
    for (std::size_t s = 0; s < 2; ++s) {
      const double h = s == 0 ? 1e-5 : 1e-7;
      Complex<double> up = m, down = m;
      (s == 0 ? up.re : up.im) += h;
      (s == 0 ? down.re : down.im) -= h;
      const auto vu = panel_values({{sphere_at(up), lognormal(0.3, 1.5), 1.0}}, {}, a, b);
      const auto vd = panel_values({{sphere_at(down), lognormal(0.3, 1.5), 1.0}}, {}, a, b);
      for (std::size_t k = 0; k < 5; ++k) {
        const double want = (vu[1 + k] - vd[1 + k]) / (2 * h);
        EXPECT_NEAR(got[6 + 5 * s + k], want, 1e-7 * (std::fabs(want) + std::fabs(vu[1 + k])))
            << "slot " << s << " quantity " << k;
      }
    }
  }
  // A coated sphere: Im m of the core, Re m of the shell, the core's fraction.
  {
    auto coated = [](double core_im, double shell_re, double fraction) {
      return Particle{LayeredSphere{{fraction}, {{{1.6, core_im}}, {{shell_re, 0.001}}}}};
    };
    const std::vector<EnsembleParam> params = {{std::nullopt, param::LayerMImag{0}, 0},
                                               {std::nullopt, param::LayerMReal{1}, 0},
                                               {std::nullopt, param::RadiusFraction{0}, 0}};
    const auto got = panel_values({{coated(0.1, 1.4, 0.6), lognormal(0.3, 1.5), 1.0}}, params, a, b);
    const double steps[3] = {1e-6, 1e-5, 1e-5};
    for (std::size_t s = 0; s < 3; ++s) {
      const double h = steps[s];
      auto at = [&](double sign) {
        const double d = sign * h;
        return panel_values({{coated(0.1 + (s == 0 ? d : 0.0), 1.4 + (s == 1 ? d : 0.0), 0.6 + (s == 2 ? d : 0.0)),
                              lognormal(0.3, 1.5), 1.0}},
                            {}, a, b);
      };
      const auto vu = at(1.0);
      const auto vd = at(-1.0);
      for (std::size_t k = 0; k < 5; ++k) {
        const double want = (vu[1 + k] - vd[1 + k]) / (2 * h);
        EXPECT_NEAR(got[6 + 5 * s + k], want, 1e-7 * (std::fabs(want) + std::fabs(vu[1 + k])))
            << "slot " << s << " quantity " << k;
      }
    }
  }
}

TEST(Pass1Evaluate, ErrorsInPanelOrderAndEvaluatedOnce) {
  // Re m = 11 is outside the sphere's validated domain at every node.
  const std::vector<Component> c = {{sphere_at({11.0, 0.0}), power_law(0.0, 0.1, 0.4), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
  const Part* members[1] = {&parts->front()};
  const Optics optics = Optics::at(c[0].particle, 0);
  std::vector<Panel> panels = {{std::log(0.1), std::log(0.2), std::nullopt}, {std::log(0.2), std::log(0.4), std::nullopt}};
  const auto results = pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, false}, std::nullopt, 6);
  ASSERT_EQ(results.size(), 2u);
  for (std::size_t p = 0; p < 2; ++p) {
    ASSERT_FALSE(results[p].has_value());
    EXPECT_EQ(results[p].error().kind(), Error::Kind::OutsideValidatedDomain);
    const double r = std::exp(vantok::ensemble::detail::PanelRule(panels[p].a, panels[p].b).node(0).t);
    EXPECT_EQ(results[p].error().message().rfind("at wavelength 5.5e-1, radius " + vantok::fmt::exp(r) + ": x = ", 0),
              0u)
        << results[p].error().message();
    EXPECT_FALSE(panels[p].sums.has_value());
  }
  // With the domain waived both panels evaluate, and a second call leaves them.
  const auto ok = pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, true}, std::nullopt, 6);
  ASSERT_EQ(ok.size(), 2u);
  const double k0 = panels[0].sums->front().kronrod[1];
  EXPECT_TRUE(pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, true}, std::nullopt, 6).empty());
  EXPECT_EQ(panels[0].sums->front().kronrod[1], k0);
}

namespace {

// One evaluated synthetic panel with one part's sums of Q quantities and D
// distribution blocks: kronrod[i] = i + 1, abs_values[k] = 100 + k,
// abs_derivatives[i] = 200 + i, errors, first and last zero.
Panel synthetic(double a, double b, std::size_t q, std::size_t d) {
  Sums1 s;
  const std::size_t e = (1 + d) * q;
  for (std::size_t i = 0; i < e; ++i) s.kronrod.push_back(static_cast<double>(i + 1));
  s.error.assign(e, 0.0);
  s.first.assign(e, 0.0);
  s.last.assign(e, 0.0);
  for (std::size_t k = 0; k < q; ++k) s.abs_values.push_back(100.0 + static_cast<double>(k));
  for (std::size_t i = 0; i < d * q; ++i) s.abs_derivatives.push_back(200.0 + static_cast<double>(i));
  return {a, b, std::vector<Sums1>{s}};
}

}  // namespace

// One distribution and one particle parameter without a refinement order:
// Q = 11, E = 22.
TEST(PartStatus, ToleranceTable) {
  const std::vector<Panel> panels = {synthetic(0.0, 1.0, 11, 1)};
  const double rtol = 1e-3;
  const PartStatus s = pass1_steps::part_status(panels, 0, {11, 6}, rtol, true, 0.5);
  const std::vector<double> want = {INF,         2 * rtol,   3 * rtol,   3 * rtol,   5 * rtol,   2 * rtol,
                                    106 * rtol,  107 * rtol, 108 * rtol, 109 * rtol, 106 * rtol, INF,
                                    201 * rtol,  202 * rtol, 203 * rtol, 204 * rtol, 201 * rtol, INF,
                                    INF,         INF,        INF,        INF};
  ASSERT_EQ(s.tolerances.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_DOUBLE_EQ(s.tolerances[i], want[i]) << i;
  EXPECT_TRUE(s.interior_ok && s.low_ok && s.high_ok);
  // Without backscatter refinement: also 4, 9 and 15.
  const PartStatus quiet = pass1_steps::part_status(panels, 0, {11, 6}, rtol, false, 0.5);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const bool off = i == 4 || i == 9 || i == 15;
    EXPECT_EQ(quiet.tolerances[i], off ? INF : s.tolerances[i]) << i;
  }
}

TEST(PartStatus, InteriorAndEndTests) {
  std::vector<Panel> panels = {synthetic(0.0, 1.0, 6, 1), synthetic(1.0, 2.0, 6, 1)};
  auto status = [&] { return pass1_steps::part_status(panels, 0, {6, 6}, 1e-3, true, 0.5); };
  // An error within the tolerance passes; above it, or NaN, fails.
  (*panels[0].sums)[0].error[1] = 1e-3;
  (*panels[1].sums)[0].error[1] = 1e-3;
  EXPECT_TRUE(status().interior_ok);  // 2e-3 <= rtol |K_1| = 1e-3 (2 + 2)
  (*panels[1].sums)[0].error[1] = 0.01;
  EXPECT_FALSE(status().interior_ok);
  (*panels[1].sums)[0].error[1] = std::nan("");
  EXPECT_FALSE(status().interior_ok);
  (*panels[1].sums)[0].error[1] = 0.0;
  // End test: 0.1 tol >= 2·tail·|integrand| at the first node of the first
  // panel (low) and the last node of the last (high); the number density never fails.
  (*panels[0].sums)[0].first[0] = 1e300;
  (*panels[1].sums)[0].first[1] = 1.0;  // not an end node of the list
  EXPECT_TRUE(status().low_ok);
  (*panels[0].sums)[0].first[1] = 3e-4;  // 0.1·4e-3 >= 2·0.5·3e-4
  EXPECT_TRUE(status().low_ok);
  (*panels[0].sums)[0].first[1] = 5e-4;
  EXPECT_FALSE(status().low_ok);
  EXPECT_TRUE(status().high_ok);
  (*panels[1].sums)[0].last[7] = std::nan("");  // a derivative entry of block 1
  EXPECT_FALSE(status().high_ok);
}

TEST(ChooseBisections, OrderWidthAndRoom) {
  std::vector<Panel> panels;
  for (int i = 0; i < 4; ++i) panels.push_back(synthetic(i, i + 1.0, 6, 0));
  PartStatus status;
  status.tolerances.assign(6, 1.0);
  status.error_totals = {0.0, 2.0, 0.0, 0.0, 0.0, 0.0};
  const double errors[4] = {0.3, 0.5, 0.1, 0.5};  // scores 1.2, 2, 0.4, 2
  for (int i = 0; i < 4; ++i) (*panels[i].sums)[0].error[1] = errors[i];
  const std::vector<PartStatus> statuses = {status};
  EXPECT_EQ(pass1_steps::choose_bisections(panels, statuses, 5), (std::vector<std::size_t>{1}));
  EXPECT_EQ(pass1_steps::choose_bisections(panels, statuses, 100), (std::vector<std::size_t>{1, 3, 0}));
  EXPECT_TRUE(pass1_steps::choose_bisections(panels, statuses, 4).empty());
  // A panel of width 1e-10 is never a candidate.
  panels[1].b = panels[1].a + 5e-11;
  EXPECT_EQ(pass1_steps::choose_bisections(panels, statuses, 100), (std::vector<std::size_t>{3, 0}));
  // Entries within their tolerance do not score.
  std::vector<PartStatus> met = statuses;
  met[0].error_totals[1] = 1.0;
  EXPECT_TRUE(pass1_steps::choose_bisections(panels, met, 100).empty());

  pass1_steps::bisect(panels, std::vector<std::size_t>{3, 0});
  ASSERT_EQ(panels.size(), 6u);
  EXPECT_EQ(panels[0].b, 0.5);
  EXPECT_FALSE(panels[0].sums || panels[1].sums || panels[4].sums || panels[5].sums);
  EXPECT_TRUE(panels[2].sums && panels[3].sums);
  EXPECT_EQ(panels[5].a, 3.5);
}

// max_panels 1 with two tabulated segments: one panel each, no bisection,
// and the unmet tolerances report not converged.
TEST(Pass1, MaxPanelsOne) {
  const std::vector<Component> c = {{sphere(1), tabulated({0.1, 0.3, 1.0}, {1.0, 2.0, 1.0}), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-10);
  const auto run = run_one(parts->front(), run_options(1e-10, 1), 0.55);
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->panels.size(), 2u);
  EXPECT_EQ(run->panels[0].b, std::log(0.3));
  EXPECT_FALSE(run->converged[0]);
}

// An open part whose upper tail keeps growing (a lognormal of log width 20,
// in the Rayleigh regime where C ∝ r^6) is extended 100 times at its upper end,
// then stops unconverged; the lower end closes.
TEST(Pass1, EndExtensionsStop) {
  // Built by hand: the range cutoffs refuse a distribution this broad.
  const std::vector<Component> c = {{sphere(1), lognormal(1e-23, std::exp(20.0)), 1.0}};
  const Part part{.mode = std::nullopt,
                  .support = support::Smooth{1e-23},
                  .range = {1e-23 * std::exp(-1.0), 1e-23 * std::exp(0.5)},
                  .dist_params = {},
                  .particle_params = {std::nullopt, std::nullopt},
                  .averages = std::nullopt,
                  .distribution = &c[0].distribution,
                  .component = &c[0],
                  .component_index = 0,
                  .weight = 1.0,
                  .mode_weight = 1.0,
                  .mode_weight_sum = 1.0};
  EnsembleOptions o = run_options(1e-6);
  o.allow_unvalidated = true;
  const auto run = run_one(part, o, 1.0);
  ASSERT_TRUE(run.has_value()) << run.error().to_string();
  EXPECT_FALSE(run->converged[0]);
  EXPECT_NEAR(run->t_hi - std::log(part.range.second), 50.0, 1e-9);
  EXPECT_TRUE(run->statuses[0].low_ok);
  EXPECT_FALSE(run->statuses[0].high_ok);
}

TEST(Pass1, SizeParameterLimit) {
  const double wavelength = TWO_PI;  // x = r exactly
  auto with_top = [&](double top) {
    // Re m = 11 fails at the first node, after the limit check.
    const std::vector<Component> c = {{sphere_at({11.0, 0.0}), power_law(0.0, 1e5, top), 1.0}};
    const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
    return run_one(parts->front(), run_options(1e-6, 1), wavelength);
  };
  ASSERT_EQ(1e6 * TWO_PI / wavelength, 1e6);
  EXPECT_EQ(with_top(1e6).error().kind(), Error::Kind::OutsideValidatedDomain);
  const double above = std::nextafter(1e6, 2e6);
  const auto refused = with_top(above);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(refused.error().message(), "at wavelength " + vantok::fmt::exp(wavelength) + ", radius " +
                                           vantok::fmt::exp(above) + ": the integration range reaches size parameter " +
                                           vantok::fmt::exp(above * TWO_PI / wavelength) + ", above the accepted 1e6");
}

TEST(FirstPass, PointGroupsAndRecords) {
  const std::vector<Component> c = {{sphere(1), monodisperse(0.5), 1.0}, {sphere(1), lognormal(0.2, 1.5), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-5);
  const std::vector<std::vector<std::size_t>> groups = {{0}, {1}};
  const auto records = first_pass(*parts, groups, 0.55, 0, run_options(1e-5));
  ASSERT_TRUE(records.has_value()) << records.error().to_string();
  const Pass1& point = (*records)[0];
  EXPECT_TRUE(point.panels.empty());
  EXPECT_EQ(point.converged, std::vector<bool>{true});
  EXPECT_EQ(point.max_terms, vantok::mie::default_terms(0.5 * TWO_PI / 0.55));
  EXPECT_EQ(point.range, std::pair(0.5, 0.5));
  const Pass1& smooth = (*records)[1];
  ASSERT_FALSE(smooth.panels.empty());
  EXPECT_EQ(smooth.converged, std::vector<bool>{true});
  EXPECT_DOUBLE_EQ(smooth.range.first, std::exp(smooth.panels.front().first));
  EXPECT_DOUBLE_EQ(smooth.range.second, std::exp(smooth.panels.back().second));
  EXPECT_GT(smooth.max_terms, 0u);
  EXPECT_LE(smooth.max_terms, vantok::mie::default_terms(smooth.range.second * TWO_PI / 0.55));

  // A Point group's term-count error carries the place.
  const std::vector<Component> huge = {{sphere(1), monodisperse(1e6), 1.0}};
  const auto huge_parts = vantok::ensemble::engine::parts(huge, {}, 1e-5);
  const std::vector<std::vector<std::size_t>> one = {{0}};
  const auto refused = first_pass(*huge_parts, one, 0.5, 0, run_options(1e-5));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "at wavelength 5e-1, radius 1e6: the size parameter x must be in [1e-30, 1e6], got " +
                                           vantok::fmt::exp(1e6 * TWO_PI / 0.5));

  // finish skips unevaluated panels for the term count.
  std::vector<Panel> panels = {synthetic(0.0, 1.0, 6, 0), {1.0, 2.0, std::nullopt}};
  (*panels[0].sums)[0].max_terms = 7;
  const Pass1 packed = finish(panels, {false}, 0.0, 2.0);
  EXPECT_EQ(packed.max_terms, 7u);
  EXPECT_EQ(packed.panels.size(), 2u);
  EXPECT_EQ(finish({{1.0, 2.0, std::nullopt}}, {true}, 1.0, 2.0).max_terms, 0u);
}
