// The convergence driver against a scripted one-solve operation: the step
// sequences of both stages, the caps and the achieved values they report, the
// mode range and the tail estimate, the Greek check (the finer solve becomes
// the result; a NaN change is not convergence), and the change measures at
// their edges.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "support/expect_error.hpp"
#include "tmatrix/detail_convergence.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "vantok/pool.hpp"

namespace {

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
  /// Two trials may be solved at once (side by side).
  std::mutex calls_lock;

  Result<Solved> operator()(std::size_t n, std::size_t theta, std::size_t m_max) {
    {
      const std::lock_guard<std::mutex> hold(calls_lock);
      calls.push_back({n, theta, m_max});
    }
    Solved s;
    s.modes.n_terms = n;
    s.n_theta = theta;
    s.paths.assign(n + 1, PrecisionPath::F64);
    const double v = value(n, theta);
    for (std::size_t m = 0; m <= n; ++m) {
      SolvedMode<double> mode;
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

Plan plan_of(double rtol, std::size_t max_terms, std::size_t max_theta, std::optional<std::size_t> n_terms = {}) {
  Plan p;
  p.rtol = rtol;
  p.max_terms = max_terms;
  p.max_theta = max_theta;
  p.n_terms = n_terms;
  return p;
}

Result<Converged> run(const Plan& p, Scripted& s, double x = 1.0, double eps = 1.0) {
  return driver::converge(p, {.x = x, .eps = eps}, [&](const Truncation& t) { return s(t.n_terms, t.n_theta, t.m_max); });
}

std::vector<std::size_t> column(const std::vector<Call>& calls, std::size_t c, std::size_t count = 20) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < std::min(count, calls.size()); ++i) out.push_back(calls[i][c]);
  return out;
}

auto until(std::size_t limit, bool by_theta) {
  return [=](std::size_t n, std::size_t t) {
    const std::size_t v = by_theta ? t : n;
    return v < limit ? 0.5 + 1e-3 / static_cast<double>(v) : 0.5;
  };
}

// Stage 1 from N0 = N_W(1) = 7 (x = 1, eps = 1: N_f = 0, so n_theta = 2N) in
// steps of 2 until the change is small, then one step of N/10 >= 3; stage 2
// from n_theta = 2N in steps of 2, then one of 10 %.
TEST(Converge, StepSequencesOfBothStages) {
  Scripted s;
  s.value = until(25, false);
  auto r = run(plan_of(1e-6, 100, 10000), s);
  ASSERT_TRUE(r.has_value());
  const std::vector<std::size_t> n_seq{7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 28};
  ASSERT_GE(s.calls.size(), n_seq.size());
  for (std::size_t i = 0; i < n_seq.size(); ++i) EXPECT_EQ(s.calls[i], (Call{n_seq[i], 2 * n_seq[i], 0}));
  EXPECT_TRUE(r->converged);
  EXPECT_EQ(r->solved.modes.n_terms, 28u);
  Scripted t;
  t.value = until(30, true);
  auto r2 = run(plan_of(1e-6, 100, 10000, 10), t);
  ASSERT_TRUE(r2.has_value());
  EXPECT_EQ(column(t.calls, 1, 7), (std::vector<std::size_t>{20, 22, 24, 26, 28, 30, 33}));
  EXPECT_TRUE(r2->converged);
  EXPECT_EQ(r2->solved.n_theta, 33u);
}

// The caps report what was achieved: 0 when no step could be taken, the
// largest change otherwise (NaN changes never converge and are skipped in
// stage 2); allow_unconverged goes on, flagged.
TEST(Converge, CapsReportWhatWasAchieved) {
  Scripted s;
  EXPECT_EQ(run(plan_of(1e-6, 7, 10000), s).error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(s.calls.size(), 1u);
  Plan p = plan_of(1e-6, 7, 10000);
  p.allow_unconverged = true;
  auto r2 = run(p, s);
  ASSERT_TRUE(r2.has_value());
  EXPECT_FALSE(r2->converged);
  // N given with 2N at the quadrature cap: one mode-0 solve.
  Scripted s3;
  EXPECT_EQ(run(plan_of(1e-6, 38, 96, 48), s3).error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(s3.calls, (std::vector<Call>{{48, 96, 0}}));
  // A change that never drops below rtol in stage 2; C_sca goes as the
  // square of the scripted value, so its change dominates.
  Scripted s4;
  s4.value = [](std::size_t, std::size_t t) { return 0.5 + 1e-3 * static_cast<double>((t / 2) % 2); };
  auto r4 = run(plan_of(1e-6, 100, 30, 10), s4);
  ASSERT_FALSE(r4.has_value());
  EXPECT_EQ(r4.error().kind(), Error::Kind::NotConverged);
  EXPECT_NEAR(r4.error().achieved(), 1.0 - (0.5 / 0.501) * (0.5 / 0.501), 1e-12);
  EXPECT_EQ(column(s4.calls, 1), (std::vector<std::size_t>{20, 22, 24, 26, 28, 30}));
  Scripted s5;
  s5.value = [](std::size_t n, std::size_t) { return n > 7 ? NaN : 0.5; };
  auto r5 = run(plan_of(1e-6, 12, 10000), s5);
  ASSERT_FALSE(r5.has_value());
  EXPECT_TRUE(std::isnan(r5.error().achieved()));
  EXPECT_EQ(column(s5.calls, 0), (std::vector<std::size_t>{7, 9, 11, 12}));
  Scripted s6;
  s6.value = [](std::size_t, std::size_t t) { return t > 20 ? NaN : 0.5; };
  EXPECT_EQ(run(plan_of(1e-6, 100, 26, 10), s6).error(), Error::not_converged(0.0, 1e-6));
  EXPECT_EQ(column(s6.calls, 1), (std::vector<std::size_t>{20, 22, 24, 26}));
}

// Both counts given: one solve with all modes, nothing estimated. N given:
// with fast-decaying orders n_sig = 1, m_max = N - N/2, and the shares of the
// highest modes give the tail as their geometric series; shares that decay by
// less than half per mode make the tail infinite and all N + 1 modes solved.
TEST(Converge, ModeRangeAndTail) {
  Scripted s;
  Plan both = plan_of(1e-6, 100, 100, 9);
  both.n_theta = 15;
  both.greek_order = 4;
  auto r0 = run(both, s);
  ASSERT_TRUE(r0.has_value());
  EXPECT_EQ(s.calls, (std::vector<Call>{{9, 15, 9}}));
  EXPECT_TRUE(r0->converged);
  EXPECT_EQ(r0->error_estimate, 0.0);
  EXPECT_EQ(r0->solved.modes.modes.size(), 10u);
  Scripted fast;
  fast.order_decay = 1e-3;
  const Plan p = plan_of(1e-6, 100, 100, 9);
  auto r = run(p, fast);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(fast.calls.back()[2], 5u);
  EXPECT_EQ(r->solved.modes.modes.size(), 6u);
  EXPECT_EQ(r->solved.paths.size(), 6u);
  const double s1 = driver::mode_share(r->solved.modes, 5, largest_element(r->solved.modes));
  const double q = s1 / driver::mode_share(r->solved.modes, 4, largest_element(r->solved.modes));
  EXPECT_GT(s1, 0.0);
  EXPECT_EQ(r->error_estimate, s1 * q / (1.0 - q));
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

// Converged at N = 9 and n_theta = 20, checked at N2 = 11, n_theta2 =
// ceil(20 11 / 9) = 25, m2 = min(m_max + 2, 11): the finer solve is the
// result. An all-zero T-matrix gives a NaN Greek change, which is not
// convergence.
TEST(Converge, GreekCheckKeepsTheFinerSolve) {
  Scripted s;
  s.order_decay = 1e-3;
  Plan p = plan_of(1e-6, 100, 10000);
  p.greek_order = 6;
  auto r = run(p, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(s.calls.back()[0], 11u);
  EXPECT_EQ(s.calls.back()[1], 25u);
  EXPECT_TRUE(r->converged);
  EXPECT_EQ(r->solved.modes.n_terms, 11u);
  EXPECT_EQ(r->solved.n_theta, 25u);
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

// Side by side on a pool of four threads, the driver may make the first
// stage-2 trial beside the stage-1 trial that looks about to converge: the
// result is that of the run one trial after another, every trial of that run
// is made once (a trial made ahead is not made again), and an extra trial is
// only ever the first stage-2 trial (N, 2N + max(2N/10, 2)) of a stage-1
// trial that did not converge.
TEST(Converge, TrialsMadeAheadChangeNothing) {
  struct Case {
    const char* name;
    std::function<double(std::size_t, std::size_t)> value;
    double order_decay;
    bool wasted;  // whether some trial made ahead goes unused
  };
  const std::vector<Case> cases{
      // Changes falling a thousandfold a step: the stage-1 trial that
      // converges is the only one that looks about to.
      {"fast", [](std::size_t n, std::size_t) { return 0.5 + 0.1 * std::pow(1e-3, (static_cast<double>(n) - 7) / 2); },
       1e-3, false},
      // Changes falling fourfold a step (the orders added): several trials
      // look about to converge before one does.
      {"slow", [](std::size_t, std::size_t) { return 0.5; }, 0.5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scripted alone;
    alone.value = c.value;
    alone.order_decay = c.order_decay;
    const auto a = run(plan_of(1e-6, 100, 10000), alone);
    ASSERT_TRUE(a.has_value());
    Scripted pooled;
    pooled.value = c.value;
    pooled.order_decay = c.order_decay;
    Result<Converged> b = std::unexpected(Error::invalid_input("not run"));
    vantok::pool::run_with_threads(4, [&] {
      b = driver::converge(plan_of(1e-6, 100, 10000), {.x = 1.0, .eps = 1.0},
                           [&](const Truncation& t) { return pooled(t.n_terms, t.n_theta, t.m_max); }, nullptr, true);
    });
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->solved.modes.n_terms, a->solved.modes.n_terms);
    EXPECT_EQ(b->solved.n_theta, a->solved.n_theta);
    EXPECT_EQ(b->error_estimate, a->error_estimate);
    EXPECT_EQ(b->converged, a->converged);
    std::vector<Call> want = alone.calls;
    std::vector<Call> got = pooled.calls;
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << "a trial made twice";
    EXPECT_TRUE(std::includes(got.begin(), got.end(), want.begin(), want.end()));
    std::vector<Call> extra;
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
    EXPECT_EQ(!extra.empty(), c.wasted);
    const std::size_t n_final = a->solved.modes.n_terms;
    for (const Call& e : extra) {
      EXPECT_EQ(e[2], 0u);
      EXPECT_LT(e[0], n_final);
      EXPECT_EQ(e[1], 2 * e[0] + std::max<std::size_t>(2 * e[0] / 10, 2));
      EXPECT_TRUE(std::binary_search(want.begin(), want.end(), Call{e[0], 2 * e[0], 0}));
    }
  }
}

// At a loose rtol, changes of a percent or more never count as about to
// converge: a run that does not settle (large changes up to the cap, rtol
// 1e-3) makes no trial ahead and ends as the run one trial after
// another does.
TEST(Converge, NoTrialAheadWhileTheChangesAreLarge) {
  // Orders that fall off slowly: each step's added orders change the
  // solution by 20 % or more, up to the cap.
  Scripted alone;
  alone.order_decay = 0.97;
  const auto a = run(plan_of(1e-3, 60, 10000), alone);
  Scripted pooled;
  pooled.order_decay = 0.97;
  Result<Converged> b = std::unexpected(Error::invalid_input("not run"));
  vantok::pool::run_with_threads(4, [&] {
    b = driver::converge(plan_of(1e-3, 60, 10000), {.x = 1.0, .eps = 1.0},
                         [&](const Truncation& t) { return pooled(t.n_terms, t.n_theta, t.m_max); }, nullptr, true);
  });
  ASSERT_FALSE(a.has_value());
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(b.error().to_string(), a.error().to_string());
  std::vector<Call> want = alone.calls;
  std::vector<Call> got = pooled.calls;
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
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
  EXPECT_NEAR(driver::mode_share(a.modes, 2, largest_element(a.modes)), 0.005, 1e-15);
  Solved zero = a;
  for (auto& m : zero.modes.modes) {
    for (auto& t : m.t) t.assign(t.size(), {0.0, 0.0});
  }
  EXPECT_EQ(driver::mode_share(zero.modes, 0, largest_element(zero.modes)), 0.0);
  EXPECT_EQ(driver::relative_change(zero, zero), 0.0);
  EXPECT_LE(*driver::greek_change(a, b, 4), 1e-15);
  Scripted longer;
  longer.order_decay = 0.6;
  EXPECT_GT(*driver::greek_change(a, *longer(6, 12, 6), 100), 1e-3);
}

// The quadrature size of the Greek check's finer truncation, ceil(n_theta N2
// / N) saturating, against 128-bit arithmetic: every term count N of the
// convergence steps' shape with sizes around the points where the 64-bit
// product n_theta N2 overflows.
TEST(Converge, FinerQuadratureSizeScalesAndSaturates) {
  constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
  for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{8}, std::size_t{17},
                              std::size_t{500}}) {
    const std::size_t n2 = n + std::max<std::size_t>(n / 8, 2);
    for (const std::size_t a : {std::size_t{0}, std::size_t{1}, n - 1, n, n + 1, MAX / n2 - 1, MAX / n2, MAX / n2 + 1,
                                MAX / n2 * n, MAX / n2 * n + n - 1, MAX / 2, MAX - 1, MAX}) {
      const unsigned __int128 wide = (static_cast<unsigned __int128>(a) * n2 + (n - 1)) / n;
      const std::size_t want = wide > MAX ? MAX : static_cast<std::size_t>(wide);
      EXPECT_EQ(driver::scaled_ceil(a, n2, n), want) << a << " " << n2 << " " << n;
    }
  }
}

}  // namespace
