// The convergence driver against a scripted one-solve operation: the step
// sequences of both stages, the caps and the achieved values they report, the
// mode range and the tail estimate, the Greek check (the finer solve becomes
// the result; a NaN change is not convergence), and the change measures at
// their edges.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "support/expect_error.hpp"
#include "vantok/tmatrix/driver.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::Result;
using namespace vantok::tmatrix;
using Call = std::array<std::size_t, 3>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// A solve whose T blocks are diagonal: value(N, n_theta) mode_decay^m
/// order_decay^n on every row of order n of mode m <= m_max.
struct Scripted {
  std::function<double(std::size_t, std::size_t)> value = [](std::size_t, std::size_t) { return 0.5; };
  double order_decay = 0.5;
  double mode_decay = 0.1;
  std::vector<Call> calls;

  Result<Solved> operator()(std::size_t n, std::size_t theta, std::size_t m_max) {
    calls.push_back({n, theta, m_max});
    Solved s;
    s.modes.n_terms = n;
    s.n_theta = theta;
    s.paths.assign(n + 1, PrecisionPath::F64);
    const double v = value(n, theta);
    for (std::size_t m = 0; m <= n; ++m) {
      kernel::SolvedMode<double> mode;
      mode.rows = kernel::row_lists(m, n);
      if (m <= m_max) {
        for (std::size_t p = 0; p < 2; ++p) {
          const std::size_t k = mode.rows[p].size();
          mode.t[p].assign(k * k, {0.0, 0.0});
          for (std::size_t i = 0; i < k; ++i) {
            const double t = -v * std::pow(mode_decay, static_cast<double>(m)) *
                             std::pow(order_decay, static_cast<double>(mode.rows[p][i].second));
            mode.t[p][i * k + i] = {t, 0.1 * t};
          }
        }
      }
      s.modes.modes.push_back(std::move(mode));
    }
    return s;
  }
};

Plan plan_of(double rtol, std::size_t max_terms, std::size_t max_theta) {
  Plan p;
  p.rtol = rtol;
  p.max_terms = max_terms;
  p.max_theta = max_theta;
  return p;
}

Result<Converged> run(const Plan& p, Scripted& s, double x = 1.0, double eps = 1.0) {
  return driver::converge(p, x, eps, [&](std::size_t n, std::size_t t, std::size_t m) { return s(n, t, m); });
}

std::vector<std::size_t> column(const std::vector<Call>& calls, std::size_t c, std::size_t count) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < std::min(count, calls.size()); ++i) out.push_back(calls[i][c]);
  return out;
}

TEST(Converge, StageOneStepsFromSevenToTwentyEight) {
  // x = 1, eps = 1: N0 = N_W(1) = 7 and N_f = 0, so n_theta = 2N. The change
  // stays large until N = 25.
  Scripted s;
  s.value = [](std::size_t n, std::size_t) { return n < 25 ? 0.5 + 1e-3 / static_cast<double>(n) : 0.5; };
  auto r = run(plan_of(1e-6, 100, 10000), s);
  ASSERT_TRUE(r.has_value());
  const std::vector<std::size_t> n_seq{7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 28};
  EXPECT_EQ(column(s.calls, 0, n_seq.size()), n_seq);
  for (std::size_t i = 0; i < n_seq.size(); ++i) {
    EXPECT_EQ(s.calls[i][1], 2 * n_seq[i]);
    EXPECT_EQ(s.calls[i][2], 0u);
  }
  EXPECT_TRUE(r->converged);
  EXPECT_EQ(r->solved.modes.n_terms, 28u);
}

TEST(Converge, StageTwoStepsFromTwentyToThirtyThree) {
  Scripted s;
  s.value = [](std::size_t, std::size_t t) { return t < 30 ? 0.5 + 1e-3 / static_cast<double>(t) : 0.5; };
  Plan p = plan_of(1e-6, 100, 10000);
  p.n_terms = 10;
  auto r = run(p, s);
  ASSERT_TRUE(r.has_value());
  const std::vector<std::size_t> t_seq{20, 22, 24, 26, 28, 30, 33};
  EXPECT_EQ(column(s.calls, 1, t_seq.size()), t_seq);
  EXPECT_EQ(r->solved.n_theta, 33u);
  EXPECT_TRUE(r->converged);
}

TEST(Converge, CapsReportWhatWasAchieved) {
  // N0 already at max_terms: no loop, achieved 0.
  Scripted s;
  auto r = run(plan_of(1e-6, 7, 10000), s);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(s.calls.size(), 1u);
  // With allow_unconverged the driver goes on, flagged.
  Scripted s2;
  Plan p = plan_of(1e-6, 7, 10000);
  p.allow_unconverged = true;
  auto r2 = run(p, s2);
  ASSERT_TRUE(r2.has_value());
  EXPECT_FALSE(r2->converged);

  // N given with 2N at the quadrature cap: stage 2 cannot start, achieved 0
  // after the one mode-0 solve.
  Scripted s3;
  Plan q = plan_of(1e-6, 38, 96);
  q.n_terms = 48;
  auto r3 = run(q, s3);
  EXPECT_EQ(r3.error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(s3.calls, (std::vector<Call>{{48, 96, 0}}));

  // A change that never drops below rtol in stage 2: the largest change.
  Scripted s4;
  s4.value = [](std::size_t, std::size_t t) { return 0.5 + 1e-3 * static_cast<double>((t / 2) % 2); };
  Plan w = plan_of(1e-6, 100, 30);
  w.n_terms = 10;
  auto r4 = run(w, s4);
  ASSERT_FALSE(r4.has_value());
  EXPECT_EQ(r4.error().kind(), Error::Kind::NotConverged);
  // C_sca goes as the square of the scripted value: its change dominates.
  EXPECT_NEAR(r4.error().achieved(), 1.0 - (0.5 / 0.501) * (0.5 / 0.501), 1e-12);
  EXPECT_EQ(column(s4.calls, 1, 10), (std::vector<std::size_t>{20, 22, 24, 26, 28, 30}));
}

TEST(Converge, NaNChangesNeverConverge) {
  Scripted s;
  s.value = [](std::size_t n, std::size_t) { return n > 7 ? NaN : 0.5; };
  auto r = run(plan_of(1e-6, 12, 10000), s);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(std::isnan(r.error().achieved()));
  EXPECT_EQ(column(s.calls, 0, 10), (std::vector<std::size_t>{7, 9, 11, 12}));
  // In stage 2 a NaN change runs to the cap and is skipped in achieved.
  Scripted s2;
  s2.value = [](std::size_t, std::size_t t) { return t > 20 ? NaN : 0.5; };
  Plan p = plan_of(1e-6, 100, 26);
  p.n_terms = 10;
  auto r2 = run(p, s2);
  ASSERT_FALSE(r2.has_value());
  EXPECT_EQ(r2.error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(column(s2.calls, 1, 10), (std::vector<std::size_t>{20, 22, 24, 26}));
}

TEST(Converge, BothCountsGivenSolveOnceWithAllModes) {
  Scripted s;
  Plan p = plan_of(1e-6, 100, 100);
  p.n_terms = 9;
  p.n_theta = 15;
  p.greek_order = 4;
  auto r = run(p, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(s.calls, (std::vector<Call>{{9, 15, 9}}));
  EXPECT_TRUE(r->converged);
  EXPECT_EQ(r->error_estimate, 0.0);
  EXPECT_EQ(r->solved.modes.modes.size(), 10u);
}

TEST(Converge, ModeRangeAndTail) {
  // Orders decay fast: n_sig = 1, so m_max = N - N/2; the shares of the
  // highest modes decay fast too, so the tail is their geometric series and
  // the modes above are never solved.
  Scripted s;
  s.order_decay = 1e-3;
  Plan p = plan_of(1e-6, 100, 100);
  p.n_terms = 9;
  auto r = run(p, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(s.calls.back()[2], 5u);
  EXPECT_EQ(r->solved.modes.modes.size(), 6u);
  EXPECT_EQ(r->solved.paths.size(), 6u);
  const double s1 = driver::mode_share(r->solved.modes, 5);
  const double q = s1 / driver::mode_share(r->solved.modes, 4);
  EXPECT_GT(s1, 0.0);
  EXPECT_EQ(r->error_estimate, s1 * q / (1.0 - q));

  // Shares that decay by less than half per mode: the tail is infinite and
  // all N + 1 modes are solved. (Mode 0 still decays fast in its orders:
  // m_max = 6.)
  Scripted slow;
  slow.order_decay = 0.04;
  slow.mode_decay = 20.0;
  auto r2 = run(p, slow);
  ASSERT_TRUE(r2.has_value());
  EXPECT_EQ(slow.calls[slow.calls.size() - 2][2], 6u);
  EXPECT_EQ(slow.calls.back()[2], 9u);
  EXPECT_EQ(r2->solved.modes.modes.size(), 10u);
  EXPECT_EQ(r2->error_estimate, 0.0);
}

TEST(Converge, GreekCheckKeepsTheFinerSolve) {
  Scripted s;
  s.order_decay = 1e-3;
  Plan p = plan_of(1e-6, 100, 10000);
  p.greek_order = 6;
  auto r = run(p, s);
  ASSERT_TRUE(r.has_value());
  // Converged at N = 9 and n_theta = 20, checked at N2 = 11, n_theta2 =
  // ceil(20 11 / 9) = 25, m2 = min(m_max + 2, 11).
  const Call check = s.calls.back();
  EXPECT_EQ(check[0], 11u);
  EXPECT_EQ(check[1], 25u);
  EXPECT_EQ(r->solved.modes.n_terms, 11u);
  EXPECT_EQ(r->solved.n_theta, 25u);
  EXPECT_TRUE(r->converged);

  // An all-zero T-matrix: the normalized Greek change is NaN, which is not
  // convergence.
  Scripted zero;
  zero.value = [](std::size_t, std::size_t) { return 0.0; };
  auto r2 = run(p, zero);
  ASSERT_FALSE(r2.has_value());
  EXPECT_EQ(r2.error().kind(), Error::Kind::NotConverged);
  EXPECT_TRUE(std::isnan(r2.error().achieved()));
  p.allow_unconverged = true;
  auto r3 = run(p, zero);
  ASSERT_TRUE(r3.has_value());
  EXPECT_FALSE(r3->converged);
}

TEST(ChangeMeasures, Edges) {
  Scripted s;
  const Solved a = *s(4, 8, 4);
  Solved b = a;
  EXPECT_EQ(driver::relative_change(a, b), 0.0);
  // Each solve's bound relative to its largest element is added.
  b.err = 0.25 * largest_element(b.modes);
  EXPECT_DOUBLE_EQ(driver::relative_change(a, b), 0.25);
  // Mode 2 starts at order 2: 0.1^2 0.5^2 over 0.5.
  EXPECT_NEAR(driver::mode_share(a.modes, 2), 0.005, 1e-15);
  Solved zero = a;
  for (auto& m : zero.modes.modes) {
    for (auto& t : m.t) t.assign(t.size(), {0.0, 0.0});
  }
  EXPECT_EQ(driver::mode_share(zero.modes, 0), 0.0);
  // Cross sections that differ only in sign of a zero.
  EXPECT_EQ(driver::relative_change(zero, zero), 0.0);
  auto g = driver::greek_change(a, b, 4);
  ASSERT_TRUE(g.has_value());
  EXPECT_LE(*g, 1e-15);
  Scripted longer;
  longer.order_decay = 0.6;
  auto g2 = driver::greek_change(a, *longer(6, 12, 6), 100);
  ASSERT_TRUE(g2.has_value());
  EXPECT_GT(*g2, 1e-3);
}

}  // namespace
