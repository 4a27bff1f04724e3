// Ensemble runs end to end: a monodisperse particle against the landed sphere
// and layered solvers, lognormal and gamma spheres against an independent
// SciPy quadrature of the landed sphere functions, the Rayleigh limit,
// linearity in the mixture weights, derivatives against central differences,
// batches against separate runs, and scheduling independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"
#include "vantok/ensemble/run.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/dual.hpp"

using namespace vantok::test::ensemble;
using vantok::Complex;
using vantok::test::rel_err;
using vantok::test::same_bits;
namespace engine = vantok::ensemble::engine;
using D = vantok::scalar::dual::Dual<double, 4>;
using Greek = vantok::mie::greek::GreekCoefficients<double>;

namespace {

constexpr double PI = std::numbers::pi;
constexpr double TWO_PI = 6.283185307179586;

EnsembleOptions run_options(double rtol, std::vector<double> mu = {}, GreekSelection greek = GreekSelection::off(),
                            std::vector<EnsembleParam> params = {}) {
  EnsembleOptions o = options();
  o.rtol = rtol;
  o.max_panels = 100000;
  o.mu = std::move(mu);
  o.greek = greek;
  o.params = std::move(params);
  return o;
}

EnsembleParam dist(std::string_view name, std::size_t c = 0) { return {std::nullopt, param::Distribution{name}, c}; }
EnsembleParam weight(std::size_t c, std::optional<std::size_t> mode = std::nullopt) { return {mode, param::Weight{}, c}; }

EnsembleResult one(const std::vector<Component>& c, double wavelength, const EnsembleOptions& o) {
  auto r = engine::run(c, std::vector<double>{wavelength}, o);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  return r ? std::move(r->front()) : EnsembleResult{};
}

// Every number of an Outputs in a fixed order: values, phase, Greek.
std::vector<double> flat(const Outputs& o) {
  std::vector<double> out(o.values.begin(), o.values.end());
  if (o.phase) {
    for (const auto& e : *o.phase) out.insert(out.end(), e.begin(), e.end());
  }
  if (o.greek) {
    for (const std::vector<double>* s : o.greek->vectors()) out.insert(out.end(), s->begin(), s->end());
  }
  return out;
}

void expect_close(double got, double want, double tol, const std::string& what) {
  EXPECT_LE(rel_err(got, want), tol) << what << ": got " << got << ", want " << want;
}

// The eleven outputs of one particle from its efficiencies Q (Q_ext, Q_sca,
// Q_abs, Q_back, g) and radius, with derivatives carried by the partials.
std::array<D, 11> particle_outputs(const std::array<D, 5>& q, const D& r) {
  const D g = r * r * PI;
  const D zero = D::constant(0.0);
  return {g * q[0], g * q[1], g * q[2], g * q[3], q[1] / q[0], q[4], q[0] / q[3] * (4 * PI), zero, r,
          r * r * PI, r * r * r * (4 * PI / 3)};
}

// The values and the first `count` partials of the outputs against a result.
void expect_outputs(const EnsembleResult& res, const std::array<D, 11>& want, std::size_t count) {
  for (std::size_t i = 0; i < 11; ++i) {
    expect_close(res.value.values[i], want[i].value, 1e-13, "value " + std::to_string(i));
    EXPECT_EQ(res.error.values[i], 0.0);
    for (std::size_t k = 0; k < count; ++k) {
      expect_close(res.d[k].values[i], want[i].partials[k], 1e-11,
                   "derivative " + std::to_string(k) + " of " + std::to_string(i));
      EXPECT_EQ(res.d_errors[k].values[i], 0.0);
    }
  }
}

// |got - want| within tol times the series' largest magnitude.
void expect_series(const std::vector<double>& got, const std::vector<double>& want, double tol,
                   const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double scale = 0.0;
  for (double w : want) scale = std::fmax(scale, std::fabs(w));
  for (std::size_t l = 0; l < got.size(); ++l) {
    EXPECT_LE(std::fabs(got[l] - want[l]), tol * scale) << what << " at " << l;
  }
}

}  // namespace

// One radius: the outputs are the sphere's, exactly up to rounding, with zero
// errors; the phase matrix and the Greek coefficients (all orders, 2N) are the
// sphere's normalised ones; derivatives with respect to r, Re m and Im m.
TEST(EnsembleRun, MonodisperseReproducesSphere) {
  const double r = 0.3;
  const std::vector<double> wavelengths = {0.55, 1.1};
  const std::vector<Complex<double>> m = {{1.5, 0.01}, {1.33, 0.002}};
  const std::vector<double> mu = {-1.0, -0.3, 0.0, 0.7, 1.0};
  const std::vector<Component> c = {{Particle{Sphere{m}}, monodisperse(r), 1.0}};
  const auto o = run_options(1e-6, mu, GreekSelection::all(),
                             {dist("radius"), {std::nullopt, param::MReal{}, 0}, {std::nullopt, param::MImag{}, 0}});
  const auto results = engine::run(c, wavelengths, o);
  ASSERT_TRUE(results.has_value()) << results.error().to_string();
  for (std::size_t w = 0; w < wavelengths.size(); ++w) {
    SCOPED_TRACE("wavelength " + std::to_string(w));
    const EnsembleResult& res = (*results)[w];
    const double k = TWO_PI / wavelengths[w];
    vantok::mie::Mie mie;
    ASSERT_TRUE(mie.solve({std::nullopt, false}, true, engine::size_parameter(r, wavelengths[w]), m[w]));
    const auto coeffs = mie.coefficients();
    const auto q = coeffs.efficiencies();
    const auto jac = coeffs.efficiencies_jacobian(mie.derivatives());
    std::array<D, 5> qd;
    for (std::size_t i = 0; i < 5; ++i) qd[i] = {{k * jac[i], jac[5 + i], jac[10 + i], 0.0}, q[i]};
    expect_outputs(res, particle_outputs(qd, D::variable(r, 0)), 3);
    EXPECT_EQ(res.panels, 0u);
    EXPECT_TRUE(res.converged);
    EXPECT_EQ(res.ranges, (std::vector<std::pair<double, double>>{{r, r}}));

    std::vector<std::vector<double>> f(16, std::vector<double>(mu.size()));
    auto buffers = [&](std::size_t b) { return vantok::mie::phase::PhaseMatrixBuffers{f[b], f[b + 1], f[b + 2], f[b + 3]}; };
    ASSERT_TRUE(coeffs.phase_matrix_with_derivatives(mu, mie.derivatives(), true, buffers(0),
                                                     {buffers(4), buffers(8), buffers(12)}));
    for (std::size_t t = 0; t < 4; ++t) {
      for (std::size_t i = 0; i < mu.size(); ++i) {
        expect_close((*res.value.phase)[t][i], f[t][i], 1e-13, "phase");
        expect_close((*res.d[0].phase)[t][i], k * f[4 + t][i], 1e-11, "phase d/dr");
        expect_close((*res.d[1].phase)[t][i], f[8 + t][i], 1e-11, "phase d/dRe m");
        expect_close((*res.d[2].phase)[t][i], f[12 + t][i], 1e-11, "phase d/dIm m");
      }
    }
    const std::size_t order = 2 * coeffs.a.size();
    const auto greek = coeffs.greek_with_derivatives(order, mie.derivatives(), true);
    ASSERT_TRUE(greek.has_value());
    for (std::size_t s = 0; s < 6; ++s) {
      expect_series(*res.value.greek->vectors()[s], *greek->values.vectors()[s], 1e-13, "greek");
      std::vector<double> dr = *greek->x.vectors()[s];
      for (double& v : dr) v *= k;
      expect_series(*res.d[0].greek->vectors()[s], dr, 1e-11, "greek d/dr");
      expect_series(*res.d[1].greek->vectors()[s], *greek->re_m.vectors()[s], 1e-11, "greek d/dRe m");
      expect_series(*res.d[2].greek->vectors()[s], *greek->im_m.vectors()[s], 1e-11, "greek d/dIm m");
    }
  }
}

// A two-layer particle at one radius against the layered solver, with the
// derivatives of layer 0's Re m, layer 1's Im m, the radius fraction and r.
TEST(EnsembleRun, MonodisperseReproducesLayeredSphere) {
  const double r = 0.4;
  const double f = 0.6;
  const double wavelength = 0.6;
  const std::vector<Complex<double>> ms = {{1.6, 0.02}, {1.4, 0.001}};
  const std::vector<double> mu = {-0.8, 0.1, 0.9};
  const std::vector<Component> c = {{Particle{LayeredSphere{{f}, {{ms[0]}, {ms[1]}}}}, monodisperse(r), 1.0}};
  const auto o = run_options(1e-6, mu, GreekSelection::off(),
                             {dist("radius"), {std::nullopt, param::LayerMReal{0}, 0},
                              {std::nullopt, param::LayerMImag{1}, 0}, {std::nullopt, param::RadiusFraction{0}, 0}});
  const EnsembleResult res = one(c, wavelength, o);
  const double x = engine::size_parameter(r, wavelength);
  const double k = TWO_PI / wavelength;
  vantok::layered::Layered solver;
  const std::vector<double> xs = {f * x, x};
  ASSERT_TRUE(solver.solve({std::nullopt, false}, true, xs, ms));
  const auto coeffs = solver.coefficients();
  const auto q = coeffs.efficiencies();
  const auto core = coeffs.efficiencies_jacobian(solver.layer_derivatives(0));
  const auto shell = coeffs.efficiencies_jacobian(solver.layer_derivatives(1));
  std::array<D, 5> qd;
  for (std::size_t i = 0; i < 5; ++i) {
    qd[i] = {{k * (shell[i] + f * core[i]), core[5 + i], shell[10 + i], x * core[i]}, q[i]};
  }
  expect_outputs(res, particle_outputs(qd, D::variable(r, 0)), 4);

  // The normalised phase matrix and its derivatives through each layer's view.
  std::array<std::vector<std::vector<double>>, 2> f_layer;
  for (std::size_t l = 0; l < 2; ++l) {
    auto& b = f_layer[l];
    b.assign(16, std::vector<double>(mu.size()));
    auto buffers = [&](std::size_t i) { return vantok::mie::phase::PhaseMatrixBuffers{b[i], b[i + 1], b[i + 2], b[i + 3]}; };
    ASSERT_TRUE(coeffs.phase_matrix_with_derivatives(mu, solver.layer_derivatives(l), true, buffers(0),
                                                     {buffers(4), buffers(8), buffers(12)}));
  }
  for (std::size_t t = 0; t < 4; ++t) {
    for (std::size_t i = 0; i < mu.size(); ++i) {
      expect_close((*res.value.phase)[t][i], f_layer[1][t][i], 1e-13, "phase");
      expect_close((*res.d[0].phase)[t][i], k * (f_layer[1][4 + t][i] + f * f_layer[0][4 + t][i]), 1e-10, "d/dr");
      expect_close((*res.d[1].phase)[t][i], f_layer[0][8 + t][i], 1e-10, "d/dRe m0");
      expect_close((*res.d[2].phase)[t][i], f_layer[1][12 + t][i], 1e-10, "d/dIm m1");
      expect_close((*res.d[3].phase)[t][i], x * f_layer[0][4 + t][i], 1e-10, "d/df");
    }
  }
}

// Lognormal and gamma spheres against SciPy's quadrature of the landed sphere
// functions: every output within its reported error.
TEST(EnsembleRun, DistributionsMatchQuadrature) {
  const std::vector<double> mu = {-1.0, -0.5, 0.0, 0.5, 1.0};
  for (const auto& rec : vantok::test::read_table("ensemble_run.txt")) {
    const SizeDistribution d = rec.tag == "lognormal" ? lognormal(rec.num(0), rec.num(1)) : gamma(rec.num(0), rec.num(1));
    const std::vector<Component> c = {{Particle{Sphere{{{rec.num(3), rec.num(4)}}}}, d, 1.0}};
    std::vector<double> want;
    for (std::size_t i = 5; i < rec.fields.size(); ++i) want.push_back(rec.num(i));
    for (const double rtol : {1e-4, 1e-8}) {
      SCOPED_TRACE(rec.tag + " rtol " + std::to_string(rtol));
      const EnsembleResult res = one(c, rec.num(2), run_options(rtol, mu, GreekSelection::up_to(8)));
      EXPECT_TRUE(res.converged);
      const std::vector<double> got = flat(res.value);
      const std::vector<double> err = flat(res.error);
      ASSERT_EQ(got.size(), want.size());
      // How pessimistic the estimates are: estimate over actual error.
      std::vector<double> ratio;
      for (std::size_t i = 0; i < got.size(); ++i) {
        const double actual = std::fabs(got[i] - want[i]);
        EXPECT_LE(actual, err[i] + 1e-13 * std::fabs(want[i])) << "entry " << i << ": " << got[i] << " vs " << want[i];
        if (actual > 1e-14 * std::fabs(want[i]) && err[i] > 0.0) ratio.push_back(err[i] / actual);
        if (i < 11 && i != output::ZERO) {
          EXPECT_LE(actual, rtol * std::fabs(want[i])) << "output " << i;
        }
      }
      std::sort(ratio.begin(), ratio.end());
      if (!ratio.empty()) {
        std::printf("[ estimates ] %s rtol %g: estimate/actual min %.3g median %.3g max %.3g\n", rec.tag.c_str(), rtol,
                    ratio.front(), ratio[ratio.size() / 2], ratio.back());
      }
    }
  }
}

// x ~ 1e-3: Rayleigh cross sections, phase matrix and Greek coefficients, and
// the closed-form lognormal moments.
TEST(EnsembleRun, RayleighLimit) {
  const double rm = 1e-4;
  const double width = 1.5;
  const double s = std::log(width);
  const Complex<double> m{1.5, 0.1};
  const std::vector<double> wavelengths = {0.6, 1.2};
  const std::vector<double> mu = {-1.0, -0.4, 0.0, 0.6, 1.0};
  const std::vector<Component> c = {{Particle{Sphere{{m, m}}}, lognormal(rm, width), 1.0}};
  const auto results = engine::run(c, wavelengths, run_options(1e-8, mu, GreekSelection::up_to(4)));
  ASSERT_TRUE(results.has_value()) << results.error().to_string();
  // K = (m² - 1)/(m² + 2).
  const double m2re = m.re * m.re - m.im * m.im;
  const double m2im = 2 * m.re * m.im;
  const double nre = m2re - 1, dre = m2re + 2;
  const double den = dre * dre + m2im * m2im;
  const double kre = (nre * dre + m2im * m2im) / den;
  const double kim = (m2im * dre - nre * m2im) / den;
  const double r3 = std::pow(rm, 3) * std::exp(4.5 * s * s);
  const double r6 = std::pow(rm, 6) * std::exp(18 * s * s);
  const double sqrt6 = std::sqrt(6.0);
  const std::array<std::array<double, 3>, 6> greek = {{{1, 0, 0.5}, {0, 0, 3}, {0, 0, 0}, {0, 1.5, 0}, {0, 0, -sqrt6 / 2}, {0, 0, 0}}};
  for (std::size_t w = 0; w < wavelengths.size(); ++w) {
    const EnsembleResult& res = (*results)[w];
    const double k = TWO_PI / wavelengths[w];
    expect_close(res.value.values[output::SCATTERING], 8 * PI / 3 * std::pow(k, 4) * (kre * kre + kim * kim) * r6, 1e-4, "C_sca");
    expect_close(res.value.values[output::ABSORPTION], 4 * PI * k * kim * r3, 1e-4, "C_abs");
    EXPECT_LT(std::fabs(res.value.values[output::ASYMMETRY]), 1e-4);
    expect_close(res.value.values[output::EFFECTIVE_RADIUS], rm * std::exp(2.5 * s * s), 1e-7, "r_eff");
    expect_close(res.value.values[output::GEOMETRIC_CROSS_SECTION], PI * rm * rm * std::exp(2 * s * s), 1e-7, "G");
    expect_close(res.value.values[output::VOLUME], 4 * PI / 3 * r3, 1e-7, "V");
    for (std::size_t i = 0; i < mu.size(); ++i) {
      const double u = mu[i];
      const std::array<double, 4> f = {0.75 * (1 + u * u), -0.75 * (1 - u * u), 1.5 * u, 0.0};
      for (std::size_t t = 0; t < 4; ++t) EXPECT_NEAR((*res.value.phase)[t][i], f[t], 1e-4) << t << " at " << u;
    }
    const auto series = res.value.greek->vectors();
    for (std::size_t sr = 0; sr < 6; ++sr) {
      ASSERT_EQ(series[sr]->size(), 5u);
      for (std::size_t l = 0; l < 5; ++l) EXPECT_NEAR((*series[sr])[l], l < 3 ? greek[sr][l] : 0.0, 1e-4) << sr << ", " << l;
    }
  }
}

// Outputs linear in the sums are linear in the weights, each part keeping its
// own panels; weight derivatives (C_c - C)/W; a multimodal component equals
// the mixture of its modes.
TEST(EnsembleRun, MixturesAreLinearInWeights) {
  const Particle p = sphere(1);
  const Component a{p, lognormal(0.2, 1.6), 2.0};
  const Component b{Particle{Sphere{{{1.4, 0.0}}}}, gamma(0.5, 0.15), 1.0};
  auto o = run_options(1e-7, {0.3}, GreekSelection::up_to(6));
  o.unnormalized = true;
  const auto single_a = flat(one({a}, 0.6, o).value);
  const auto single_b = flat(one({b}, 0.6, o).value);
  o.params = {weight(0), weight(1)};
  const EnsembleResult mix = one({a, b}, 0.6, o);
  const auto got = flat(mix.value);
  ASSERT_EQ(got.size(), single_a.size());
  std::vector<std::size_t> linear = {0, 1, 2, 3, 9, 10};
  for (std::size_t i = 11; i < got.size(); ++i) linear.push_back(i);
  const double scale = std::fabs(got[11]);
  for (std::size_t i : linear) {
    const double want = (2 * single_a[i] + single_b[i]) / 3;
    const double tol = 1e-14 * (i < 11 ? std::fabs(want) : scale);
    EXPECT_NEAR(got[i], want, tol) << i;
    EXPECT_NEAR(flat(mix.d[0])[i], (single_a[i] - got[i]) / 3, 10 * tol) << i;
    EXPECT_NEAR(flat(mix.d[1])[i], (single_b[i] - got[i]) / 3, 10 * tol) << i;
  }

  // Modes of weights (2, 1, 1) weigh as components of those weights.
  const std::vector<SizeDistribution> modes = {lognormal(0.1, 1.5), gamma(0.4, 0.12), lognormal(0.8, 1.3)};
  const std::vector<double> w = {2, 1, 1};
  std::vector<Mode> mm;
  std::vector<Component> three;
  for (std::size_t i = 0; i < 3; ++i) {
    mm.push_back({w[i], modes[i]});
    three.push_back({p, modes[i], w[i]});
  }
  auto o2 = run_options(1e-6, {0.5}, GreekSelection::up_to(4), {weight(0, 0)});
  const EnsembleResult multi = one({{p, multimodal(mm), 1.0}}, 0.5, o2);
  o2.params = {weight(0)};
  const EnsembleResult mixed = one(three, 0.5, o2);
  EXPECT_EQ(flat(multi.value), flat(mixed.value));
  EXPECT_EQ(flat(multi.error), flat(mixed.error));
  const auto dm = flat(multi.d[0]);
  const auto dc = flat(mixed.d[0]);
  for (std::size_t i = 0; i < dm.size(); ++i) EXPECT_NEAR(dm[i], dc[i], 1e-14 * (std::fabs(dc[i]) + 1e-300)) << i;
  EXPECT_EQ(multi.panels, mixed.panels);
  EXPECT_EQ(multi.ranges, mixed.ranges);
}

namespace {

// Derivatives of every output of a run against central differences of runs
// whose parameter `name` is moved by ±h (`make` builds the components).
void expect_central_differences(const std::function<std::vector<Component>(double)>& make, double p0, double h,
                                const std::vector<EnsembleParam>& params, std::size_t which, double wavelength) {
  auto o = run_options(1e-11, {-0.6, 0.4}, GreekSelection::up_to(4), params);
  const EnsembleResult base = one(make(p0), wavelength, o);
  o.params = {};
  const auto up = flat(one(make(p0 + h), wavelength, o).value);
  const auto down = flat(one(make(p0 - h), wavelength, o).value);
  const auto value = flat(base.value);
  const auto d = flat(base.d[which]);
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double fd = (up[i] - down[i]) / (2 * h);
    // Rounding and truncation of the difference, relative to the output.
    EXPECT_NEAR(d[i], fd, 2e-7 * (std::fabs(fd) + std::fabs(value[i]) / std::fabs(p0)) + 1e-12) << "entry " << i;
  }
}

}  // namespace

TEST(EnsembleRun, DerivativesMatchCentralDifferences) {
  const std::vector<EnsembleParam> sphere_params = {dist("median_radius"), dist("width"),
                                                    {std::nullopt, param::MReal{}, 0}, {std::nullopt, param::MImag{}, 0}};
  auto lognormal_sphere = [](double rm, double w, Complex<double> m) {
    return std::vector<Component>{{Particle{Sphere{{m}}}, lognormal(rm, w), 1.0}};
  };
  const Complex<double> m{1.5, 0.01};
  expect_central_differences([&](double v) { return lognormal_sphere(v, 1.6, m); }, 0.08, 1e-5, sphere_params, 0, 0.55);
  expect_central_differences([&](double v) { return lognormal_sphere(0.08, v, m); }, 1.6, 1e-5, sphere_params, 1, 0.55);
  expect_central_differences([&](double v) { return lognormal_sphere(0.08, 1.6, {v, m.im}); }, m.re, 1e-5, sphere_params,
                             2, 0.55);
  expect_central_differences([&](double v) { return lognormal_sphere(0.08, 1.6, {m.re, v}); }, m.im, 1e-5, sphere_params,
                             3, 0.55);

  const std::vector<EnsembleParam> layered_params = {dist("effective_variance"), {std::nullopt, param::LayerMReal{0}, 0},
                                                     {std::nullopt, param::LayerMImag{1}, 0},
                                                     {std::nullopt, param::RadiusFraction{0}, 0}};
  auto coated = [](double v, double f, Complex<double> core, Complex<double> shell) {
    return std::vector<Component>{{Particle{LayeredSphere{{f}, {{core}, {shell}}}}, gamma(0.2, v), 1.0}};
  };
  const Complex<double> core{1.6, 0.02};
  const Complex<double> shell{1.35, 0.005};
  expect_central_differences([&](double v) { return coated(v, 0.7, core, shell); }, 0.12, 1e-6, layered_params, 0, 0.5);
  expect_central_differences([&](double v) { return coated(0.12, 0.7, {v, core.im}, shell); }, core.re, 1e-5,
                             layered_params, 1, 0.5);
  expect_central_differences([&](double v) { return coated(0.12, 0.7, core, {shell.re, v}); }, shell.im, 1e-5,
                             layered_params, 2, 0.5);
  expect_central_differences([&](double v) { return coated(0.12, v, core, shell); }, 0.7, 1e-5, layered_params, 3, 0.5);
}

// Each distribution of a batch agrees with its own run within the two
// reported errors; the shared particle and the absence of particle
// parameters are preconditions.
TEST(EnsembleRun, BatchEqualsSeparateRuns) {
  const std::vector<Component> c = {{sphere(2), lognormal(0.1, 1.5), 1.0},
                                    {sphere(2), monodisperse(0.3), 2.0},
                                    {sphere(2), gamma(0.5, 0.1), 0.5}};
  const std::vector<double> wavelengths = {0.5, 0.7};
  const auto o = run_options(1e-6, {0.2}, GreekSelection::up_to(4));
  const auto batch = engine::run_batch(c, wavelengths, o);
  ASSERT_TRUE(batch.has_value()) << batch.error().to_string();
  ASSERT_EQ(batch->size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto alone = engine::run(std::vector<Component>{c[k]}, wavelengths, o);
    ASSERT_TRUE(alone.has_value());
    ASSERT_EQ((*batch)[k].size(), 2u);
    for (std::size_t w = 0; w < 2; ++w) {
      const auto b = flat((*batch)[k][w].value);
      const auto eb = flat((*batch)[k][w].error);
      const auto s = flat((*alone)[w].value);
      const auto es = flat((*alone)[w].error);
      for (std::size_t i = 0; i < b.size(); ++i) EXPECT_LE(std::fabs(b[i] - s[i]), eb[i] + es[i] + 1e-14) << k << ", " << i;
    }
  }
  std::vector<Component> other = c;
  other[1].particle = Particle{Sphere{{{1.5, 0.01}, {1.5, 0.02}}}};
  EXPECT_THROW((void)engine::run_batch(other, wavelengths, o), vantok::InternalFailure);
  auto with_m = o;
  with_m.params = {{std::nullopt, param::MReal{}, 0}};
  EXPECT_THROW((void)engine::run_batch(c, wavelengths, with_m), vantok::InternalFailure);

  const auto empty = engine::run_batch(c, {}, o);
  ASSERT_TRUE(empty.has_value());
  ASSERT_EQ(empty->size(), 3u);
  for (const auto& results : *empty) EXPECT_TRUE(results.empty());
}

// Bit-identical for 1 and 8 threads and under a permutation of the
// wavelengths; of several failing wavelengths the lowest index is reported.
TEST(EnsembleRun, ResultsIndependentOfScheduling) {
  const std::vector<Complex<double>> m = {{1.5, 0.01}, {1.45, 0.02}, {1.33, 0.0}};
  const std::vector<double> wavelengths = {0.45, 0.6, 0.9};
  auto components = [&](std::vector<std::size_t> order) {
    std::vector<Complex<double>> mo;
    for (std::size_t i : order) mo.push_back(m[i]);
    const Particle p{Sphere{mo}};
    return std::vector<Component>{{p, lognormal(0.15, 1.7), 1.0}, {p, gamma(0.3, 0.1), 0.5}};
  };
  const auto o = run_options(1e-6, {-0.5, 0.5}, GreekSelection::all(),
                             {dist("width"), {std::nullopt, param::MImag{}, 0}, weight(1)});
  const auto c = components({0, 1, 2});
  const auto one_thread = vantok::pool::with_threads(1, [&] { return engine::run(c, wavelengths, o); });
  const auto eight = vantok::pool::with_threads(8, [&] { return engine::run(c, wavelengths, o); });
  const auto permuted = engine::run(components({2, 0, 1}), std::vector<double>{0.9, 0.45, 0.6}, o);
  ASSERT_TRUE(one_thread && eight && permuted);
  const std::vector<std::size_t> from = {1, 2, 0};
  for (std::size_t w = 0; w < 3; ++w) {
    for (const auto* other : {&(*eight)[w], &(*permuted)[from[w]]}) {
      const EnsembleResult& x = (*one_thread)[w];
      std::vector<Outputs> xs = {x.value, x.error}, ys = {other->value, other->error};
      xs.insert(xs.end(), x.d.begin(), x.d.end());
      xs.insert(xs.end(), x.d_errors.begin(), x.d_errors.end());
      ys.insert(ys.end(), other->d.begin(), other->d.end());
      ys.insert(ys.end(), other->d_errors.begin(), other->d_errors.end());
      ASSERT_EQ(xs.size(), ys.size());
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const auto a = flat(xs[i]), b = flat(ys[i]);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t j = 0; j < a.size(); ++j) ASSERT_TRUE(same_bits(a[j], b[j])) << w << ", " << i << ", " << j;
      }
      EXPECT_EQ(x.panels, other->panels);
    }
  }

  // Wavelengths 1 and 3 reach size parameters above 1e6.
  const std::vector<double> failing = {0.5, 1e-7, 0.6, 2e-7};
  const auto c4 = std::vector<Component>{{sphere(4), lognormal(0.15, 1.7), 1.0}};
  for (const std::size_t threads : {1, 8}) {
    const auto r = vantok::pool::with_threads(threads, [&] { return engine::run(c4, failing, run_options(1e-4)); });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message().rfind("at wavelength 1e-7, radius ", 0), 0u) << r.error().message();
  }
}

// The ratios need a finite non-zero C_ext, C_sca and C_back: at m = 1 the
// sphere's a_n = b_n are at rounding level and its backscattering vanishes.
// A failing set-up surfaces even without wavelengths.
TEST(EnsembleRun, RefusesUndefinedRatios) {
  const std::vector<Component> c = {{Particle{Sphere{{{1.0, 0.0}}}}, monodisperse(0.2), 1.0}};
  const auto r = engine::run(c, std::vector<double>{0.5}, run_options(1e-6));
  vantok::test::expect_error(r, vantok::Error::Kind::InvalidInput,
                             "the ensemble's <C_back> is 0, so its ratios (albedo, asymmetry parameter, lidar ratio) "
                             "are undefined (does m = 1?)");
  const std::vector<Component> empty = {{sphere(1), tabulated({0.1, 0.2}, {0.0, 0.0}), 1.0}};
  EXPECT_FALSE(engine::run(empty, {}, run_options(1e-6)).has_value());
  const auto none = engine::run(c, {}, run_options(1e-6));
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}
