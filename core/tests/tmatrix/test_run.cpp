// TMatrix::run and its outputs: the input checks in order with their
// messages, the caps of the plan, the slot and cache semantics, the output
// refusals; then physics: the sphere limit against the landed Mie
// functions, the normalisation and symmetry identities of a randomly oriented
// spheroid, the Rayleigh limit (energy conservation is checked on the
// kernel's blocks), and the same bits on one thread and many.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/tmatrix/random_orientation.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::test::expect_error;
using vantok::test::rel_err;
using namespace vantok::tmatrix;
using C = Complex<double>;
using Kind = Error::Kind;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

struct Solution {
  std::unique_ptr<State> slot;
  TMatrixSolution view() const { return TMatrixSolution(*slot); }
};

Solution solve(const TMatrix& options, double eps, double x, C m) {
  Solution s;
  auto r = options.run(s.slot, {.x = x, .eps = eps, .m = m}, WithDerivatives::No);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().to_string());
  return s;
}

TMatrix with_rtol(double rtol) {
  TMatrix t;
  t.rtol = rtol;
  return t;
}

TMatrix fixed(std::size_t n_terms, std::size_t n_theta) {
  TMatrix t;
  t.n_terms = n_terms;
  t.n_theta = n_theta;
  return t;
}

/// The six phase-matrix elements at mu (expected to succeed).
std::vector<std::vector<double>> phase(const TMatrixSolution& v, const std::vector<double>& mu, bool unnormalized) {
  std::vector<std::vector<double>> f(6, std::vector<double>(mu.size()));
  EXPECT_TRUE(v.phase_matrix(mu, unnormalized, {f[0], f[1], f[2], f[3], f[4], f[5]}).has_value());
  return f;
}

// --- checks, plan, slot ---------------------------------------------------

TEST(TMatrixRun, ChecksInOrder) {
  struct Case {
    double eps, x;
    C m;
    double rtol;
    Kind kind;
    const char* msg;
  };
  const TMatrix base;
  for (const Case& c : std::vector<Case>{
           {0.0, NaN, {NaN, 0}, 2.0, Kind::InvalidInput, "the aspect ratio must be finite and positive, got 0"},
           {-1.0, 1, {1.5, 0}, 0.1, Kind::InvalidInput, "the aspect ratio must be finite and positive, got -1"},
           {INF, 1, {1.5, 0}, 0.1, Kind::InvalidInput, "the aspect ratio must be finite and positive, got inf"},
           {NaN, 1, {1.5, 0}, 0.1, Kind::InvalidInput, "the aspect ratio must be finite and positive, got NaN"},
           {2, 0.0, {NaN, 0}, 2.0, Kind::InvalidInput, "x must be finite and positive, got 0"},
           {2, INF, {1.5, 0}, 0.1, Kind::InvalidInput, "x must be finite and positive, got inf"},
           {2, 1, {0.0, 0}, 2.0, Kind::InvalidInput, "m must be finite with Re m > 0 and Im m \u2265 0, got 0+0i"},
           {2, 1, {1.5, -1e-300}, 0.1, Kind::InvalidInput, nullptr},
           {2, 1, {1.5, INF}, 0.1, Kind::InvalidInput, "m must be finite with Re m > 0 and Im m \u2265 0, got 1.5+infi"},
           {2, 1, {1.5, 0}, 1.0, Kind::InvalidInput, "rtol must be in (0, 1), got 1"},
           {2, 1, {1.5, 0}, NaN, Kind::InvalidInput, "rtol must be in (0, 1), got NaN"},
           {6, 1, {1.5, 0.01}, 1e-14, Kind::OutsideValidatedDomain, "aspect ratio 6, x = 1, m = 1.5+0.01i"},
           {2, 0.2, {1.5, 0}, 0.1, Kind::OutsideValidatedDomain, "aspect ratio 2, x = 0.2, m = 1.5+0i"},
           {2, 1, {1.5, 0.6}, 0.1, Kind::OutsideValidatedDomain, "aspect ratio 2, x = 1, m = 1.5+0.6i"},
           {2, 40, {1.5, 0}, 0.1, Kind::OutsideValidatedDomain, "aspect ratio 2, x = 40, m = 1.5+0i"},
           {2, 1, {1.5, 0}, 1e-13, Kind::OutsideValidatedDomain, "rtol 1e-13 is below 1e-12"},
       }) {
    TMatrix t = base;
    t.rtol = c.rtol;
    std::unique_ptr<State> slot;
    // -1e-300 printed without an exponent: 299 zeros after the point.
    const std::string tiny = "m must be finite with Re m > 0 and Im m \u2265 0, got 1.5-0." +
                             std::string(299, '0') + "1i";
    expect_error(t.run(slot, {.x = c.x, .eps = c.eps, .m = c.m}, WithDerivatives::No), c.kind, c.msg != nullptr ? c.msg : tiny);
    EXPECT_EQ(slot, nullptr);
  }
  // Counts come after the domain; the first count that is wrong wins.
  std::unique_ptr<State> slot;
  for (const auto& [n_terms, n_theta, greek, msg] :
       std::vector<std::tuple<std::size_t, std::optional<std::size_t>, std::size_t, std::string>>{
           {0, 0, 0, "N must be in 1..=500, got 0"}, {501, 0, 0, "N must be in 1..=500, got 501"},
           {500, 0, 0, "n_theta must be at least 1"}, {500, std::nullopt, 2097153, "the Greek order must be at most 2097152"}}) {
    TMatrix counts = fixed(n_terms, 0);
    counts.n_theta = n_theta;
    if (greek != 0) counts.greek_order = greek;
    expect_error(counts.run(slot, {.x = 1, .eps = 2, .m = {1.5, 0}}, WithDerivatives::No), Kind::InvalidInput, msg);
  }
  // Outside the domain with allow_unvalidated: solved, even at rtol 1e-14;
  // rtol 1e-12, Im m = -0 and eps at the domain's edge: accepted.
  TMatrix free = fixed(6, 12);
  free.rtol = 1e-14;
  free.allow_unvalidated = true;
  EXPECT_TRUE(free.run(slot, {.x = 0.2, .eps = 6.0, .m = {1.5, 0.0}}, WithDerivatives::No).has_value());
  TMatrix edge = fixed(5, 10);
  edge.rtol = 1e-12;
  EXPECT_TRUE(edge.run(slot, {.x = 0.3, .eps = 5.0, .m = {1.3, -0.0}}, WithDerivatives::No).has_value());
}

TEST(TMatrixRun, PlanCapsOfTheWorkedSpheroids) {
  for (const auto& [x, eps, m, rtol, max_terms, max_theta] :
       {std::tuple{1.0, 2.0, C{1.5, 0}, 1e-6, 38u, 104u}, {1.0, 0.5, C{1.5, 0.01}, 1e-6, 40u, 112u}, {5.0, 2.0, C{1.5, 0.01}, 1e-6, 60u, 168u},
        {10.0, 0.5, C{1.33, 0}, 1e-4, 90u, 264u}, {1.0, 1.0, C{1.5, 0}, 1e-6, 38u, 96u}}) {
    const Plan p = with_rtol(rtol).plan({.x = x, .eps = eps, .m = m});
    EXPECT_EQ(p.max_terms, max_terms) << x << " " << eps;
    EXPECT_EQ(p.max_theta, max_theta) << x << " " << eps;
  }
  // Given caps: max_terms is still capped at 500, max_theta is taken as given;
  // absurd shapes saturate instead of wrapping to small caps.
  TMatrix given;
  given.max_terms = 1000;
  given.max_theta = 7;
  EXPECT_EQ(given.plan({.x = 1, .eps = 2, .m = {1.5, 0}}).max_terms, 500u);
  EXPECT_EQ(given.plan({.x = 1, .eps = 2, .m = {1.5, 0}}).max_theta, 7u);
  EXPECT_EQ(TMatrix{}.plan({.x = 1, .eps = 1e20, .m = {1.5, 0}}).max_theta, SIZE_MAX);
  EXPECT_EQ(TMatrix{}.plan({.x = 1e300, .eps = 1, .m = {1.5, 0}}).max_terms, 500u);
  EXPECT_EQ(TMatrix{}.plan({.x = 1e300, .eps = 1, .m = {1.5, 0}}).max_theta, SIZE_MAX);
}

// The Greek cache is filled by the first output that needs it, after the
// order check; a failing run leaves the State in place, a successful one
// replaces it whole.
TEST(TMatrixRun, SlotAndCaches) {
  const TMatrix t = fixed(6, 12);
  std::unique_ptr<State> slot;
  auto first = t.run(slot, {.x = 1.0, .eps = 2.0, .m = {1.5, 0.01}}, WithDerivatives::No);
  ASSERT_TRUE(first.has_value());
  const State* kept = slot.get();
  expect_error(first->greek(2097153, false), Kind::InvalidInput, "the Greek order must be at most 2097152");
  EXPECT_FALSE(slot->greek.filled());
  ASSERT_TRUE(first->phase_matrix({}, false, {}).has_value());
  EXPECT_TRUE(slot->greek.filled());
  EXPECT_EQ(slot->x, 1.0);
  EXPECT_EQ(slot->eps, 2.0);
  EXPECT_EQ(slot->rtol, 1e-6);
  EXPECT_FALSE(slot->derivatives.has_value());
  EXPECT_EQ(slot->converged.solved.paths.size(), slot->converged.solved.modes.modes.size());
  expect_error(t.run(slot, {.x = 1.0, .eps = -2.0, .m = {1.5, 0.01}}, WithDerivatives::No), Kind::InvalidInput,
               "the aspect ratio must be finite and positive, got -2");
  EXPECT_EQ(slot.get(), kept);
  EXPECT_TRUE(slot->greek.filled());
  ASSERT_TRUE(t.run(slot, {.x = 1.0, .eps = 0.5, .m = {1.5, 0.01}}, WithDerivatives::No).has_value());
  EXPECT_FALSE(slot->greek.filled());
  EXPECT_EQ(slot->eps, 0.5);
}

TEST(TMatrixSolution, CachedErrorIsReturnedEveryTime) {
  // A state whose Greek coefficients cannot be formed (2N beyond the order
  // limit; no run makes one).
  State s;
  s.converged.solved.modes.n_terms = 1048577;
  s.x = 1.0;
  const TMatrixSolution view(s);
  // Without an order, 2N itself is refused before the cache is read.
  expect_error(view.greek(std::nullopt, true), Kind::InvalidInput, "the Greek order must be at most 2097152");
  EXPECT_FALSE(s.greek.filled());
  const std::string msg = "the Greek order must be at most 2097152, got 2097154";
  expect_error(view.greek(3, false), Kind::InvalidInput, msg);
  EXPECT_TRUE(s.greek.filled());
  expect_error(view.greek(0, true), Kind::InvalidInput, msg);
  expect_error(view.greek_raw(), Kind::InvalidInput, msg);
  const auto q = view.efficiencies();
  EXPECT_EQ(q[0], 0.0);
  EXPECT_EQ(q[2], 0.0);
  EXPECT_TRUE(std::isnan(q[3]));
  EXPECT_TRUE(std::isnan(q[4]));
}

TEST(TMatrixSolution, OutputShapesAndRefusals) {
  const Solution s = solve(fixed(5, 10), 2.0, 1.0, {1.5, 0.01});
  const TMatrixSolution v = s.view();
  // Buffer lengths before anything is written; a bad cosine after the
  // earlier ones were.
  std::vector<std::vector<double>> b(6, std::vector<double>(3, -7.0));
  b[5].resize(2);
  const double mu[3] = {0.5, 1.5, -0.2};
  expect_error(v.phase_matrix(mu, false, {b[0], b[1], b[2], b[3], b[4], b[5]}), Kind::InvalidInput,
               "phase-matrix buffers must have one value per cosine (3), got [3, 3, 3, 3, 3, 2]");
  EXPECT_EQ(b[0][0], -7.0);
  b[5].resize(3, -7.0);
  expect_error(v.phase_matrix(mu, false, {b[0], b[1], b[2], b[3], b[4], b[5]}), Kind::InvalidInput,
               "wigner_d needs -1 <= x <= 1, got 1.5");
  EXPECT_NE(b[0][0], -7.0);
  EXPECT_EQ(b[0][1], -7.0);
}

// --- physics ----------------------------------------------------------------

// eps = 1: the efficiencies, Greek coefficients and phase matrix of the
// landed Mie solution.
TEST(TMatrixSphereLimit, MatchesMie) {
  const std::vector<double> mu{-1.0, -0.7, 0.0, 0.3, 0.95, 1.0};
  for (const double x : {0.5, 2.0, 5.0}) {
    for (const C m : {C{1.33, 0.0}, C{1.5, 0.01}, C{2.0, 0.5}}) {
      const Solution s = solve(with_rtol(1e-10), 1.0, x, m);
      const TMatrixSolution v = s.view();
      vantok::mie::Mie mie;
      ASSERT_TRUE(mie.solve(vantok::mie::SolveOptions{}, false, x, m).has_value());
      const auto c = mie.coefficients();
      const auto want = c.efficiencies(), got = v.efficiencies();
      for (std::size_t i = 0; i < 5; ++i) EXPECT_LE(std::fabs(got[i] - want[i]), 1e-9 * std::fabs(want[i == 2 ? 0 : i])) << x << " " << i;
      for (const bool unnormalized : {false, true}) {
        const std::size_t order = 2 * s.slot->converged.solved.modes.n_terms;
        auto g = v.greek(order, unnormalized);
        auto ref = c.greek(order, !unnormalized);
        ASSERT_TRUE(g);
        ASSERT_TRUE(ref);
        for (std::size_t k = 0; k < 6; ++k) {
          for (std::size_t l = 0; l <= order; ++l) {
            EXPECT_LE(std::fabs((*g->vectors()[k])[l] - (*ref->vectors()[k])[l]), 1e-9 * ref->alpha1[0]) << x << " " << k << " " << l;
          }
        }
      }
      const auto f = phase(v, mu, false);
      std::vector<std::vector<double>> r(4, std::vector<double>(mu.size()));
      ASSERT_TRUE(c.phase_matrix(mu, true, {r[0], r[1], r[2], r[3]}).has_value());
      const double top = *std::max_element(r[0].begin(), r[0].end());
      for (std::size_t u = 0; u < mu.size(); ++u) {
        // F22 = F11 and F44 = F33.
        for (const auto& [k, ref] : {std::pair{0, r[0][u]}, {1, r[1][u]}, {3, r[2][u]}, {4, r[3][u]}, {2, f[0][u]}, {5, f[3][u]}}) {
          EXPECT_LE(std::fabs(f[k][u] - ref), 1e-9 * top) << x << " " << k << " " << u;
        }
      }
    }
  }
}

// A mirror-symmetric particle in random orientation: alpha1_0 and alpha1_1
// against the efficiencies, the bounds and zeros of the coefficients, the
// normalisation of F11, exact forward and backward elements, and
// |F_ij| <= F11.
TEST(TMatrixSpheroid, NormalisationAndSymmetryIdentities) {
  for (const double eps : {0.5, 2.0}) {
    const Solution s = solve(with_rtol(1e-8), eps, 2.0, {1.5, 0.01});
    const TMatrixSolution v = s.view();
    const auto q = v.efficiencies();
    auto norm = v.greek(std::nullopt, false);
    auto unnorm = v.greek(std::nullopt, true);
    ASSERT_TRUE(norm);
    ASSERT_TRUE(unnorm);
    EXPECT_EQ(norm->alpha1[0], 1.0);
    EXPECT_LE(rel_err(unnorm->alpha1[0], q[1]), 1e-12);  // orientation average vs sum |T|^2
    EXPECT_LE(rel_err(norm->alpha1[1], 3.0 * q[4]), 1e-14);
    for (std::size_t l = 0; l < norm->alpha1.size(); ++l) EXPECT_LE(std::fabs(norm->alpha1[l]), 2.0 * static_cast<double>(l) + 1.0);
    for (std::size_t l = 0; l < 2; ++l) {
      EXPECT_EQ(norm->alpha2[l], 0.0);
      EXPECT_EQ(norm->alpha3[l], 0.0);
      EXPECT_EQ(norm->beta1[l], 0.0);
      EXPECT_EQ(norm->beta2[l], 0.0);
    }
    const std::size_t n = s.slot->converged.solved.modes.n_terms;
    const auto rule = vantok::special::gauss_legendre::gauss_legendre<double>(n + 1);
    const auto f = phase(v, rule->first, false);
    double integral = 0.0;
    for (std::size_t i = 0; i <= n; ++i) integral += rule->second[i] * f[0][i];
    EXPECT_NEAR(0.5 * integral, 1.0, 1e-13);
    // Forward and backward: the Wigner factors make these exact.
    const auto e = phase(v, {1.0, -1.0}, true);
    EXPECT_EQ(e[1][0], 0.0);
    EXPECT_EQ(e[4][0], 0.0);
    EXPECT_EQ(e[2][0], e[3][0]);
    EXPECT_EQ(e[1][1], 0.0);
    EXPECT_EQ(e[4][1], 0.0);
    EXPECT_EQ(e[3][1], -e[2][1]);
    EXPECT_LE(rel_err(e[0][1], q[3]), 1e-12);  // Q_back = unnormalized F11(pi)
    // Backscattering of a mirror-symmetric particle: F44 = F11 - 2 F22 (a
    // property of the T-matrix, not of the expansion).
    EXPECT_LE(std::fabs(e[5][1] - (e[0][1] - 2.0 * e[2][1])), 1e-9 * e[0][1]) << eps;
    std::vector<double> mu;
    for (int i = -10; i <= 10; ++i) mu.push_back(0.1 * i);
    const auto g = phase(v, mu, false);
    for (std::size_t u = 0; u < mu.size(); ++u) {
      for (std::size_t k = 1; k < 6; ++k) EXPECT_LE(std::fabs(g[k][u]), g[0][u] * (1 + 1e-12)) << k << " " << u;
    }
  }
}

// x = 0.01: the electrostatic limit with the depolarization factors of the
// spheroid; corrections are O(x^2).
TEST(TMatrixSpheroid, RayleighLimit) {
  TMatrix t;
  t.allow_unvalidated = true;
  for (const auto& [eps, q_abs, q_sca] : {std::tuple{1.0, 0.1992516992, 0.2402237523}, {0.5, 0.2059288969, 0.2482739797},
                                          {2.0, 0.2073044343, 0.2499323684}}) {
    const auto q = solve(t, eps, 0.01, {1.5, 0.1}).view().efficiencies();
    EXPECT_LE(rel_err(q[2] / 0.01, q_abs), 1e-3) << eps;
    EXPECT_LE(rel_err(q[1] / 1e-8, q_sca), 1e-3) << eps;
  }
}

TEST(TMatrixRun, SameBitsOnOneThreadAndMany) {
  const auto outputs = [&] {
    const Solution s = solve(with_rtol(1e-9), 2.0, 3.0, {1.5, 0.02});
    const auto q = s.view().efficiencies();
    std::vector<double> all(q.begin(), q.end());
    const auto g = s.view().greek(std::nullopt, true);
    for (const auto* v : g->vectors()) all.insert(all.end(), v->begin(), v->end());
    for (const auto& v : phase(s.view(), {-0.95, -0.3, 0.0, 0.45, 0.8}, true)) all.insert(all.end(), v.begin(), v.end());
    for (const PrecisionPath p : s.slot->converged.solved.paths) all.push_back(static_cast<double>(p));
    all.push_back(s.slot->converged.error_estimate);
    return all;
  };
  const std::vector<double> many = outputs(), one = vantok::pool::with_threads(1, outputs);
  ASSERT_EQ(one.size(), many.size());
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_TRUE(vantok::test::same_bits(one[i], many[i])) << i;
}

// With a Greek order the check's finer solve runs beside the solve of all
// modes (on a pool of more than one thread), and its two sets of Greek
// coefficients side by side: every output has the same bits on one thread
// (one after the other) as on three and eight. At an order of 2N or more the
// check's coefficients serve the outputs: they are those the projection
// forms afresh from the result's T blocks, bit for bit; below 2N the outputs
// form their own.
TEST(TMatrixRun, GreekCheckSideBySideKeepsTheBits) {
  for (const std::size_t order : {std::size_t{4}, std::size_t{200}}) {
    TMatrix options = with_rtol(1e-6);
    options.greek_order = order;
    const auto outputs = [&] {
      const Solution s = solve(options, 2.0, 3.0, {1.5, 0.02});
      const bool kept = s.slot->greek.filled();
      const auto raw = vantok::tmatrix::random::greek_raw<double>(s.slot->converged.solved.modes,
                                                                  2 * s.slot->converged.solved.modes.n_terms);
      const auto g = s.view().greek(std::nullopt, true);
      std::vector<double> all{kept ? 1.0 : 0.0, s.slot->converged.error_estimate};
      for (const auto* v : g->vectors()) all.insert(all.end(), v->begin(), v->end());
      const auto q = s.view().efficiencies();
      all.insert(all.end(), q.begin(), q.end());
      const auto* cached = *s.view().greek_raw();
      for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(*cached->vectors()[i], *raw->vectors()[i]) << order << " " << i;
      }
      return all;
    };
    const std::vector<double> one = vantok::pool::with_threads(1, outputs);
    EXPECT_EQ(one[0], order >= 100 ? 1.0 : 0.0) << order;
    for (const std::size_t threads : {3, 8}) {
      const std::vector<double> many = vantok::pool::with_threads(threads, outputs);
      ASSERT_EQ(one.size(), many.size());
      for (std::size_t i = 0; i < one.size(); ++i) EXPECT_TRUE(vantok::test::same_bits(one[i], many[i])) << i;
    }
  }
}

}  // namespace
