// Particle optics at one radius: the landed sphere and layered results through
// one reused Solver, one node at a time and the nodes of a panel side by side,
// bit for bit; the layer size parameters, the derivative limit, the failing
// node and the error context. The start layout of panels over ln r. The first
// pass: panel evaluation (an exact integral; its values against the reference
// quadrature, and their independence of the thread count, are checked through
// whole runs), derivative terms against differences, the choice of panels to
// bisect on synthetic sums, the stopping rules, and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_first_pass_steps.hpp"
#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_optics.hpp"
#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/constants.hpp"
#include "vantok/format.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/pool.hpp"

using namespace vantok::test::ensemble;
using namespace vantok::ensemble::engine;
using vantok::Complex;
using vantok::constants::TWO_PI;
using vantok::Error;
using vantok::ensemble::particle::Optics;
using vantok::ensemble::particle::Solver;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::test::expect_error;
using vantok::test::same_bits;
using Panels = std::vector<std::pair<double, double>>;
namespace pass1_steps = vantok::ensemble::engine::detail;

namespace {

const vantok::mie::SolveOptions DEFAULT{std::nullopt, false};

// Bitwise equality of two coefficient views and of the efficiency Jacobians
// of their derivative views.
void expect_same(const Coefficients& got, std::span<const CoefficientDerivatives> got_d, const Coefficients& want,
                 std::span<const CoefficientDerivatives> want_d) {
  ASSERT_EQ(got.a.size(), want.a.size());
  EXPECT_EQ(got.x, want.x);
  EXPECT_TRUE(same_bits(got.s_abs, want.s_abs));
  for (std::size_t n = 0; n < got.a.size(); ++n) {
    EXPECT_TRUE(same_bits(got.a[n].re, want.a[n].re)) << n << ": " << got.a[n].re << " vs " << want.a[n].re;
    EXPECT_TRUE(same_bits(got.a[n].im, want.a[n].im)) << n << ": " << got.a[n].im << " vs " << want.a[n].im;
    EXPECT_TRUE(same_bits(got.b[n].re, want.b[n].re)) << n << ": " << got.b[n].re << " vs " << want.b[n].re;
    EXPECT_TRUE(same_bits(got.b[n].im, want.b[n].im)) << n << ": " << got.b[n].im << " vs " << want.b[n].im;
  }
  ASSERT_EQ(got_d.size(), want_d.size());
  for (std::size_t l = 0; l < got_d.size(); ++l) {
    EXPECT_EQ(got_d[l].outer, want_d[l].outer);
    const auto j_got = got.efficiencies_jacobian(got_d[l]);
    const auto j_want = want.efficiencies_jacobian(want_d[l]);
    for (std::size_t i = 0; i < 15; ++i) EXPECT_TRUE(same_bits(j_got[i], j_want[i])) << l << " " << i;
  }
}



EnsembleOptions run_options(double rtol, std::size_t max_panels = 10000) { return options(rtol, max_panels); }

FirstPassLayout quantities(const Part& part, const EnsembleOptions& o) {
  std::size_t requested = 0;
  for (const auto& slot : part.particle_params) requested += slot ? 1 : 0;
  return FirstPassLayout(o.refine_order, requested);
}

vantok::Result<Pass1Run> run_one(const Part& part, const EnsembleOptions& o, double wavelength) {
  const Part* members[1] = {&part};
  return pass1(members, Optics::at(part.component->particle, 0), wavelength, o, quantities(part, o));
}

Particle sphere_at(Complex<double> m) { return {Sphere{{m}}}; }

}  // namespace

// The fixed pass order of the first pass's node vector, written out: with
// refinement order 1 and two particle parameters, 6 values, 2 x 6 Greek
// terms, then 5 derivatives per parameter (C_back before C_abs); C_abs and
// each dC_abs take their tolerance from the C_ext entry of their kind.
TEST(FirstPassLayout, PassOrder) {
  using V = FirstPassLayout;
  const FirstPassLayout layout(1, 2);
  EXPECT_EQ(layout.values(), 18u);
  EXPECT_EQ(layout.size(), 28u);
  EXPECT_EQ(FirstPassLayout(std::nullopt, 0).size(), 6u);
  const std::pair<std::size_t, std::size_t> entries[] = {
      {layout.greek(0, 0), 6},  {layout.greek(0, 1), 7},  {layout.greek(5, 1), 17},
      {layout.derivative(0, V::EXTINCTION), 18}, {layout.derivative(0, V::BACKSCATTER), 21},
      {layout.derivative(1, V::ABSORPTION), 27},  {layout.tolerance_entry(V::ABSORPTION), 1},
      {layout.tolerance_entry(V::BACKSCATTER), 4}, {layout.tolerance_entry(22), 18},
      {layout.tolerance_entry(27), 23},          {layout.tolerance_entry(26), 26},
      {layout.tolerance_entry(10), 10},          {layout.in_block(2, 3), 59}};
  for (const auto& [got, want] : entries) EXPECT_EQ(got, want);
  EXPECT_FALSE(layout.is_derivative(17));
  EXPECT_TRUE(layout.is_derivative(18));
  // The second pass: 8 scalars, then F11, F12, F33, F34 at each cosine.
  EXPECT_EQ(requested_phase(3).at(2, 1), 15u);
  EXPECT_EQ(base_quantities(3), 20u);
}

// n = 1 on [0.5, 2]: the number integral is 1.5 to the rounding of the rule.
TEST(Pass1, ConstantDensityIntegratesExactly) {
  const std::vector<Component> c = {{sphere(1), power_law(0.0, 0.5, 2.0), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
  const auto run = run_one(parts->front(), run_options(1e-6), 0.55);
  ASSERT_TRUE(run.has_value()) << run.error().to_string();
  EXPECT_EQ(run->panels.front().sums->front().kronrod.size(), 6u);
  double total = 0.0;
  for (const Panel& p : run->panels) total += p.sums->front().kronrod[0];
  EXPECT_NEAR(total, 1.5, 1e-15);
  EXPECT_TRUE(run->converged[0]);
}

// The five cross-section derivatives of each requested particle slot against
// central differences of one panel's values (truncation and rounding of the
// differences about 1e-9 relative): a sphere's Re m and Im m; a coated
// sphere's core Im m, shell Re m and core fraction.
TEST(Pass1Evaluate, ParticleDerivativesMatchDifferences) {
  const auto values = [](const Particle& particle, const std::vector<EnsembleParam>& params) {
    const std::vector<Component> c = {{particle, lognormal(0.3, 1.5), 1.0}};
    const auto parts = vantok::ensemble::engine::parts(c, params, 1e-6);
    const Part* members[1] = {&parts->front()};
    std::vector<Panel> panels = {{std::log(0.2), std::log(0.45), std::nullopt}};
    const auto results = pass1_evaluate(panels, members, 0.55, Optics::at(particle, 0), {std::nullopt, false},
                                        quantities(parts->front(), run_options(1e-6)));
    EXPECT_TRUE(results.at(0).has_value());
    return panels[0].sums->front().kronrod;
  };
  struct Case {
    Particle (*make)(const std::vector<double>&);
    std::vector<double> p, steps;
    std::vector<EnsembleParam> params;
  };
  const Case cases[] = {
      {[](const std::vector<double>& p) { return sphere_at({p[0], p[1]}); }, {1.5, 0.02}, {1e-5, 1e-7},
       {{std::nullopt, param::MReal{}, 0}, {std::nullopt, param::MImag{}, 0}}},
      {[](const std::vector<double>& p) { return Particle{LayeredSphere{{p[2]}, {{{1.6, p[0]}}, {{p[1], 0.001}}}}}; },
       {0.1, 1.4, 0.6}, {1e-6, 1e-5, 1e-5},
       {{std::nullopt, param::LayerMImag{0}, 0}, {std::nullopt, param::LayerMReal{1}, 0},
        {std::nullopt, param::RadiusFraction{0}, 0}}},
  };
  for (const Case& c : cases) {
    const auto got = values(c.make(c.p), c.params);
    for (std::size_t s = 0; s < c.p.size(); ++s) {
      std::vector<double> up = c.p, down = c.p;
      up[s] += c.steps[s];
      down[s] -= c.steps[s];
      const auto vu = values(c.make(up), {});
      const auto vd = values(c.make(down), {});
      for (std::size_t k = 0; k < 5; ++k) {
        const double want = (vu[1 + k] - vd[1 + k]) / (2 * c.steps[s]);
        EXPECT_NEAR(got[6 + 5 * s + k], want, 1e-7 * (std::fabs(want) + std::fabs(vu[1 + k])))
            << "slot " << s << " quantity " << k;
      }
    }
  }
}

// Every panel's error with the place of its first failing node (Re m = 11 is
// outside the sphere's validated domain at every node); with the domain
// waived both panels evaluate, and a second call leaves them.
TEST(Pass1Evaluate, ErrorsInPanelOrderAndEvaluatedOnce) {
  const std::vector<Component> c = {{sphere_at({11.0, 0.0}), power_law(0.0, 0.1, 0.4), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-6);
  const Part* members[1] = {&parts->front()};
  const Optics optics = Optics::at(c[0].particle, 0);
  std::vector<Panel> panels = {{std::log(0.1), std::log(0.2), std::nullopt}, {std::log(0.2), std::log(0.4), std::nullopt}};
  const auto results = pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, false}, FirstPassLayout(std::nullopt, 0));
  ASSERT_EQ(results.size(), 2u);
  for (std::size_t p = 0; p < 2; ++p) {
    const double r = std::exp(vantok::ensemble::detail::PanelRule(panels[p].a, panels[p].b).node(0).t);
    EXPECT_EQ(results[p].error().kind(), Error::Kind::OutsideValidatedDomain);
    EXPECT_EQ(results[p].error().message().rfind("at wavelength 5.5e-1, radius " + vantok::fmt::exp(r) + ": x = ", 0), 0u);
    EXPECT_FALSE(panels[p].sums.has_value());
  }
  EXPECT_EQ(pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, true}, FirstPassLayout(std::nullopt, 0)).size(), 2u);
  const double k0 = panels[0].sums->front().kronrod[1];
  EXPECT_TRUE(pass1_evaluate(panels, members, 0.55, optics, {std::nullopt, true}, FirstPassLayout(std::nullopt, 0)).empty());
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
  for (const std::size_t i : {0, 1, 4, 5}) EXPECT_FALSE(panels[i].sums.has_value()) << i;
  for (const std::size_t i : {2, 3}) EXPECT_TRUE(panels[i].sums.has_value()) << i;
  EXPECT_EQ(panels[5].a, 3.5);
}

// max_panels 1 with two tabulated segments: one panel each, no bisection,
// and the unmet tolerances report not converged. An open part whose upper
// tail keeps growing (a lognormal of log width 20, in the Rayleigh regime
// where C ∝ r^6; built by hand, as the range cutoffs refuse it) is extended
// 100 times at its upper end, then stops unconverged; the lower end closes.
TEST(Pass1, StoppingRules) {
  const std::vector<Component> c = {{sphere(1), tabulated({0.1, 0.3, 1.0}, {1.0, 2.0, 1.0}), 1.0},
                                    {sphere(1), lognormal(1e-23, std::exp(20.0)), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(std::span(c).first(1), {}, 1e-10);
  const auto run = run_one(parts->front(), run_options(1e-10, 1), 0.55);
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->panels.size(), 2u);
  EXPECT_EQ(run->panels[0].b, std::log(0.3));
  EXPECT_FALSE(run->converged[0]);

  const Part part{.mode = std::nullopt, .support = support::Smooth{1e-23},
                  .range = {1e-23 * std::exp(-1.0), 1e-23 * std::exp(0.5)}, .dist_params = {},
                  .particle_params = {std::nullopt, std::nullopt}, .averages = std::nullopt,
                  .distribution = &c[1].distribution, .component = &c[1], .component_index = 1, .weight = 1.0,
                  .mode_weight = 1.0, .mode_weight_sum = 1.0};
  EnsembleOptions o = run_options(1e-6);
  o.allow_unvalidated = true;
  const auto open = run_one(part, o, 1.0);
  ASSERT_TRUE(open.has_value()) << open.error().to_string();
  EXPECT_FALSE(open->converged[0]);
  EXPECT_NEAR(open->t_hi - std::log(part.range.second), 50.0, 1e-9);
  EXPECT_TRUE(open->statuses[0].low_ok);
  EXPECT_FALSE(open->statuses[0].high_ok);
}

// A range reaching above x = 1e6 is refused before any node is solved (Re m =
// 11 fails at the first node, after the limit check), with its place.
TEST(Pass1, SizeParameterLimit) {
  const double wavelength = TWO_PI;  // x = r exactly
  auto with_top = [&](double top) {
    const std::vector<Component> c = {{sphere_at({11.0, 0.0}), power_law(0.0, 1e5, top), 1.0}};
    return run_one(vantok::ensemble::engine::parts(c, {}, 1e-6)->front(), run_options(1e-6, 1), wavelength);
  };
  EXPECT_EQ(with_top(1e6).error().kind(), Error::Kind::OutsideValidatedDomain);
  const double above = std::nextafter(1e6, 2e6);
  expect_error(with_top(above), Error::Kind::InvalidInput,
               "at wavelength " + vantok::fmt::exp(wavelength) + ", radius " + vantok::fmt::exp(above) +
                   ": the integration range reaches size parameter " + vantok::fmt::exp(above) +
                   ", above the accepted 1e6");
}

// A Point group's record holds its term count and no panels; a smooth one
// its panels and the range they span. A Point group's term-count error
// carries the place; finish skips unevaluated panels for the term count.
TEST(FirstPass, PointGroupsAndRecords) {
  const std::vector<Component> c = {{sphere(1), monodisperse(0.5), 1.0}, {sphere(1), lognormal(0.2, 1.5), 1.0},
                                    {sphere(1), monodisperse(1e6), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-5);
  const std::vector<std::vector<std::size_t>> groups = {{0}, {1}}, huge = {{2}};
  const auto records = first_pass(*parts, groups, 0.55, 0, run_options(1e-5));
  ASSERT_TRUE(records.has_value()) << records.error().to_string();
  const Pass1& point = (*records)[0];
  EXPECT_EQ(std::tuple(point.panels.empty(), point.converged, point.max_terms, point.range),
            std::tuple(true, std::vector<bool>{true}, vantok::mie::default_terms(0.5 * TWO_PI / 0.55), std::pair(0.5, 0.5)));
  const Pass1& smooth = (*records)[1];
  ASSERT_FALSE(smooth.panels.empty());
  EXPECT_EQ(smooth.converged, std::vector<bool>{true});
  EXPECT_DOUBLE_EQ(smooth.range.first, std::exp(smooth.panels.front().first));
  EXPECT_DOUBLE_EQ(smooth.range.second, std::exp(smooth.panels.back().second));
  EXPECT_GT(smooth.max_terms, 0u);
  EXPECT_LE(smooth.max_terms, vantok::mie::default_terms(smooth.range.second * TWO_PI / 0.55));
  expect_error(first_pass(*parts, huge, 0.5, 0, run_options(1e-5)), Error::Kind::InvalidInput,
               "at wavelength 5e-1, radius 1e6: the size parameter x must be in [1e-30, 1e6], got " +
                   vantok::fmt::exp(1e6 * TWO_PI / 0.5));
  std::vector<Panel> panels = {synthetic(0.0, 1.0, 6, 0), {1.0, 2.0, std::nullopt}};
  (*panels[0].sums)[0].max_terms = 7;
  const Pass1 packed = finish(panels, {false}, 0.0, 2.0);
  EXPECT_EQ(std::pair(packed.max_terms, packed.panels.size()), std::pair(std::size_t{7}, std::size_t{2}));
  EXPECT_EQ(finish({{1.0, 2.0, std::nullopt}}, {true}, 1.0, 2.0).max_terms, 0u);
}

TEST(Optics, LayersTermCountsAndContext) {
  const Particle shell = layered({0.5}, 2), homogeneous = sphere(1);  // Optics refers to its particle
  const Optics optics = Optics::at(shell, 1);
  std::vector<double> xs = {9.0};
  std::vector<Complex<double>> ms;
  optics.layers(xs, ms, 10.0);
  EXPECT_EQ(xs, (std::vector<double>{5.0, 10.0}));
  EXPECT_EQ(ms.size(), 2u);
  EXPECT_EQ(optics.n_terms(DEFAULT, 10.0), vantok::mie::default_terms(10.0));
  const Optics sphere_optics = Optics::at(homogeneous, 0);
  EXPECT_EQ(sphere_optics.n_terms(DEFAULT, 100.0), 131u);
  EXPECT_THROW(sphere_optics.layers(xs, ms, 1.0), vantok::InternalFailure);
  expect_error(sphere_optics.n_terms(DEFAULT, 0.0), Error::Kind::InvalidInput,
               "the size parameter x must be in [1e-30, 1e6], got 0e0");
  // The context prefixes messages only.
  using vantok::ensemble::engine::context;
  EXPECT_EQ(context(Error::invalid_input("bad"), 0.55, 0.125),
            Error::invalid_input("at wavelength 5.5e-1, radius 1.25e-1: bad"));
  EXPECT_EQ(context(Error::outside_validated_domain("far"), 1000.0, 2.0).to_string(),
            "outside validated domain: at wavelength 1e3, radius 2e0: far");
  EXPECT_EQ(context(Error::not_converged(1e-3, 1e-6), 1.0, 1.0), Error::not_converged(1e-3, 1e-6));
}

// One Solver alternating between a sphere and a layered particle, with and
// without derivatives, one node at a time, and the 15 nodes of a panel solved
// in lanes: the landed solvers' coefficients, efficiencies and every layer's
// derivatives. A node that fails its checks is reported with its index, the
// nodes before it solved; repeated solves of no more terms reuse the buffers.
TEST(Solver, LandedResultsOneAtATimeAndSideBySide) {
  const Particle s = sphere(1), shell = layered({0.3, 0.7}, 1);
  std::vector<double> xs;
  for (std::size_t i = 0; i < 15; ++i) xs.push_back(20.0 + 0.7 * static_cast<double>(i * i));
  Solver solver;
  for (const bool derivatives : {false, true}) {
    for (const Particle* p : {&s, &shell}) {
      const Optics optics = Optics::at(*p, 0);
      Solver nodes;
      ASSERT_FALSE(nodes.solve_nodes(optics, DEFAULT, derivatives, xs).has_value());
      for (std::size_t i = 0; i < xs.size(); ++i) {
        vantok::mie::Mie mie;
        vantok::layered::Layered lay;
        std::vector<double> lx;
        std::vector<Complex<double>> lm;
        std::vector<CoefficientDerivatives> want_d;
        if (p == &s) {
          ASSERT_TRUE(mie.solve(DEFAULT, derivatives, xs[i], {1.5, 0.01}).has_value());
          if (derivatives) want_d.push_back(mie.derivatives());
        } else {
          optics.layers(lx, lm, xs[i]);
          ASSERT_TRUE(lay.solve(DEFAULT, derivatives, lx, lm).has_value());
          for (std::size_t l = 0; derivatives && l < 3; ++l) want_d.push_back(lay.layer_derivatives(l));
        }
        const Coefficients want = p == &s ? mie.coefficients() : lay.coefficients();
        const auto one = solver.solve(optics, DEFAULT, derivatives, xs[i]);
        ASSERT_TRUE(one.has_value());
        expect_same(one->coefficients, one->derivatives, want, want_d);
        const auto node = nodes.node(i);
        expect_same(node.solution.coefficients, node.solution.derivatives, want, want_d);
        const auto q = want.efficiencies();
        for (std::size_t k = 0; k < 5; ++k) EXPECT_TRUE(same_bits(node.efficiencies[k], q[k])) << i << " " << k;
      }
      // Node 9 beyond the accepted size parameters: nodes 0 to 8 are solved.
      std::vector<double> bad = xs;
      bad[9] = 2e6;
      bad[12] = -1.0;
      const auto failure = nodes.solve_nodes(optics, DEFAULT, false, bad);
      ASSERT_TRUE(failure.has_value());
      EXPECT_EQ(failure->node, 9u);
      EXPECT_EQ(failure->error, solver.solve(optics, DEFAULT, false, bad[9]).error());
      const auto eighth = solver.solve(optics, DEFAULT, false, bad[8]);
      expect_same(nodes.node(8).solution.coefficients, {}, eighth->coefficients, {});
    }
  }
  const Optics optics = Optics::at(s, 0);
  const auto* first = solver.solve(optics, DEFAULT, false, 7.0)->coefficients.a.data();
  EXPECT_EQ(solver.solve(optics, DEFAULT, false, 3.0)->coefficients.a.data(), first);
}

// A layered particle of one layer is the homogeneous sphere of its core, with
// one outer derivative view and no derivative limit; more layers are validated
// for derivatives up to x_L = 1e3, after the input checks.
TEST(Solver, OneLayerAndTheDerivativeLimit) {
  const Particle one = layered({}, 1);
  const SolveOptions unvalidated{std::nullopt, true};
  vantok::mie::Mie mie;
  ASSERT_TRUE(mie.solve(unvalidated, true, 2000.0, {1.4, 0.0}).has_value());
  Solver solver;
  const auto got = solver.solve(Optics::at(one, 0), unvalidated, true, 2000.0);
  ASSERT_TRUE(got.has_value());
  const CoefficientDerivatives d[1] = {mie.derivatives()};
  expect_same(got->coefficients, got->derivatives, mie.coefficients(), d);
  EXPECT_TRUE(got->derivatives[0].outer);
  EXPECT_TRUE(solver.solve(Optics::at(one, 0), DEFAULT, true, 1500.0).has_value());

  const Particle shell = layered({0.5}, 1);
  const Optics optics = Optics::at(shell, 0);
  EXPECT_TRUE(solver.solve(optics, DEFAULT, true, 1000.0).has_value());
  const double above = std::nextafter(1000.0, 2000.0);
  expect_error(solver.solve(optics, DEFAULT, true, above), Error::Kind::OutsideValidatedDomain,
               "the derivatives are validated up to x_L = 1e3, got " + vantok::fmt::exp(above));
  EXPECT_TRUE(solver.solve(optics, DEFAULT, false, above).has_value());
  EXPECT_TRUE(solver.solve(optics, unvalidated, true, above).has_value());
  expect_error(solver.solve(optics, DEFAULT, true, 2e6), Error::Kind::InvalidInput,
               "the size parameters must be in [1e-30, 1e6], got 1e6 to 2e6");
}

// λ = 100 keeps the size-parameter rule out of play: widths 0.5 give m = 3,
// breakpoints outside (t_lo, t_hi) or at its ends are ignored, one inside
// splits; beyond max_panels each segment gets its share.
TEST(InitialPanels, WidthRuleBreakpointsAndFallback) {
  const auto half = [](double) { return 0.5; };
  const auto narrow = [](double) { return 0.1; };
  const Panels three{{0.0, 0.5}, {0.5, 1.0}, {1.0, 1.5}};
  EXPECT_EQ(initial_panels({}, half, 100, 0.0, 1.5, 100.0), three);
  EXPECT_EQ(initial_panels(std::vector{std::exp(-1.0), 1.0, std::exp(1.5), 10.0}, half, 100, 0.0, 1.5, 100.0), three);
  const Panels split = initial_panels(std::vector{std::exp(0.2)}, half, 100, 0.0, 1.5, 100.0);
  ASSERT_EQ(split.size(), 4u);
  EXPECT_EQ(split[0], std::pair(0.0, std::log(std::exp(0.2))));
  EXPECT_EQ(split.back().second, 1.5);
  EXPECT_TRUE(initial_panels({}, half, 100, 0.7, 0.7, 1.0).empty());
  EXPECT_EQ(initial_panels({}, narrow, 2, 0.0, 1.0, 100.0), (Panels{{0.0, 0.5}, {0.5, 1.0}}));
  EXPECT_EQ(initial_panels({}, narrow, 1, 0.0, 1.0, 100.0), (Panels{{0.0, 1.0}}));
  // Three segments of shares 0.2, 0.2 and 1.6 of 2: one panel each.
  const Panels p = initial_panels(std::vector{std::exp(0.1), std::exp(0.2)}, narrow, 2, 0.0, 1.0, 100.0);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[2].first, std::log(std::exp(0.2)));
  EXPECT_DOUBLE_EQ(p[2].second, 1.0);
}
