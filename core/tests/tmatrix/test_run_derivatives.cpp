// Derivative outputs of a spheroid solved with derivatives against fourth-
// order central differences of the plain f64 outputs (fixed N and quadrature,
// precision "f64": nothing changes between the shifted runs but the inputs);
// at eps = 1 the aspect-ratio partials vanish (a volume-preserving
// deformation is a pure l = 2 surface harmonic, which the orientation average
// annihilates to first order) and the others are the Mie derivatives; value
// parts against the plain outputs; the derivative solve's codes, error term
// and fallback; refusals, check order and caches.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/central_difference.hpp"
#include "support/expect_error.hpp"
#include "tmatrix/detail_derivative_solve.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using vantok::scalar::DualF64;
using vantok::test::expect_error;
using namespace vantok::tmatrix;
using Kind = vantok::Error::Kind;
using Series = std::vector<double>;

const Series MU{-1.0, -0.6, 0.0, 0.35, 0.9, 1.0};

/// x, eps, Re m, Im m and N (the quadrature 2N).
struct Point {
  std::array<double, 4> v;
  std::size_t n;
  Point shifted(std::size_t k, double h) const {
    Point p = *this;
    p.v[k] += h;
    return p;
  }
};

std::unique_ptr<State> run(const Point& p, bool derivatives, Precision precision = Precision::F64) {
  TMatrix t;
  t.n_terms = p.n;
  t.n_theta = 2 * p.n;
  t.precision = precision;
  t.allow_unvalidated = true;
  std::unique_ptr<State> slot;
  auto r = t.run(slot, {.x = p.v[0], .eps = p.v[1], .m = {p.v[2], p.v[3]}},
                 derivatives ? WithDerivatives::Yes : WithDerivatives::No);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().to_string());
  return slot;
}

/// Six phase-matrix buffers of n values, all -7.
struct Phase {
  std::array<Series, 6> f;
  explicit Phase(std::size_t n = MU.size()) { f.fill(Series(n, -7.0)); }
  PhaseBuffers spans() { return {f[0], f[1], f[2], f[3], f[4], f[5]}; }
};

void append(Series& out, const GreekCoefficients<double>& g) {
  for (const auto* v : g.vectors()) out.insert(out.end(), v->begin(), v->end());
}
void append(Series& out, const Phase& p) {
  for (const auto& v : p.f) out.insert(out.end(), v.begin(), v.end());
}

/// Groups of outputs: the five efficiencies; the Greek coefficients to 2N,
/// unnormalized then normalized; the phase matrix at MU, likewise.
using Groups = std::array<Series, 3>;

Groups plain_outputs(const Point& p) {
  const auto slot = run(p, false);
  const TMatrixSolution v(*slot);
  const auto q = v.efficiencies();
  Groups out{Series(q.begin(), q.end()), {}, {}};
  for (const bool unnormalized : {true, false}) {
    append(out[1], *v.greek(std::nullopt, unnormalized));
    Phase f;
    EXPECT_TRUE(v.phase_matrix(MU, unnormalized, f.spans()).has_value());
    append(out[2], f);
  }
  return out;
}

/// The same groups from a solution with derivatives: [0] the values
/// (efficiencies from the plain method), [1 + k] partial k.
std::array<Groups, 5> derivative_outputs(const TMatrixSolution& v) {
  std::array<Groups, 5> out;
  const auto q = v.efficiencies();
  out[0][0].assign(q.begin(), q.end());
  const auto jac = v.efficiencies_jacobian();
  EXPECT_TRUE(jac.has_value());
  for (std::size_t k = 0; k < 4; ++k) out[1 + k][0].assign((*jac)[k].begin(), (*jac)[k].end());
  for (const bool unnormalized : {true, false}) {
    const auto g = v.greek_with_derivatives(std::nullopt, unnormalized);
    EXPECT_TRUE(g.has_value());
    append(out[0][1], g->first);
    std::array<Phase, 5> f;
    EXPECT_TRUE(v.phase_matrix_with_derivatives(MU, unnormalized, f[0].spans(),
                                                {f[1].spans(), f[2].spans(), f[3].spans(), f[4].spans()})
                    .has_value());
    append(out[0][2], f[0]);
    for (std::size_t k = 0; k < 4; ++k) {
      append(out[1 + k][1], g->second[k]);
      append(out[1 + k][2], f[1 + k]);
    }
  }
  return out;
}

double largest(const Series& v) {
  double s = 0.0;
  for (const double e : v) s = std::fmax(s, std::fabs(e));
  return s;
}

/// The largest |got - want| relative to the largest |want|.
double worst(const Series& got, const Series& want) {
  EXPECT_EQ(got.size(), want.size());
  double w = 0.0;
  for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) w = std::fmax(w, std::fabs(got[i] - want[i]));
  return w / largest(want);
}

// Steps of 2e-4 of each parameter: truncation and rounding of the differences
// both near 1e-10 here. Prolate and oblate, at eps = 1.2 and 2.
TEST(TMatrixDerivatives, AgreeWithCentralDifferences) {
  for (const Point& p : {Point{{2.0, 1.2, 1.5, 0.02}, 8}, Point{{1.5, 2.0, 1.33, 0.1}, 8},
                         Point{{3.0, 2.0, 1.7, 0.005}, 10}, Point{{2.5, 0.5, 1.4, 0.05}, 10}}) {
    const auto slot = run(p, true);
    const auto got = derivative_outputs(TMatrixSolution(*slot));
    const Groups plain = plain_outputs(p);
    for (std::size_t g = 0; g < 3; ++g) {
      // Efficiencies: the same f64 blocks; Greek and phase: a dual average.
      EXPECT_LE(worst(got[0][g], plain[g]), g == 0 ? 0.0 : 1e-13) << p.v[1] << " group " << g;
      for (std::size_t k = 0; k < 4; ++k) {
        const auto fd = vantok::test::central_difference(
            [&](double s) { return plain_outputs(p.shifted(k, s))[g]; }, 2e-4 * p.v[k]);
        EXPECT_LE(worst(got[1 + k][g], fd), 2e-9) << "x " << p.v[0] << " eps " << p.v[1] << " k " << k << " g " << g;
      }
    }
  }
}

TEST(TMatrixDerivatives, SphereLimit) {
  for (const Point& p : {Point{{1.0, 1.0, 1.5, 0.02}, 7}, Point{{3.0, 1.0, 1.33, 0.1}, 12}}) {
    const auto slot = run(p, true);
    const auto got = derivative_outputs(TMatrixSolution(*slot));
    for (std::size_t g = 0; g < 3; ++g) {
      const double others = std::fmax(largest(got[1][g]), std::fmax(largest(got[3][g]), largest(got[4][g])));
      EXPECT_LE(largest(got[2][g]), 1e-12 * others) << "group " << g;
    }
    vantok::mie::Mie mie;
    ASSERT_TRUE(mie.solve({p.n, true}, true, p.v[0], {p.v[2], p.v[3]}).has_value());
    const auto c = mie.coefficients();
    const auto jac = c.efficiencies_jacobian(mie.derivatives());
    const auto greek = c.greek_with_derivatives(2 * p.n, mie.derivatives(), false);
    ASSERT_TRUE(greek.has_value());
    const std::array<const GreekCoefficients<double>*, 3> dg{&greek->x, &greek->re_m, &greek->im_m};
    for (std::size_t r = 0; r < 3; ++r) {
      const std::size_t k = r == 0 ? 0 : r + 1;
      EXPECT_LE(worst(got[1 + k][0], Series(jac.begin() + 5 * r, jac.begin() + 5 * r + 5)), 1e-12) << k;
      Series want;
      append(want, *dg[r]);
      const Series unnormalized(got[1 + k][1].begin(), got[1 + k][1].begin() + static_cast<long>(want.size()));
      EXPECT_LE(worst(unnormalized, want), 1e-12) << k;
    }
  }
}

// Shapes, exact normalisation, the order limit, caches, thread counts.
TEST(TMatrixDerivatives, ShapesCachesAndThreads) {
  const Point p{{1.0, 1.5, 1.5, 0.01}, 5};
  const auto slot = run(p, true);
  const TMatrixSolution v(*slot);
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
      EXPECT_EQ(Series(series->begin() + 11, series->end()), Series(4, 0.0));  // above 2N
    }
  }
  const auto zero = v.greek_with_derivatives(0, true);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->first.beta2.size() + zero->second[3].alpha4.size(), 2u);
  EXPECT_NEAR(zero->second[0].alpha1[0], (*v.efficiencies_jacobian())[0][1], 1e-12);  // d Q_sca / dx
  const auto one = vantok::pool::with_threads(1, [&] { return run(p, true); });
  EXPECT_EQ(derivative_outputs(v), vantok::pool::with_threads(1, [&] { return derivative_outputs(TMatrixSolution(*one)); }));
}

// Without derivatives: no Jacobian, the message, nothing cached. Buffer
// groups checked in order (values, d0..d3) before anything is computed; a
// bad cosine after the earlier ones were written.
TEST(TMatrixDerivatives, RefusalsAndCheckOrder) {
  const Point p{{1.0, 2.0, 1.5, 0.01}, 4};
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
  std::array<Phase, 5> b;
  const auto call = [&](const Series& mu) {
    return d.phase_matrix_with_derivatives(mu, false, b[0].spans(), {b[1].spans(), b[2].spans(), b[3].spans(), b[4].spans()});
  };
  const std::string lengths = "phase-matrix buffers must have one value per cosine (3), got ";
  b.fill(Phase(3));
  b[3].f[2].resize(2);
  b[4].f[0].resize(4, -7.0);
  expect_error(call({0.5, 0.2, -0.1}), Kind::InvalidInput, lengths + "[3, 3, 2, 3, 3, 3]");
  b[0].f[5].clear();
  expect_error(call({0.5, 0.2, -0.1}), Kind::InvalidInput, lengths + "[3, 3, 3, 3, 3, 0]");
  for (const Phase& group : b) {
    for (const auto& buf : group.f) EXPECT_EQ(buf, Series(buf.size(), -7.0));
  }
  EXPECT_FALSE(slot->greek_dual.filled());
  EXPECT_TRUE(d.phase_matrix_with_derivatives({}, true, {}, {}).has_value());
  EXPECT_TRUE(slot->greek_dual.filled());
  b.fill(Phase(3));
  expect_error(call({0.5, -1.5, 0.0}), Kind::InvalidInput, "wigner_d needs -1 <= x <= 1, got -1.5");
  for (const Phase& group : b) {
    EXPECT_NE(group.f[0][0], -7.0);
    EXPECT_EQ(group.f[0][1], -7.0);
  }
}

/// A derivative kernel of N + 1 = 3 modes returning `modes` modes with
/// T = diag(t0, 0, ...) and the given block errors; records its tolerance.
struct FakeKernel {
  double t0 = 1.0;
  std::vector<std::array<double, 2>> errors{{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  std::size_t modes = 1;
  double* tol_seen = nullptr;
  vantok::Result<derivative::TMatrixDerivatives> operator()(const Spheroid&, const Truncation& truncation,
                                                            double tol) const {
    const std::size_t n = truncation.n_terms;
    *tol_seen = tol;
    derivative::TMatrixDerivatives out{{{}, n}, errors, {{0, 2}, {0, 0}, {3, 3}}};
    for (std::size_t m = 0; m < modes; ++m) {
      SolvedMode<DualF64> mode{{}, kernel::row_lists(m, n)};
      mode.t[0].assign(mode.rows[0].size() * mode.rows[0].size(), {DualF64::constant(0.0), DualF64::constant(0.0)});
      mode.t[0][0].re = DualF64::variable(t0, 0);
      out.modes.modes.push_back(std::move(mode));
    }
    return out;
  }
};

// Codes per sweep pair cut to the modes returned, err over all N + 1 pairs
// (NaN skipped), tolerances inf ("f64") and rtol / 10 ("auto"), and the
// strict fallback test (err > tol max |T_ij|, which a NaN never passes) to
// m_max + 1 double-double modes; "double-double" never calls the kernel.
TEST(DerivativeSolve, CodesErrorAndFallback) {
  using P = PrecisionPath;
  double tol = 0.0;
  FakeKernel k{.errors = {{1e-3, NAN}, {0.0, 0.0}, {0.0, 4e-3}}, .modes = 2, .tol_seen = &tol};
  const auto solve = [&](Precision precision) {
    auto r = driver::solve_derivatives(k, {.x = 1.0, .eps = 1.5, .m = {1.5, 0.01}}, {2, 4, 1}, precision, 0.5);
    EXPECT_TRUE(r.has_value());
    return r ? std::move(*r) : driver::DerivativeSolved{};
  };
  const auto f64 = solve(Precision::F64);
  EXPECT_EQ(tol, INFINITY);
  EXPECT_EQ(f64.paths, (std::vector<P>{P::Refined, P::F64}));
  EXPECT_EQ(f64.err, 4e-3);
  EXPECT_EQ(f64.modes.modes.size(), 2u);
  const double limit = (0.5 / 10.0) * 1.0;  // tol max |T_ij|
  k.modes = 1;
  k.errors = {{limit, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  EXPECT_EQ(solve(Precision::Auto).paths, std::vector<P>{P::Refined});
  EXPECT_EQ(tol, 0.5 / 10.0);
  k.errors[2][1] = std::nextafter(limit, 1.0);
  EXPECT_EQ(solve(Precision::Auto).paths, (std::vector<P>{P::DoubleDouble, P::DoubleDouble}));
  k.errors[2][1] = NAN;
  EXPECT_EQ(solve(Precision::Auto).paths, std::vector<P>{P::Refined});
  // max |T_ij| = 0: the fallback happens exactly when err > 0.
  k.t0 = 0.0;
  k.errors = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  EXPECT_EQ(solve(Precision::Auto).paths.front(), P::Refined);
  k.errors[1][0] = 1e-300;
  EXPECT_EQ(solve(Precision::Auto).paths.front(), P::DoubleDouble);
  EXPECT_EQ(solve(Precision::F64).paths.front(), P::Refined);
  tol = -1.0;
  EXPECT_EQ(solve(Precision::DoubleDouble).modes.modes.size(), 2u);
  EXPECT_EQ(tol, -1.0);
}

// Through the run: one code per mode kept, the values of the dual blocks as
// the T blocks; "double-double" gives codes 2 (its partials are checked
// against double-double differences of the solve).
TEST(DerivativeSolve, PrecisionsThroughTheRun) {
  const Point p{{1.2, 1.5, 1.5, 0.02}, 5};
  const auto f64 = run(p, true, Precision::F64);
  const auto dd = run(p, true, Precision::DoubleDouble);
  const auto autop = run(p, true, Precision::Auto);
  for (const auto* s : {&f64, &dd, &autop}) {
    const Solved& solved = (*s)->converged.solved;
    EXPECT_EQ(solved.paths.size(), (*s)->derivatives->modes.size());
    EXPECT_EQ(solved.modes.modes.back().t[1], (*s)->derivatives->values().modes.back().t[1]);
  }
  EXPECT_EQ(dd->converged.solved.paths, std::vector<PrecisionPath>(6, PrecisionPath::DoubleDouble));
}

}  // namespace
