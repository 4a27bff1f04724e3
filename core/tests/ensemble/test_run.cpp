// The second pass's pieces: node quantities (the entry order, the band
// lookup; the fast products are checked against the sphere's phase matrix in
// test_projection and through whole runs), the budget of the first pass's kept
// node solutions, the part averages' error formula, and the outputs step on
// synthetic sums. Ensemble runs end to end: a monodisperse sphere against the
// landed sphere solver, lognormal and gamma spheres against an independent
// SciPy quadrature of the landed sphere functions, the Rayleigh limit,
// the mean powers of broad distributions against their closed forms,
// linearity in the mixture weights, derivatives against central differences,
// batches against separate runs, and scheduling independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "ensemble/detail_outputs.hpp"
#include "ensemble/detail_rounds.hpp"
#include "ensemble/detail_second_pass.hpp"
#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/process_pool.hpp"
#include "support/table.hpp"
#include "vantok/constants.hpp"
#include "vantok/ensemble/run.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/dual.hpp"

using namespace vantok::test::ensemble;
using namespace vantok::ensemble::engine;
using vantok::Complex;
using vantok::constants::TWO_PI;
using vantok::ensemble::lin::Lin;
using vantok::ensemble::particle::Optics;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::test::rel_err;
using vantok::test::same_bits;
namespace engine = vantok::ensemble::engine;
using D = vantok::scalar::dual::Dual<double, 4>;
using Numbers = std::vector<double>;

namespace {

constexpr double PI = std::numbers::pi;
const vantok::mie::SolveOptions SOLVE{std::nullopt, false};

EnsembleOptions run_options(double rtol, std::vector<double> mu = {}, GreekSelection greek = GreekSelection::off(),
                            std::vector<EnsembleParam> params = {}) {
  EnsembleOptions o = options(rtol, 100000);
  o.mu = std::move(mu);
  o.greek = greek;
  o.params = std::move(params);
  return o;
}

EnsembleParam param_of(ParamKind kind, std::optional<std::size_t> mode = std::nullopt) { return {mode, kind, 0}; }
EnsembleParam dist(std::string_view name) { return param_of(param::Distribution{name}); }
EnsembleParam weight(std::size_t c, std::optional<std::size_t> mode = std::nullopt) {
  return {mode, param::Weight{}, c};
}

EnsembleResult one(const std::vector<Component>& c, double wavelength, const EnsembleOptions& o) {
  auto r = engine::run(c, std::vector<double>{wavelength}, o);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  return r ? std::move(r->front()) : EnsembleResult{};
}

// Every number of an Outputs in a fixed order: values, phase, Greek.
Numbers flat(const Outputs& o) {
  Numbers out(o.values.begin(), o.values.end());
  for (const auto& e : o.phase.value_or(std::array<Numbers, 4>{})) out.insert(out.end(), e.begin(), e.end());
  if (o.greek) {
    for (const Numbers* s : o.greek->vectors()) out.insert(out.end(), s->begin(), s->end());
  }
  return out;
}

// Every number of a result: values, errors, then each derivative and its errors.
Numbers flat(const EnsembleResult& r) {
  std::vector<const Outputs*> parts{&r.value, &r.error};
  for (std::size_t k = 0; k < r.d.size(); ++k) parts.insert(parts.end(), {&r.d[k], &r.d_errors[k]});
  Numbers out;
  for (const Outputs* o : parts) {
    const Numbers v = flat(*o);
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

// Element by element within tol relative to each reference (or, with
// `series`, to the largest reference magnitude).
void expect_close(const Numbers& got, const Numbers& want, double tol, const std::string& what, bool series = false) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double scale = 0.0;
  for (double w : want) scale = std::fmax(scale, std::fabs(w));
  for (std::size_t i = 0; i < got.size(); ++i) {
    const double err = series ? std::fabs(got[i] - want[i]) / scale : rel_err(got[i], want[i]);
    EXPECT_LE(err, tol) << what << " at " << i << ": got " << got[i] << ", want " << want[i];
  }
}

Numbers scaled(Numbers a, double f) {
  for (double& v : a) v *= f;
  return a;
}

}  // namespace

// One radius: the outputs are the sphere's (cross sections G Q, the ratios,
// moments of r) up to rounding with zero errors, their derivatives with
// respect to r, Re m and Im m carried by dual numbers; the phase matrix and
// the Greek coefficients (all orders, 2N) are the sphere's normalised ones
// with their derivatives.
TEST(EnsembleRun, MonodisperseReproducesSphere) {
  const double r = 0.3;
  const Numbers wavelengths = {0.55, 1.1}, mu = {-1.0, -0.3, 0.0, 0.7, 1.0};
  const std::vector<Complex<double>> m = {{1.5, 0.01}, {1.33, 0.002}};
  const std::vector<Component> c = {{Particle{Sphere{m}}, monodisperse(r), 1.0}};
  const auto results = engine::run(c, wavelengths, run_options(1e-6, mu, GreekSelection::all(),
                                                               {dist("radius"), param_of(param::MReal{}),
                                                                param_of(param::MImag{})}));
  ASSERT_TRUE(results.has_value()) << results.error().to_string();
  for (std::size_t w = 0; w < wavelengths.size(); ++w) {
    const EnsembleResult& res = (*results)[w];
    EXPECT_EQ(std::tuple(res.panels, res.converged, res.ranges), std::tuple(0u, true, std::vector{std::pair(r, r)}));
    const double k = TWO_PI / wavelengths[w];
    vantok::mie::Mie mie;
    ASSERT_TRUE(mie.solve(SOLVE, true, engine::size_parameter(r, wavelengths[w]), m[w]));
    const Coefficients coeffs = mie.coefficients();
    const auto q = coeffs.efficiencies();
    const auto jac = coeffs.efficiencies_jacobian(mie.derivatives());
    std::array<D, 5> e;
    for (std::size_t i = 0; i < 5; ++i) e[i] = {{k * jac[i], jac[5 + i], jac[10 + i], 0.0}, q[i]};
    const D x = D::variable(r, 0), g = x * x * PI;
    const std::array<D, 11> want = {g * e[0],    g * e[1], g * e[2],      g * e[3],         e[1] / e[0],
                                    e[4],        e[0] / e[3] * (4 * PI), D::constant(0.0), x,
                                    x * x * PI, x * x * x * (4 * PI / 3)};
    for (std::size_t i = 0; i < 11; ++i) {
      EXPECT_LE(rel_err(res.value.values[i], want[i].value), 1e-13) << i;
      EXPECT_EQ(res.error.values[i], 0.0) << i;
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_LE(rel_err(res.d[j].values[i], want[i].partials[j]), 1e-11) << i << " " << j;
        EXPECT_EQ(res.d_errors[j].values[i], 0.0) << i << " " << j;
      }
    }
    // [F, dF/dx, dF/dRe m, dF/dIm m], each F11, F12, F33, F34; d/dr = k d/dx.
    std::vector<Numbers> f(16, Numbers(mu.size()));
    auto buffers = [&](std::size_t b) { return vantok::mie::phase::PhaseMatrixBuffers{f[b], f[b + 1], f[b + 2], f[b + 3]}; };
    ASSERT_TRUE(coeffs.phase_matrix_with_derivatives(mu, mie.derivatives(), true, buffers(0),
                                                     {buffers(4), buffers(8), buffers(12)}));
    const auto greek = coeffs.greek_with_derivatives(2 * coeffs.a.size(), mie.derivatives(), true);
    ASSERT_TRUE(greek.has_value());
    const double factor[4] = {1.0, k, 1.0, 1.0};
    const vantok::mie::greek::GreekCoefficients<double>* series[4] = {&greek->values, &greek->x, &greek->re_m,
                                                                      &greek->im_m};
    for (std::size_t b = 0; b < 4; ++b) {
      const Outputs& o = b == 0 ? res.value : res.d[b - 1];
      const double tol = b == 0 ? 1e-13 : 1e-11;
      for (std::size_t t = 0; t < 4; ++t) expect_close((*o.phase)[t], scaled(f[4 * b + t], factor[b]), tol, "phase");
      for (std::size_t s = 0; s < 6; ++s) {
        expect_close(*o.greek->vectors()[s], scaled(*series[b]->vectors()[s], factor[b]), tol, "greek", true);
      }
    }
  }
}

// Lognormal and gamma spheres against SciPy's quadrature of the landed sphere
// functions: every output within its reported error and the outputs within
// rtol.
TEST(EnsembleRun, DistributionsMatchQuadrature) {
  for (const auto& rec : vantok::test::read_table("ensemble_run.txt")) {
    const SizeDistribution d = rec.tag == "lognormal" ? lognormal(rec.num(0), rec.num(1)) : gamma(rec.num(0), rec.num(1));
    const std::vector<Component> c = {{Particle{Sphere{{{rec.num(3), rec.num(4)}}}}, d, 1.0}};
    Numbers want;
    for (std::size_t i = 5; i < rec.fields.size(); ++i) want.push_back(rec.num(i));
    for (const double rtol : {1e-4, 1e-8}) {
      SCOPED_TRACE(rec.tag + " rtol " + std::to_string(rtol));
      const EnsembleResult res = one(c, rec.num(2), run_options(rtol, {-1.0, -0.5, 0.0, 0.5, 1.0}, GreekSelection::up_to(8)));
      EXPECT_TRUE(res.converged);
      const Numbers got = flat(res.value);
      const Numbers err = flat(res.error);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        const double actual = std::fabs(got[i] - want[i]);
        EXPECT_LE(actual, err[i] + 1e-13 * std::fabs(want[i])) << "entry " << i << ": " << got[i] << " vs " << want[i];
        EXPECT_LE(actual, i < 11 ? rtol * std::fabs(want[i]) : INFINITY) << "output " << i;
      }
    }
  }
}

// x ~ 1e-3: the Rayleigh cross sections, phase matrix and Greek coefficients
// (relative accuracy O(x²)), and the closed-form lognormal moments.
TEST(EnsembleRun, RayleighLimit) {
  const double rm = 1e-4, s = std::log(1.5), b1 = -std::sqrt(6.0) / 2;
  const Complex<double> m{1.5, 0.1}, m2 = m * m;
  const Numbers wavelengths = {0.6, 1.2}, mu = {-1.0, -0.4, 0.0, 0.6, 1.0};
  const std::vector<Component> c = {{Particle{Sphere{{m, m}}}, lognormal(rm, 1.5), 1.0}};
  const auto results = engine::run(c, wavelengths, run_options(1e-8, mu, GreekSelection::up_to(4)));
  ASSERT_TRUE(results.has_value()) << results.error().to_string();
  // K = (m² - 1)/(m² + 2); <r^3> and <r^6> of the lognormal.
  const Complex<double> big_k = vantok::complex::minus(m2, 1.0) * vantok::complex::inv(vantok::complex::plus(m2, 2.0));
  const double r3 = std::pow(rm, 3) * std::exp(4.5 * s * s), r6 = std::pow(rm, 6) * std::exp(18 * s * s);
  // The phase matrix F11, F12, F33, F34 at mu, then the Greek coefficients.
  Numbers shape;
  for (std::size_t t = 0; t < 4; ++t) {
    for (const double u : mu) shape.push_back(std::array{0.75 * (1 + u * u), -0.75 * (1 - u * u), 1.5 * u, 0.0}[t]);
  }
  shape.insert(shape.end(), {1, 0, 0.5, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 0, b1, 0, 0, 0, 0, 0, 0, 0});
  for (std::size_t w = 0; w < wavelengths.size(); ++w) {
    const Outputs& v = (*results)[w].value;
    const double k = TWO_PI / wavelengths[w];
    expect_close({v.values[output::SCATTERING], v.values[output::ABSORPTION]},
                 {8 * PI / 3 * std::pow(k, 4) * vantok::complex::norm_sqr(big_k) * r6, 4 * PI * k * big_k.im * r3}, 1e-4,
                 "C_sca, C_abs");
    EXPECT_LT(std::fabs(v.values[output::ASYMMETRY]), 1e-4);
    expect_close({v.values[8], v.values[9], v.values[10]},
                 {rm * std::exp(2.5 * s * s), PI * rm * rm * std::exp(2 * s * s), 4 * PI / 3 * r3}, 1e-7, "moments");
    const Numbers got = flat(v);
    for (std::size_t i = 0; i < shape.size(); ++i) EXPECT_NEAR(got[11 + i], shape[i], 1e-4) << i;
  }
}

namespace {

// <r²> and <r³> over 0 < r < ∞ in closed form: lognormal (r_m, w)
// r_m^k exp(k² ln²w / 2); gamma (a, v) θ^k Γ(α + 1 + k)/Γ(α + 1) with
// α = 1/v - 3, θ = a v; modified gamma (α, b, γ) b^(-k/γ) Γ((α + 1 + k)/γ)/Γ((α + 1)/γ).
std::array<double, 2> closed_mean_powers(const SizeDistribution& d) {
  std::array<double, 2> out{};
  for (const int k : {2, 3}) {
    double& v = out[static_cast<std::size_t>(k - 2)];
    if (const auto* l = d.get_if<Lognormal>()) {
      const double s = std::log(l->width);
      v = std::pow(l->median_radius, k) * std::exp(k * k * s * s / 2);
    } else if (const auto* g = d.get_if<Gamma>()) {
      const double a = 1 / g->effective_variance - 2;
      v = std::pow(g->effective_radius * g->effective_variance, k) * std::exp(std::lgamma(a + k) - std::lgamma(a));
    } else {
      const auto& m = std::get<ModifiedGamma>(d.kind);
      v = std::pow(m.b, -k / m.gamma) * std::exp(std::lgamma((m.alpha + 1 + k) / m.gamma) - std::lgamma((m.alpha + 1) / m.gamma));
    }
  }
  return out;
}

// Outputs 8, 9, 10 of a distribution with the given parameters.
Numbers closed_outputs(const std::function<SizeDistribution(const Numbers&)>& make, const Numbers& p) {
  const auto [r2, r3] = closed_mean_powers(make(p));
  return {r3 / r2, PI * r2, 4 * PI / 3 * r3};
}

}  // namespace

// The effective radius, mean geometric cross section and mean volume against
// the closed forms, also of broad distributions whose r³ tail reaches far
// beyond the range the engine integrates (cut for the weight r²): within rtol
// and their error estimates, alone and in a batch; their derivatives with
// respect to every distribution parameter against central differences of the
// closed forms.
TEST(EnsembleRun, MeanPowersMeetTheClosedForms) {
  using Make = std::function<SizeDistribution(const Numbers&)>;
  const Make logn = [](const Numbers& p) { return lognormal(p[0], p[1]); };
  const Make gam = [](const Numbers& p) { return gamma(p[0], p[1]); };
  const Make mod = [](const Numbers& p) { return modified_gamma(p[0], p[1], p[2]); };
  const struct {
    Make make;
    Numbers p;
    double rtol;
  } cases[] = {{logn, {1e-3, 4.0}, 1e-6}, {logn, {3e-8, 10.0}, 1e-3}, {mod, {0.5, 30.0, 0.15}, 1e-6},
               {mod, {0.0, 20.0, 0.15}, 1e-3}, {gam, {0.3, 0.45}, 1e-6}};
  const std::size_t rows[3] = {output::EFFECTIVE_RADIUS, output::GEOMETRIC_CROSS_SECTION, output::VOLUME};
  auto expect_meets = [&](const EnsembleResult& res, const Numbers& want, double rtol, const std::string& what) {
    for (std::size_t i = 0; i < 3; ++i) {
      const double got = res.value.values[rows[i]], err = res.error.values[rows[i]];
      EXPECT_LE(std::fabs(got - want[i]), std::fmin(rtol * std::fabs(want[i]), err + 1e-14 * std::fabs(want[i])))
          << what << " output " << rows[i];
    }
  };
  // The broad lognormal's lower tail reaches below the validated x.
  auto settings = [](double rtol, std::vector<EnsembleParam> params) {
    EnsembleOptions o = run_options(rtol, {}, GreekSelection::off(), std::move(params));
    o.allow_unvalidated = true;
    return o;
  };
  std::vector<Component> all;
  for (const auto& c : cases) {
    const SizeDistribution d = c.make(c.p);
    all.push_back({sphere(1), d, 1.0});
    std::vector<EnsembleParam> params;
    for (const std::string_view name : d.parameter_names()) params.push_back(dist(name));
    const EnsembleResult res = one({{sphere(1), d, 1.0}}, 0.55, settings(c.rtol, params));
    const Numbers want = closed_outputs(c.make, c.p);
    expect_meets(res, want, c.rtol, "alone");
    for (std::size_t j = 0; j < c.p.size(); ++j) {
      const double unit = c.p[j] != 0 ? std::fabs(c.p[j]) : 1.0, h = 1e-6 * unit;
      Numbers up = c.p, down = c.p;
      up[j] += h;
      down[j] -= h;
      const Numbers wu = closed_outputs(c.make, up), wd = closed_outputs(c.make, down);
      for (std::size_t i = 0; i < 3; ++i) {
        const double fd = (wu[i] - wd[i]) / (2 * h), got = res.d[j].values[rows[i]];
        const double scale = std::fabs(fd) + std::fabs(want[i]) / unit;
        EXPECT_LE(std::fabs(got - fd), std::fmin(c.rtol * scale, res.d_errors[j].values[rows[i]] + 1e-9 * scale))
            << "parameter " << j << " output " << rows[i];
      }
    }
  }
  const auto batch = engine::run_batch(all, Numbers{0.55}, settings(1e-6, {}));
  ASSERT_TRUE(batch.has_value()) << batch.error().to_string();
  for (std::size_t k = 0; k < all.size(); ++k) {
    expect_meets((*batch)[k].front(), closed_outputs(cases[k].make, cases[k].p), 1e-6, "batch");
  }
}

// Outputs linear in the sums are linear in the weights, each part keeping its
// own panels, with weight derivatives (C_c - C)/W; a multimodal component
// equals the mixture of its modes.
TEST(EnsembleRun, MixturesAreLinearInWeights) {
  const Particle p = sphere(1);
  const Component a{p, lognormal(0.2, 1.6), 2.0}, b{Particle{Sphere{{{1.4, 0.0}}}}, gamma(0.5, 0.15), 1.0};
  auto o = run_options(1e-7, {0.3}, GreekSelection::up_to(6));
  o.unnormalized = true;
  const Numbers va = flat(one({a}, 0.6, o).value), vb = flat(one({b}, 0.6, o).value);
  o.params = {weight(0), weight(1)};
  const EnsembleResult mix = one({a, b}, 0.6, o);
  const Numbers got = flat(mix.value), d0 = flat(mix.d[0]), d1 = flat(mix.d[1]);
  ASSERT_EQ(got.size(), va.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (i >= 4 && i < 9) continue;  // the ratios
    const double tol = 1e-14 * std::fabs(i < 11 ? got[i] : got[11]);
    EXPECT_NEAR(got[i], (2 * va[i] + vb[i]) / 3, tol) << i;
    EXPECT_NEAR(d0[i], (va[i] - got[i]) / 3, 10 * tol) << i;
    EXPECT_NEAR(d1[i], (vb[i] - got[i]) / 3, 10 * tol) << i;
  }

  // Modes of weights (2, 1, 1) weigh as components of those weights.
  const SizeDistribution modes[3] = {lognormal(0.1, 1.5), gamma(0.4, 0.12), lognormal(0.8, 1.3)};
  std::vector<Mode> mm;
  std::vector<Component> three;
  for (std::size_t i = 0; i < 3; ++i) {
    mm.push_back({i == 0 ? 2.0 : 1.0, modes[i]});
    three.push_back({p, modes[i], i == 0 ? 2.0 : 1.0});
  }
  auto o2 = run_options(1e-6, {0.5}, GreekSelection::up_to(4), {weight(0, 0)});
  const EnsembleResult multi = one({{p, multimodal(mm), 1.0}}, 0.5, o2);
  o2.params = {weight(0)};
  const EnsembleResult mixed = one(three, 0.5, o2);
  expect_close(flat(multi), flat(mixed), 1e-14, "multimodal");
  EXPECT_EQ(multi.panels, mixed.panels);
  EXPECT_EQ(multi.ranges, mixed.ranges);
}

namespace {

// Every derivative of a run against central differences of runs with one of
// the parameters p (from which `make` builds the components) moved by
// ±1e-5 |p_i|; the run's parameters follow the order of p.
void expect_central_differences(const std::function<std::vector<Component>(const Numbers&)>& make, const Numbers& p,
                                const std::vector<EnsembleParam>& params, double wavelength) {
  auto o = run_options(1e-11, {-0.6, 0.4}, GreekSelection::up_to(4), params);
  const EnsembleResult base = one(make(p), wavelength, o);
  o.params = {};
  const Numbers value = flat(base.value);
  for (std::size_t k = 0; k < p.size(); ++k) {
    const double h = 1e-5 * std::fabs(p[k]);
    Numbers up = p, down = p;
    up[k] += h;
    down[k] -= h;
    const Numbers vu = flat(one(make(up), wavelength, o).value), vd = flat(one(make(down), wavelength, o).value);
    const Numbers d = flat(base.d[k]);
    for (std::size_t i = 0; i < d.size(); ++i) {
      const double fd = (vu[i] - vd[i]) / (2 * h);
      // Truncation O(h²) and the runs' noise (rtol/h), relative to the output.
      EXPECT_NEAR(d[i], fd, 2e-7 * (std::fabs(fd) + std::fabs(value[i]) / std::fabs(p[k])) + 1e-12)
          << "parameter " << k << ", entry " << i;
    }
  }
}

}  // namespace

TEST(EnsembleRun, DerivativesMatchCentralDifferences) {
  expect_central_differences(
      [](const Numbers& p) {
        return std::vector<Component>{{Particle{Sphere{{{p[2], p[3]}}}}, lognormal(p[0], p[1]), 1.0}};
      },
      {0.08, 1.6, 1.5, 0.01},
      {dist("median_radius"), dist("width"), param_of(param::MReal{}), param_of(param::MImag{})}, 0.55);
  expect_central_differences(
      [](const Numbers& p) {
        return std::vector<Component>{
            {Particle{LayeredSphere{{p[3]}, {{{p[1], 0.02}}, {{1.35, p[2]}}}}}, gamma(0.2, p[0]), 1.0}};
      },
      {0.12, 1.6, 0.005, 0.7},
      {dist("effective_variance"), param_of(param::LayerMReal{0}), param_of(param::LayerMImag{1}),
       param_of(param::RadiusFraction{0})},
      0.5);
}

// Each distribution of a batch agrees with its own run within the two
// reported errors; the shared particle and the absence of particle
// parameters are preconditions.
TEST(EnsembleRun, BatchEqualsSeparateRuns) {
  const std::vector<Component> c = {
      {sphere(2), lognormal(0.1, 1.5), 1.0}, {sphere(2), monodisperse(0.3), 2.0}, {sphere(2), gamma(0.5, 0.1), 0.5}};
  const Numbers wavelengths = {0.5, 0.7};
  const auto o = run_options(1e-6, {0.2}, GreekSelection::up_to(4));
  const auto batch = engine::run_batch(c, wavelengths, o);
  ASSERT_TRUE(batch.has_value()) << batch.error().to_string();
  ASSERT_EQ(batch->size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto alone = engine::run(std::vector<Component>{c[k]}, wavelengths, o);
    ASSERT_TRUE(alone.has_value()) << alone.error().to_string();
    ASSERT_EQ((*batch)[k].size(), 2u);
    for (std::size_t w = 0; w < 2; ++w) {
      const Numbers b = flat((*batch)[k][w].value), eb = flat((*batch)[k][w].error);
      const Numbers s = flat((*alone)[w].value), es = flat((*alone)[w].error);
      for (std::size_t i = 0; i < b.size(); ++i) EXPECT_LE(std::fabs(b[i] - s[i]), eb[i] + es[i] + 1e-14) << k << ", " << i;
    }
  }
  std::vector<Component> other = c;
  other[1].particle = Particle{Sphere{{{1.5, 0.01}, {1.5, 0.02}}}};
  EXPECT_THROW((void)engine::run_batch(other, wavelengths, o), vantok::InternalFailure);
  EXPECT_THROW((void)engine::run_batch(c, wavelengths, run_options(1e-6, {}, GreekSelection::off(), {param_of(param::MReal{})})),
               vantok::InternalFailure);
  const auto empty = engine::run_batch(c, {}, o);
  ASSERT_TRUE(empty.has_value()) << empty.error().to_string();
  ASSERT_EQ(empty->size(), 3u);
  for (const auto& results : *empty) EXPECT_TRUE(results.empty());
}

// The checked entry points refuse what the whole-request check refuses, in
// the batch's order (its form, each distribution, the whole request), and
// otherwise give the engine's runs bit for bit.
TEST(EnsembleCompute, ChecksThenRunsTheEngine) {
  using vantok::ensemble::compute;
  using vantok::ensemble::compute_batch;
  const std::vector<Component> c = {{sphere(1), lognormal(0.1, 1.5), 1.0}};
  const auto o = run_options(1e-4, {0.3}, GreekSelection::up_to(2));
  vantok::test::expect_error(compute(c, Numbers{0.5, 0.6}, o), vantok::Error::Kind::InvalidInput,
                             "component 0 has 1 refractive indices for 2 wavelengths");
  const auto checked = compute(c, Numbers{0.5}, o);
  const auto direct = engine::run(c, Numbers{0.5}, o);
  ASSERT_TRUE(checked.has_value()) << checked.error().to_string();
  ASSERT_TRUE(direct.has_value()) << direct.error().to_string();
  const Numbers x = flat(checked->front().value), y = flat(direct->front().value);
  ASSERT_EQ(x.size(), y.size());
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_TRUE(same_bits(x[i], y[i])) << i;

  const struct {
    std::vector<SizeDistribution> distributions;
    Particle particle;
    double rtol;
    std::string message;
  } refused[] = {
      {{}, layered({1.5}, 1), 1.0, "a batch needs a distribution"},
      {{lognormal(0.1, 0.5)}, layered({1.5}, 1), 1.0, "radius fraction 0 must be in (0, 1], got 1.5"},
      {{lognormal(0.1, 0.5)}, sphere(2), 1.0, "2 refractive indices for 1 wavelengths"},
      {{lognormal(0.1, 1.5), lognormal(0.1, 0.5)}, sphere(1), 1.0,
       "distribution 1: invalid input: the lognormal width must be finite and > 1, got 0.5"},
      {{lognormal(0.1, 1.5)}, sphere(1), 1.0, "rtol must be in [1e-13, 0.1], got 1"},
  };
  for (const auto& row : refused) {
    vantok::test::expect_error(compute_batch(row.distributions, row.particle, Numbers{0.5}, run_options(row.rtol)),
                               vantok::Error::Kind::InvalidInput, row.message);
  }
  const std::vector<Component> pair = {{sphere(1), lognormal(0.1, 1.5), 1.0}, {sphere(1), gamma(0.2, 0.1), 1.0}};
  const auto batch = compute_batch({pair[0].distribution, pair[1].distribution}, pair[0].particle, Numbers{0.5}, o);
  const auto engine_batch = engine::run_batch(pair, Numbers{0.5}, o);
  ASSERT_TRUE(batch.has_value()) << batch.error().to_string();
  ASSERT_TRUE(engine_batch.has_value()) << engine_batch.error().to_string();
  ASSERT_EQ(batch->size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const Numbers b = flat((*batch)[k].front().value), e = flat((*engine_batch)[k].front().value);
    ASSERT_EQ(b.size(), e.size());
    for (std::size_t i = 0; i < b.size(); ++i) EXPECT_TRUE(same_bits(b[i], e[i])) << k << ", " << i;
  }
}

// Bit-identical for 1 and 8 threads and under a permutation of the
// wavelengths; of several failing wavelengths the lowest index is reported.
TEST(EnsembleRun, ResultsIndependentOfScheduling) {
  const std::vector<Complex<double>> m = {{1.5, 0.01}, {1.45, 0.02}, {1.33, 0.0}};
  auto components = [&](std::vector<std::size_t> order) {
    std::vector<Complex<double>> mo;
    for (std::size_t i : order) mo.push_back(m[i]);
    const Particle p{Sphere{mo}};
    return std::vector<Component>{{p, lognormal(0.15, 1.7), 1.0}, {p, gamma(0.3, 0.1), 0.5}};
  };
  const auto o = run_options(1e-6, {-0.5, 0.5}, GreekSelection::all(), {dist("width"), param_of(param::MImag{}), weight(1)});
  const auto c = components({0, 1, 2});
  const auto one_thread = vantok::pool::with_threads(1, [&] { return engine::run(c, Numbers{0.45, 0.6, 0.9}, o); });
  const auto eight = vantok::pool::with_threads(8, [&] { return engine::run(c, Numbers{0.45, 0.6, 0.9}, o); });
  const auto permuted = engine::run(components({2, 0, 1}), Numbers{0.9, 0.45, 0.6}, o);
  ASSERT_TRUE(one_thread.has_value()) << one_thread.error().to_string();
  ASSERT_TRUE(eight.has_value()) << eight.error().to_string();
  ASSERT_TRUE(permuted.has_value()) << permuted.error().to_string();
  const std::vector<std::size_t> from = {1, 2, 0};
  for (std::size_t w = 0; w < 3; ++w) {
    const Numbers x = flat((*one_thread)[w]);
    for (const EnsembleResult* other : {&(*eight)[w], &(*permuted)[from[w]]}) {
      const Numbers y = flat(*other);
      ASSERT_EQ(x.size(), y.size());
      for (std::size_t j = 0; j < x.size(); ++j) ASSERT_TRUE(same_bits(x[j], y[j])) << w << ", " << j;
      EXPECT_EQ((*one_thread)[w].panels, other->panels);
    }
  }

  // Wavelengths 1 and 3 reach size parameters above 1e6.
  const std::vector<Component> c4 = {{sphere(4), lognormal(0.15, 1.7), 1.0}};
  for (const std::size_t threads : {1, 8}) {
    const auto r = vantok::pool::with_threads(threads, [&] { return engine::run(c4, Numbers{0.5, 1e-7, 0.6, 2e-7}, run_options(1e-4)); });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message().rfind("at wavelength 1e-7, radius ", 0), 0u) << r.error().message();
  }
}

// Both passes on the process-wide pool reached as the bindings reach it (with
// a pool of one thread in its own registration), against an arena of one
// thread: integrated distributions, derivatives, every Greek order and the
// phase matrix.
TEST(EnsembleRun, ProcessPoolKeepsTheBits) {
  const Particle p{Sphere{{{1.5, 0.01}, {1.45, 0.02}}}};
  const std::vector<Component> c = {{p, lognormal(0.15, 1.7), 1.0}, {p, gamma(0.3, 0.1), 0.5}};
  const auto o = run_options(1e-6, {-0.5, 0.5}, GreekSelection::all(), {dist("width"), param_of(param::MImag{})});
  const auto pooled = vantok::test::on_process_pool([&] { return engine::run(c, Numbers{0.45, 0.6}, o); });
  const auto one = vantok::pool::with_threads(1, [&] { return engine::run(c, Numbers{0.45, 0.6}, o); });
  ASSERT_TRUE(pooled.has_value()) << pooled.error().to_string();
  ASSERT_TRUE(one.has_value()) << one.error().to_string();
  for (std::size_t w = 0; w < 2; ++w) {
    const Numbers x = flat((*one)[w]), y = flat((*pooled)[w]);
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t j = 0; j < x.size(); ++j) ASSERT_TRUE(same_bits(x[j], y[j])) << w << ", " << j;
  }
}

// With little or nothing of the work budget free, the wavelengths but the
// lowest of each step give way and wait for a later round (in their first or
// their second pass), the second passes run with fewer workers and smaller
// batches of panels, and fewer node solutions of the first passes are kept:
// the outputs keep every bit, and every lease is given back.
TEST(EnsembleRun, ScarceWorkMemoryKeepsTheBits) {
  const Particle p{Sphere{{{1.5, 0.01}, {1.45, 0.02}, {1.33, 0.0}}}};
  const std::vector<Component> c = {{p, lognormal(0.15, 1.7), 1.0}, {p, gamma(0.3, 0.1), 0.5}};
  const auto o = run_options(1e-6, {-0.5, 0.5}, GreekSelection::all(), {dist("width"), param_of(param::MImag{})});
  const Numbers wavelengths = {0.45, 0.6, 0.9};
  const auto plenty = engine::run(c, wavelengths, o);
  ASSERT_TRUE(plenty);
  const std::size_t free = vantok::memory::work_free();
  for (const std::size_t spare : {std::size_t{0}, std::size_t{1} << 18, std::size_t{1} << 20, std::size_t{1} << 22}) {
    const auto scarce = [&] {
      const vantok::memory::Lease others = vantok::memory::lease(free - spare, free - spare);
      return engine::run(c, wavelengths, o);
    }();
    EXPECT_EQ(vantok::memory::work_free(), free);
    ASSERT_TRUE(scarce) << spare;
    for (std::size_t w = 0; w < wavelengths.size(); ++w) {
      const Numbers x = flat((*plenty)[w]), y = flat((*scarce)[w]);
      ASSERT_EQ(x.size(), y.size());
      for (std::size_t j = 0; j < x.size(); ++j) ASSERT_TRUE(same_bits(x[j], y[j])) << spare << ", " << w << ", " << j;
    }
  }
}

// The ratios need a non-zero C_back: at m = 1 the sphere's backscattering
// vanishes (the messages are checked on synthetic sums). A failing set-up
// surfaces even without wavelengths.
TEST(EnsembleRun, RefusesUndefinedRatiosAndBadSetUps) {
  const std::vector<Component> c = {{Particle{Sphere{{{1.0, 0.0}}}}, monodisperse(0.2), 1.0}};
  EXPECT_EQ(engine::run(c, Numbers{0.5}, run_options(1e-6)).error().message().rfind("the ensemble's <C_back> is 0", 0), 0u);
  ASSERT_TRUE(engine::run(c, {}, run_options(1e-6)).value().empty());
  const std::vector<Component> massless = {{sphere(1), tabulated({0.1, 0.2}, {0.0, 0.0}), 1.0}};
  EXPECT_FALSE(engine::run(massless, {}, run_options(1e-6)).has_value());
}

// Entries [1, C_ext, C_sca, C_sca g, C_abs, C_back, r², r³]: C_abs before
// C_back (the first pass orders them the other way); nothing beyond them
// without cosines and Greek coefficients.
TEST(Quantities2, BaseEntries) {
  const Particle particle{Sphere{{{1.5, 0.1}}}};
  const double r = 0.25, wavelength = 0.5, g = PI * r * r;
  const std::size_t keys[1] = {1};
  const auto lay = layout({}, 0, {}), small = layout(keys, 2, {});
  ASSERT_EQ(lay->n_quantities, 8u);
  std::vector<double> q(8, 0.0), big(small->n_quantities);
  NodeScratch scratch;
  const auto n = quantities2(scratch, Optics::at(particle, 0), SOLVE, *lay, q, {}, {}, 0, {}, r, wavelength);
  vantok::mie::Mie mie;
  ASSERT_TRUE(n.has_value()) << n.error().to_string();
  ASSERT_TRUE(mie.solve(SOLVE, false, size_parameter(r, wavelength), {1.5, 0.1}).has_value());
  const auto e = mie.coefficients().efficiencies();
  const std::vector<double> want = {1, g * e[0], g * e[1], g * e[1] * e[4], g * e[2], g * e[3], r * r, r * r * r};
  for (std::size_t i = 0; i < 8; ++i) EXPECT_NEAR(q[i], want[i], 1e-15 * want[i]) << i;
  EXPECT_EQ(*n, mie.coefficients().a.size());
  // A term count whose key has no band.
  vantok::test::expect_error(quantities2(scratch, Optics::at(particle, 0), SOLVE, *small, big, {}, {}, 0, {}, r, wavelength),
                             vantok::Error::Kind::InvalidInput,
                             "at wavelength 5e-1, radius 2.5e-1: no projector band for " + std::to_string(*n) + " terms");
}

// The first pass keeps its panels' node solutions (their use is checked by
// every run) while they fit a budget, which gets every byte back when the
// panels that hold them go.
TEST(SecondPass, SolutionBudget) {
  const std::vector<Component> c{{sphere(1), lognormal(0.4, 1.6), 1.0}};
  const auto parts = vantok::ensemble::engine::parts(c, {}, 1e-4);
  ASSERT_TRUE(parts.has_value());
  const std::vector<const Part*> members{&parts->front()};
  auto evaluate = [&](std::size_t limit) {
    std::vector<Panel> panels{{-2.0, -1.5, std::nullopt}, {-1.5, -1.0, std::nullopt}, {-1.0, -0.5, std::nullopt}};
    const auto budget = std::make_shared<SolutionBudget>(limit);
    for (const auto& r : pass1_evaluate(panels, members, 0.5, Optics::at(c[0].particle, 0), SOLVE, FirstPassLayout(std::nullopt, 0),
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

// The error of a distribution-parameter derivative takes the value's error
// with its tail allowance: err_d = (E_p + |v| δ + |d| e0 + |D| err)/M0 + τ|d|,
// err = (E + e0 |v|)/M0 + τ|v|. A smooth part's <r²> and <r³> are its
// moments', with their errors and derivatives, whatever its panels gave.
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
  part.averages->means = {0.25, 0.125};
  part.averages->mean_errors = {1e-4, 2e-4};
  part.averages->mean_derivatives = {{0.75, 0.625}};
  part.averages->mean_derivative_errors = {{3e-4, 4e-4}};
  // Entries 1 and r², r³ (6, 7), columns: value, width, m_real, m_imag.
  const RangeSums sums[2] = {{1, 2, {3.0, 1.0, 0.4, 0.7}, {0.1, 0.05, 0.03, 0.02}},
                             {6, 8, {0.1, 0.01, 0.2, 0.02, 0, 0, 0, 0}, std::vector<double>(8, 0.01)}};
  const PartAverages avg = part_averages(part, sums, 8, 2, rtol);
  const double tau = 0.2 * rtol;
  const double v = 1.5;
  const double err = (0.1 + 0.01 * v) / 2.0 + tau * v;
  EXPECT_EQ(avg.values, (std::vector<double>{0, v, 0, 0, 0, 0, 0.25, 0.125}));
  EXPECT_EQ(std::vector(avg.errors.begin() + 6, avg.errors.end()), (std::vector{1e-4, 2e-4}));
  EXPECT_EQ(std::vector(avg.derivatives[0].values.begin() + 6, avg.derivatives[0].values.end()),
            (std::vector{0.75, 0.625}));
  EXPECT_EQ(std::vector(avg.derivatives[0].errors.begin() + 6, avg.derivatives[0].errors.end()),
            (std::vector{3e-4, 4e-4}));
  EXPECT_EQ(std::vector(avg.derivatives[1].values.begin() + 6, avg.derivatives[1].values.end()),
            (std::vector{0.0, 0.0}));
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

// Outputs on synthetic sums (their values are checked against references
// through whole runs): the unit's panels, flags and ranges, the Greek series
// padded to L + 1 and normalised to alpha1_0 = 1 unless unnormalised, nothing
// without cosines, Greek coefficients or parameters, and the undefined-ratio
// refusals.
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
  EXPECT_EQ(std::tuple(r.panels, r.converged, r.ranges.size(), (*out)[1].panels, (*out)[1].converged),
            std::tuple(3u, false, 2u, 5u, true));
  EXPECT_EQ((*out)[1].params, o.params);
  for (const Outputs* kind : {&r.value, &r.error, &r.d[0], &r.d_errors[0]}) {
    ASSERT_TRUE(kind->greek.has_value());
    ASSERT_TRUE(kind->phase.has_value());
    for (const std::vector<double>* series : kind->greek->vectors()) {
      ASSERT_EQ(series->size(), 11u);
      for (std::size_t l = 7; l < 11; ++l) EXPECT_EQ((*series)[l], 0.0);
    }
  }
  EXPECT_EQ((std::array{r.value.greek->alpha1[0], r.error.greek->alpha1[0], r.d[0].greek->alpha1[0]}),
            (std::array{1.0, 0.0, 0.0}));
  o.unnormalized = true;
  o.mu = {};
  o.params = {};
  EXPECT_EQ(outputs(std::span(units).first(1), sums, greek, records, part_groups, o, 10)->front().value.greek->alpha1[0],
            2.0);
  std::vector<DistributionSums> plain = {synthetic(4, 2, 0.5)};
  plain[0].d.clear();
  plain[0].d_errors.clear();
  const auto bare = outputs(std::span(units).first(1), plain, std::nullopt, records, part_groups, o, 0);
  ASSERT_TRUE(bare.has_value());
  EXPECT_FALSE(bare->front().value.greek.has_value());
  EXPECT_FALSE(bare->front().error.phase.has_value());
  EXPECT_EQ(bare->front().d.size(), 0u);

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
