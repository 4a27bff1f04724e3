// Derivative outputs of a spheroid solved with derivatives: the efficiency
// Jacobian, the Greek coefficients and the phase matrix with their partials
// against fourth-order central differences of the plain f64 outputs (fixed N
// and quadrature, precision "f64", so that no truncation or path changes
// between the shifted runs); at eps = 1 the aspect-ratio partials vanish
// (a volume-preserving deformation is a pure l = 2 surface harmonic, which
// the orientation average annihilates to first order) and the others are the
// Mie derivatives; value parts against the plain outputs; the derivative
// solve's path codes, error term and automatic fallback; refusals, check
// order and caches.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/central_difference.hpp"
#include "support/expect_error.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/driver.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::scalar::DualF64;
using vantok::test::central_difference;
using vantok::test::expect_error;
using namespace vantok::tmatrix;
using C = Complex<double>;
using Kind = Error::Kind;

const std::vector<double> MU{-1.0, -0.6, 0.0, 0.35, 0.9, 1.0};

struct Point {
  double x;
  double eps;
  C m;
  std::size_t n_terms;
  /// The point with parameter k (x, eps, Re m, Im m) moved by h.
  Point shifted(std::size_t k, double h) const {
    Point p = *this;
    (k == 0 ? p.x : k == 1 ? p.eps : k == 2 ? p.m.re : p.m.im) += h;
    return p;
  }
  double parameter(std::size_t k) const { return k == 0 ? x : k == 1 ? eps : k == 2 ? m.re : m.im; }
};

std::unique_ptr<State> run(const Point& p, bool derivatives, Precision precision = Precision::F64) {
  TMatrix t;
  t.n_terms = p.n_terms;
  t.n_theta = 2 * p.n_terms;
  t.rtol = 1e-10;
  t.precision = precision;
  t.allow_unvalidated = true;
  std::unique_ptr<State> slot;
  auto r = t.run(slot, derivatives, p.eps, p.x, p.m);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().to_string());
  return slot;
}

/// Three groups of outputs: the five efficiencies; the Greek coefficients to
/// 2N, unnormalized then normalized; the phase matrix at MU, unnormalized then
/// normalized, element-major.
using Groups = std::array<std::vector<double>, 3>;

void append_greek(std::vector<double>& out, const GreekCoefficients<double>& g) {
  for (const auto* v : g.vectors()) out.insert(out.end(), v->begin(), v->end());
}

void append_phase(std::vector<double>& out, const std::array<std::vector<double>, 6>& f) {
  for (const auto& v : f) out.insert(out.end(), v.begin(), v.end());
}

std::array<std::vector<double>, 6> phase_buffers() {
  std::array<std::vector<double>, 6> f;
  for (auto& v : f) v.assign(MU.size(), -7.0);
  return f;
}

PhaseBuffers spans(std::array<std::vector<double>, 6>& f) { return {f[0], f[1], f[2], f[3], f[4], f[5]}; }

Groups plain_outputs(const Point& p) {
  const auto slot = run(p, false);
  const TMatrixSolution v(*slot);
  Groups out;
  const auto q = v.efficiencies();
  out[0].assign(q.begin(), q.end());
  for (const bool unnormalized : {true, false}) {
    append_greek(out[1], *v.greek(std::nullopt, unnormalized));
    auto f = phase_buffers();
    EXPECT_TRUE(v.phase_matrix(MU, unnormalized, spans(f)).has_value());
    append_phase(out[2], f);
  }
  return out;
}

/// The same outputs from a solution with derivatives: the values (part -1,
/// efficiencies from the plain method) or partial k.
std::array<Groups, 5> derivative_outputs(const TMatrixSolution& v) {
  std::array<Groups, 5> out;  // [0] values, [1 + k] partial k
  const auto q = v.efficiencies();
  out[0][0].assign(q.begin(), q.end());
  const auto jac = v.efficiencies_jacobian();
  EXPECT_TRUE(jac.has_value());
  for (std::size_t k = 0; k < 4; ++k) out[1 + k][0].assign((*jac)[k].begin(), (*jac)[k].end());
  for (const bool unnormalized : {true, false}) {
    const auto g = v.greek_with_derivatives(std::nullopt, unnormalized);
    EXPECT_TRUE(g.has_value());
    append_greek(out[0][1], g->first);
    for (std::size_t k = 0; k < 4; ++k) append_greek(out[1 + k][1], g->second[k]);
    auto values = phase_buffers();
    std::array<std::array<std::vector<double>, 6>, 4> d{phase_buffers(), phase_buffers(), phase_buffers(),
                                                         phase_buffers()};
    EXPECT_TRUE(v.phase_matrix_with_derivatives(MU, unnormalized, spans(values),
                                                {spans(d[0]), spans(d[1]), spans(d[2]), spans(d[3])})
                    .has_value());
    append_phase(out[0][2], values);
    for (std::size_t k = 0; k < 4; ++k) append_phase(out[1 + k][2], d[k]);
  }
  return out;
}

double largest(const std::vector<double>& v) {
  double s = 0.0;
  for (const double e : v) s = std::fmax(s, std::fabs(e));
  return s;
}

/// The largest |got - want| of a group relative to its largest |want|.
double worst(const std::vector<double>& got, const std::vector<double>& want) {
  EXPECT_EQ(got.size(), want.size());
  double w = 0.0;
  for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) w = std::fmax(w, std::fabs(got[i] - want[i]));
  return w / largest(want);
}

// Every derivative output against central differences of the plain outputs
// with steps of 2e-4 of each parameter (fourth order: truncation and
// rounding both near 1e-10 here),
// prolate and oblate, at eps = 1.2 and 2; the value parts against the plain
// outputs at the same truncation.
TEST(TMatrixDerivatives, AgreeWithCentralDifferences) {
  for (const Point& p : {Point{2.0, 1.2, {1.5, 0.02}, 8}, Point{1.5, 2.0, {1.33, 0.1}, 8},
                         Point{3.0, 2.0, {1.7, 0.005}, 10}, Point{2.5, 0.5, {1.4, 0.05}, 10}}) {
    const auto slot = run(p, true);
    const auto got = derivative_outputs(TMatrixSolution(*slot));
    const Groups plain = plain_outputs(p);
    for (std::size_t g = 0; g < 3; ++g) {
      // Efficiencies: the same f64 blocks; Greek and phase: a dual average.
      EXPECT_LE(worst(got[0][g], plain[g]), g == 0 ? 0.0 : 1e-13) << p.eps << " group " << g;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      const double h = 2e-4 * p.parameter(k);
      std::array<std::vector<double>, 3> fd;
      for (std::size_t g = 0; g < 3; ++g) {
        fd[g] = central_difference([&](double s) { return plain_outputs(p.shifted(k, s))[g]; }, h);
        EXPECT_LE(worst(got[1 + k][g], fd[g]), 2e-9) << "x " << p.x << " eps " << p.eps << " k " << k << " group " << g;
      }
    }
  }
}

// At eps = 1: the aspect-ratio partial of every output vanishes to rounding,
// and the x, Re m and Im m partials are those of the landed Mie solution.
TEST(TMatrixDerivatives, SphereLimit) {
  for (const Point& p : {Point{1.0, 1.0, {1.5, 0.02}, 7}, Point{3.0, 1.0, {1.33, 0.1}, 12}}) {
    const auto slot = run(p, true);
    const auto got = derivative_outputs(TMatrixSolution(*slot));
    for (std::size_t g = 0; g < 3; ++g) {
      double others = 0.0;
      for (const std::size_t k : {0, 2, 3}) others = std::fmax(others, largest(got[1 + k][g]));
      EXPECT_LE(largest(got[2][g]), 1e-12 * others) << "group " << g;
    }
    vantok::mie::Mie mie;
    ASSERT_TRUE(mie.solve({p.n_terms, true}, true, p.x, p.m).has_value());
    const auto c = mie.coefficients();
    const auto jac = c.efficiencies_jacobian(mie.derivatives());
    const auto greek = c.greek_with_derivatives(2 * p.n_terms, mie.derivatives(), false);
    ASSERT_TRUE(greek.has_value());
    const std::array<const GreekCoefficients<double>*, 3> dg{&greek->x, &greek->re_m, &greek->im_m};
    for (std::size_t r = 0; r < 3; ++r) {
      const std::size_t k = r == 0 ? 0 : r + 1;
      const std::vector<double> want(jac.begin() + 5 * r, jac.begin() + 5 * r + 5);
      EXPECT_LE(worst(got[1 + k][0], want), 1e-12) << "efficiencies, partial " << k;
      const std::vector<double> unnormalized(got[1 + k][1].begin(),
                                             got[1 + k][1].begin() + 6 * (2 * p.n_terms + 1));
      std::vector<double> mie_greek;
      append_greek(mie_greek, *dg[r]);
      EXPECT_LE(worst(unnormalized, mie_greek), 1e-12) << "Greek, partial " << k;
    }
  }
}

// Normalized coefficients: alpha1_0 exactly 1 with derivatives exactly 0;
// orders above 2N zero; one entry at order 0; the order limit; a cache filled
// once; the same bits on one thread.
TEST(TMatrixDerivatives, ShapesCachesAndThreads) {
  const Point p{1.0, 1.5, {1.5, 0.01}, 5};
  const auto slot = run(p, true);
  const TMatrixSolution v(*slot);
  EXPECT_FALSE(slot->greek_dual.filled());
  expect_error(v.greek_with_derivatives(2097153, true), Kind::InvalidInput, "the Greek order must be at most 2097152");
  EXPECT_FALSE(slot->greek_dual.filled());
  const auto g = v.greek_with_derivatives(14, false);
  ASSERT_TRUE(g.has_value());
  EXPECT_TRUE(slot->greek_dual.filled());
  EXPECT_EQ(g->first.alpha1[0], 1.0);
  for (const auto& d : g->second) {
    EXPECT_EQ(d.alpha1[0], 0.0);
    EXPECT_NE(d.alpha1[1], 0.0);
    for (const auto* series : d.vectors()) {
      ASSERT_EQ(series->size(), 15u);
      for (std::size_t l = 11; l < 15; ++l) EXPECT_EQ((*series)[l], 0.0);
    }
  }
  const auto zero = v.greek_with_derivatives(0, true);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->first.beta2.size(), 1u);
  EXPECT_EQ(zero->second[3].alpha4.size(), 1u);
  EXPECT_EQ(*v.greek_raw_dual(), *v.greek_raw_dual());
  // The x row of the unnormalized alpha1_0 = Q_sca is the Jacobian's.
  EXPECT_NEAR(zero->second[0].alpha1[0], (*v.efficiencies_jacobian())[0][1], 1e-12);

  const auto one = vantok::pool::with_threads(1, [&] { return run(p, true); });
  const TMatrixSolution w(*one);
  const auto a = derivative_outputs(v);
  const auto b = vantok::pool::with_threads(1, [&] { return derivative_outputs(w); });
  EXPECT_EQ(a, b);
}

// Without derivatives: no Jacobian and the message, nothing cached. Buffer
// groups are checked in order (values, d0..d3), the first short one named,
// nothing written; no cosines with empty buffers fills the cache.
TEST(TMatrixDerivatives, RefusalsAndCheckOrder) {
  const Point p{1.0, 2.0, {1.5, 0.01}, 4};
  const auto plain = run(p, false);
  const TMatrixSolution v(*plain);
  const std::string msg = "the solution was computed without derivatives (use compute_with_derivatives)";
  EXPECT_FALSE(v.efficiencies_jacobian().has_value());
  expect_error(v.greek_raw_dual(), Kind::InvalidInput, msg);
  expect_error(v.greek_with_derivatives(std::nullopt, false), Kind::InvalidInput, msg);
  expect_error(v.phase_matrix_with_derivatives({}, false, {}, {}), Kind::InvalidInput, msg);
  EXPECT_FALSE(plain->greek_dual.filled());

  const auto slot = run(p, true);
  const TMatrixSolution d(*slot);
  std::array<std::array<std::vector<double>, 6>, 5> b;
  for (auto& group : b) {
    for (auto& buf : group) buf.assign(3, -7.0);
  }
  const std::vector<double> mu{0.5, 0.2, -0.1};
  const auto call = [&] {
    return d.phase_matrix_with_derivatives(mu, false, spans(b[0]),
                                           {spans(b[1]), spans(b[2]), spans(b[3]), spans(b[4])});
  };
  b[3][2].resize(2);
  b[4][0].resize(4, -7.0);
  expect_error(call(), Kind::InvalidInput,
               "phase-matrix buffers must have one value per cosine (3), got [3, 3, 2, 3, 3, 3]");
  b[0][5].resize(0);
  expect_error(call(), Kind::InvalidInput,
               "phase-matrix buffers must have one value per cosine (3), got [3, 3, 3, 3, 3, 0]");
  for (const auto& group : b) {
    for (const auto& buf : group) {
      for (const double e : buf) EXPECT_EQ(e, -7.0);
    }
  }
  EXPECT_FALSE(slot->greek_dual.filled());
  EXPECT_TRUE(d.phase_matrix_with_derivatives({}, true, {}, {}).has_value());
  EXPECT_TRUE(slot->greek_dual.filled());
  for (auto& group : b) {
    for (auto& buf : group) buf.assign(3, -7.0);
  }
  const std::vector<double> bad{0.5, -1.5, 0.0};
  expect_error(d.phase_matrix_with_derivatives(bad, false, spans(b[0]),
                                               {spans(b[1]), spans(b[2]), spans(b[3]), spans(b[4])}),
               Kind::InvalidInput, "wigner_d needs -1 <= x <= 1, got -1.5");
  for (const auto& group : b) EXPECT_TRUE(group[0][0] != -7.0 && group[0][1] == -7.0);
}

// --- the derivative solve ---------------------------------------------------

/// A derivative kernel that returns one mode with T = diag(t0, 0), the given
/// block errors for N + 1 = 3 modes and the given sweeps, and records the
/// tolerance it was handed.
struct FakeKernel {
  double t0 = 1.0;
  std::vector<std::array<double, 2>> errors{{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  std::vector<std::array<std::size_t, 2>> sweeps{{0, 0}, {0, 0}, {0, 0}};
  std::size_t modes = 1;
  double* tol_seen = nullptr;

  vantok::Result<kernel::TMatrixDerivatives> operator()(std::size_t n, std::size_t, std::size_t, double, double,
                                                        double, double, double tol) const {
    if (tol_seen != nullptr) *tol_seen = tol;
    kernel::TMatrixDerivatives out;
    out.modes.n_terms = n;
    for (std::size_t m = 0; m < modes; ++m) {
      kernel::SolvedMode<DualF64> mode;
      mode.rows = kernel::row_lists(m, n);
      const std::size_t k = mode.rows[0].size();
      mode.t[0].assign(k * k, {DualF64::constant(0.0), DualF64::constant(0.0)});
      mode.t[0][0].re = DualF64::variable(t0, 0);
      out.modes.modes.push_back(std::move(mode));
    }
    out.block_errors = errors;
    out.refine_sweeps = sweeps;
    return out;
  }
};

vantok::Result<driver::DerivativeSolved> fake_solve(const FakeKernel& k, Precision precision, double rtol = 0.5) {
  return driver::solve_derivatives(k, 2, 4, precision, 1, 1.0, 1.5, 1.5, 0.01, rtol);
}

// Codes per sweep pair cut to the modes returned, err over all N + 1 pairs
// (NaN skipped), tolerances inf ("f64") and rtol / 10 ("auto"), and the
// strict fallback test, which a NaN never passes.
TEST(DerivativeSolve, CodesErrorAndFallback) {
  using P = PrecisionPath;
  FakeKernel k;
  k.modes = 2;
  k.sweeps = {{0, 2}, {0, 0}, {3, 3}};
  k.errors = {{1e-3, NAN}, {0.0, 0.0}, {0.0, 4e-3}};
  double tol = 0.0;
  k.tol_seen = &tol;
  auto f64 = fake_solve(k, Precision::F64);
  ASSERT_TRUE(f64.has_value());
  EXPECT_EQ(tol, INFINITY);
  EXPECT_EQ(f64->paths, (std::vector<P>{P::Refined, P::F64}));
  EXPECT_EQ(f64->err, 4e-3);
  EXPECT_EQ(f64->modes.modes.size(), 2u);

  const double limit = (0.5 / 10.0) * 1.0;  // tol max |T_ij|
  k.modes = 1;
  k.errors = {{limit, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  auto at = fake_solve(k, Precision::Auto);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(tol, 0.5 / 10.0);
  EXPECT_EQ(at->paths, std::vector<P>{P::Refined});  // not replaced
  k.errors[2][1] = std::nextafter(limit, 1.0);
  auto above = fake_solve(k, Precision::Auto);
  ASSERT_TRUE(above.has_value());
  EXPECT_EQ(above->paths, (std::vector<P>{P::DoubleDouble, P::DoubleDouble}));  // the real solve, m_max = 1
  k.errors[2][1] = NAN;
  EXPECT_EQ(fake_solve(k, Precision::Auto)->paths, std::vector<P>{P::Refined});
  // M = 0: the fallback happens exactly when err > 0; "f64" never falls back.
  k.t0 = 0.0;
  k.errors = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  EXPECT_EQ(fake_solve(k, Precision::Auto)->paths.front(), P::Refined);
  k.errors[1][0] = 1e-300;
  EXPECT_EQ(fake_solve(k, Precision::Auto)->paths.front(), P::DoubleDouble);
  EXPECT_EQ(fake_solve(k, Precision::F64)->paths.front(), P::Refined);
  // "double-double" never calls the kernel.
  tol = -1.0;
  const auto dd = fake_solve(k, Precision::DoubleDouble);
  ASSERT_TRUE(dd.has_value());
  EXPECT_EQ(dd->paths.size(), 2u);  // m_max + 1, not N + 1
  EXPECT_EQ(dd->modes.modes.size(), 2u);
  EXPECT_EQ(tol, -1.0);
}

// Through the run: every precision gives one code per mode kept and value
// parts as the replaced T blocks; "double-double" codes are all 2 and its
// partials agree with the "f64" ones.
TEST(DerivativeSolve, PrecisionsThroughTheRun) {
  const Point p{1.2, 1.5, {1.5, 0.02}, 5};
  const auto f64 = run(p, true, Precision::F64);
  const auto dd = run(p, true, Precision::DoubleDouble);
  const auto autop = run(p, true, Precision::Auto);
  for (const auto* s : {&f64, &dd, &autop}) {
    const Solved& solved = (*s)->converged.solved;
    ASSERT_TRUE((*s)->derivatives.has_value());
    EXPECT_EQ(solved.paths.size(), (*s)->derivatives->modes.size());
    const auto values = (*s)->derivatives->values();
    EXPECT_EQ(solved.modes.modes.size(), values.modes.size());
    EXPECT_EQ(solved.modes.modes.back().t[1], values.modes.back().t[1]);
  }
  for (const PrecisionPath c : dd->converged.solved.paths) EXPECT_EQ(c, PrecisionPath::DoubleDouble);
  const auto a = derivative_outputs(TMatrixSolution(*f64));
  const auto b = derivative_outputs(TMatrixSolution(*dd));
  for (std::size_t k = 0; k < 5; ++k) {
    for (std::size_t g = 0; g < 3; ++g) EXPECT_LE(worst(a[k][g], b[k][g]), 1e-12) << k << " " << g;
  }
}

}  // namespace
