// Convergence of a spheroid's T-matrix in its truncation. The number of terms
// N grows by max(N/8, 2) and the quadrature size by max(n/10, 2) until the
// cross sections of mode 0 change by less than rtol (each solve's own error
// bound counted in); the highest azimuthal mode is the one beyond which no
// order of mode 0 carries rtol/10 of its largest element, and the modes left
// out are estimated from the decay of the last two solved ones. Every count
// saturates, so that absurd inputs meet the caps instead of wrapping.

#include "tmatrix/detail_convergence.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "tmatrix/detail_one_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/random_orientation.hpp"

namespace vantok::tmatrix::driver {

namespace {

/// What a computation gave: its value, or the exception it threw.
template <class R>
struct Outcome {
  std::optional<R> value;
  std::exception_ptr thrown;

  /// Runs f, keeping its value or its exception.
  template <class F>
  void run(F&& f) {
    try {
      value.emplace(f());
    } catch (...) {
      thrown = std::current_exception();
    }
  }

  /// The value, or the exception thrown again.
  R take() {
    if (thrown) std::rethrow_exception(thrown);
    return std::move(*value);
  }
};

/// The outcomes of two independent computations: side by side on the pool
/// when `together`, else one after the other. Neither sees the other's
/// exception, so the caller takes them in its own order.
template <class R, class F1, class F2>
void in_order(bool together, const F1& f1, const F2& f2, Outcome<R>& o1, Outcome<R>& o2) {
  if (!together) {
    o1.run(f1);
    o2.run(f2);
    return;
  }
  pool::for_each_index(2, [&](std::size_t i) {
    if (i == 0) {
      o1.run(f1);
    } else {
      o2.run(f2);
    }
  }, pool::Grain::One);
}

/// max(a, b), a when b is NaN (a NaN a stays visible).
double max_first(double a, double b) { return a < b ? b : a; }

/// The error of a NaN-free relative test: |a - b| / max(|a|, |b|), 0 for
/// equal values.
double relative_difference(double a, double b) {
  if (a == b) return 0.0;
  return std::fabs(a - b) / max_first(std::fabs(a), std::fabs(b));
}

/// The highest mode worth solving: the largest order n in 2..=N at which an
/// element of mode 0 in row or column n exceeds rtol/10 of the largest, and
/// at least N - N/2.
std::size_t highest_mode(const Solved& s, double rtol) {
  const std::size_t n = s.modes.n_terms;
  std::vector<double> a(n + 1, 0.0);
  VANTOK_ASSERT(!s.modes.modes.empty());
  const SolvedMode<double>& mode0 = s.modes.modes[0];
  for (std::size_t p = 0; p < 2; ++p) {
    const auto& rows = mode0.rows[p];
    const std::size_t k = rows.size();
    if (mode0.t[p].size() != k * k) continue;
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        const Complex<double>& v = mode0.t[p][i * k + j];
        const double h = std::hypot(v.re, v.im);
        a[rows[i].second] = run_max(a[rows[i].second], h);
        a[rows[j].second] = run_max(a[rows[j].second], h);
      }
    }
  }
  double top = 0.0;
  for (const double v : a) top = run_max(top, v);
  std::size_t n_sig = 1;
  for (std::size_t order = 2; order <= n; ++order) {
    if (a[order] > (rtol / 10.0) * top) n_sig = order;
  }
  return std::min(n, std::max(n - n / 2, n_sig));
}

/// A rough upper bound of the bytes a solve at the truncation keeps alive at
/// its peak: the f64 matrices of modes 0..=m_max (Q, RgQ and their magnitude
/// bounds, 48 bytes an element, two blocks of N - max(m, 1) + 1 rows a mode),
/// eight times over for the double-double pass and the kernel's tables.
std::size_t solve_bytes(const Truncation& t) {
  std::size_t elements = 0;
  for (std::size_t m = 0; m <= t.m_max && m <= t.n_terms; ++m) {
    const std::size_t k = t.n_terms - std::max<std::size_t>(m, 1) + 1;
    elements = sat_add(elements, sat_mul<std::size_t>(2, sat_mul(k, k)));
  }
  return sat_mul<std::size_t>(48 * 8, elements);
}

/// Whether two solves that keep `bytes` alive between them may run side by
/// side: the pool has threads to share and the budget room for both.
bool pair_fits(std::size_t bytes) { return pool::thread_count() > 1 && bytes <= memory::work_free() / 2; }

/// The next quadrature size: n + max(n/10, 2), saturating, at most the cap.
std::size_t next_theta(std::size_t n_theta, std::size_t cap) {
  return std::min(sat_add<std::size_t>(n_theta, std::max<std::size_t>(n_theta / 10, 2)), cap);
}

}  // namespace

std::size_t scaled_ceil(std::size_t a, std::size_t n2, std::size_t n) {
  VANTOK_ASSERT(n > 0);
  const std::size_t q = a / n;
  const std::size_t r = a % n;
  // r n2 < n n2: a product of two term counts, never near overflow.
  std::size_t r_n2 = 0;
  VANTOK_ASSERT(checked_mul(r, n2, r_n2));
  std::size_t whole = 0;
  std::size_t out = 0;
  if (!checked_mul(q, n2, whole) || !checked_add(whole, (r_n2 + (n - 1)) / n, out)) {
    return std::numeric_limits<std::size_t>::max();
  }
  return out;
}

double mode_share(const TMatrixModes<double>& modes, std::size_t m, double top) {
  if (!(top > 0.0)) return 0.0;
  VANTOK_ASSERT(m < modes.modes.size());
  return largest_element(modes.modes[m]) / top;
}

double relative_change(const Solved& a, const Solved& b) {
  const auto [ext_a, sca_a] = a.modes.cross_sections();
  const auto [ext_b, sca_b] = b.modes.cross_sections();
  const auto share = [](const Solved& s) {
    const double top = largest_element(s.modes);
    return top > 0.0 ? s.err / top : 0.0;
  };
  return (max_first(relative_difference(ext_a, ext_b), relative_difference(sca_a, sca_b)) +
          share(a)) +
         share(b);
}

Result<std::pair<GreekCoefficients<double>, GreekCoefficients<double>>> greek_pair(const Solved& a, const Solved& b,
                                                                                   std::size_t order, bool together) {
  Outcome<Result<GreekCoefficients<double>>> first;
  Outcome<Result<GreekCoefficients<double>>> second;
  in_order(together, [&] { return random::greek_raw<double>(a.modes, order); },
           [&] { return random::greek_raw<double>(b.modes, order); }, first, second);
  VANTOK_TRY(ga, first.take());
  VANTOK_TRY(gb, second.take());
  return std::pair{std::move(ga), std::move(gb)};
}

Result<double> greek_change(const Solved& a, const Solved& b, std::size_t order) {
  VANTOK_TRY(both, greek_pair(a, b, order, pool::thread_count() > 1));
  return greek_change(both.first, both.second);
}

double greek_change(const GreekCoefficients<double>& ga, const GreekCoefficients<double>& gb) {
  const double a0 = ga.alpha1[0];
  const double b0 = gb.alpha1[0];
  double den = 0.0;
  for (const double v : ga.alpha1) den = run_max(den, std::fabs(v / a0));
  const std::size_t n = std::max(ga.alpha1.size(), gb.alpha1.size());
  double num = 0.0;
  const auto sa = ga.vectors();
  const auto sb = gb.vectors();
  for (std::size_t s = 0; s < 6; ++s) {
    for (std::size_t l = 0; l < n; ++l) {
      const double x = l < sa[s]->size() ? (*sa[s])[l] / a0 : 0.0;
      const double y = l < sb[s]->size() ? (*sb[s])[l] / b0 : 0.0;
      num = run_max(num, std::fabs(x - y));
    }
  }
  return num / den;
}

Result<std::pair<Solved, double>> solve_modes(const SolveFn& solve, const Truncation& truncation, double rtol) {
  const auto& [n_terms, n_theta, m_max] = truncation;
  VANTOK_TRY(s, solve(truncation));
  s.modes.modes.resize(m_max + 1);
  s.paths.resize(m_max + 1);
  double tail = 0.0;
  if (m_max == n_terms) {
    tail = 0.0;
  } else if (m_max == 0) {
    tail = std::numeric_limits<double>::infinity();
  } else {
    // The shares of the two highest modes decay about geometrically; the
    // modes left out add s1 q + s1 q^2 + ... = s1 q / (1 - q).
    const double top = largest_element(s.modes);
    const double s1 = mode_share(s.modes, m_max, top);
    const double s0 = mode_share(s.modes, m_max - 1, top);
    const double q = s0 > 0.0 ? s1 / s0 : 0.0;
    tail = q > 0.5 ? std::numeric_limits<double>::infinity() : s1 * q / (1.0 - q);
  }
  if (tail > rtol / 10.0) {
    VANTOK_TRY(all, solve({n_terms, n_theta, n_terms}));
    return std::pair<Solved, double>{std::move(all), 0.0};
  }
  return std::pair<Solved, double>{std::move(s), tail};
}

Result<Converged> converge(const Plan& plan, const Spheroid& spheroid, SolveProfile* profile) {
  // A OneSolve may run on two threads at once; its profile may not. The
  // stages leave mode 0's f64 pass for the solve of all modes.
  const OneSolve one{spheroid, plan.rtol, plan.precision, profile};
  const auto carry = std::make_shared<ModeZeroCarry>();
  return converge(plan, spheroid, SolveFn([one, carry](const Truncation& t) { return one(t, carry.get()); }),
                  profile, profile == nullptr);
}

namespace {

/// The state of a convergence run between its stages.
struct Progress {
  Progress(const Plan& p, const SolveFn& f) : plan(p), solve(f) {}

  const Plan& plan;
  const SolveFn& solve;
  std::size_t n_f_count = 0;
  bool flag = true;
  double last = 0.0;
  std::size_t n = 0;
  std::size_t n_theta = 0;
  std::optional<Solved> held;
  /// A trial made ahead of its turn, beside the one before it: its
  /// truncation and outcome, taken by the stage that asks for that
  /// truncation next (solve_next) or dropped unread.
  std::optional<std::pair<Truncation, Outcome<Result<Solved>>>> ahead;

  /// The trial at `t`: the one made ahead when it is that trial, else solved
  /// now.
  Result<Solved> solve_next(const Truncation& t) {
    std::optional<std::pair<Truncation, Outcome<Result<Solved>>>> made = std::exchange(ahead, std::nullopt);
    return made && made->first == t ? made->second.take() : solve(t);
  }

  /// theta(N) = the given size, else min(max(2N, N_f), max_theta).
  std::size_t theta(std::size_t terms) const {
    if (plan.n_theta) return *plan.n_theta;
    return std::min(std::max(sat_mul<std::size_t>(2, terms), n_f_count), plan.max_theta);
  }

  Error not_converged(double achieved) const { return Error::not_converged(achieved, plan.rtol); }

  /// A failure to converge: the error, or nothing (and the flag cleared)
  /// when the plan allows it.
  Result<void> unconverged(double achieved) {
    if (!plan.allow_unconverged) return std::unexpected(not_converged(achieved));
    flag = false;
    return {};
  }
};

/// The number of terms after n in stage 1: n + max(n/8, 2), saturating
/// (the caller caps it).
std::size_t next_terms(std::size_t n) { return sat_add<std::size_t>(n, std::max<std::size_t>(n / 8, 2)); }

/// Stage 1 is taken to be about to converge when its last change is below
/// this many times rtol (the changes of successive trials fall by two to
/// three orders of magnitude a step where the series has settled), and below
/// SETTLING: a change of a percent or more says the series has not begun to
/// settle, however loose rtol is. (At rtol 1e-3 every change below 1 would
/// count, and a run that never settles would make a stage-2 trial ahead at
/// every step, all of them for nothing.)
constexpr double ABOUT_TO_CONVERGE = 1000.0;
constexpr double SETTLING = 1e-2;

/// The stage-1 trial at (pr.n, pr.n_theta). With `side_by_side`, when the last
/// change says stage 1 is about to converge and stage 2 will follow, the first
/// stage-2 trial at the same N runs beside it (if the pair fits the pool and
/// the budget) and waits in pr.ahead: should this trial converge, stage 2
/// takes it instead of solving it after; otherwise it is dropped. Which
/// trials are made, and in which order their outcomes are read, stays that of
/// the run one trial after another.
Result<Solved> terms_trial(Progress& pr, bool side_by_side, bool changed) {
  const Plan& plan = pr.plan;
  const Truncation here{pr.n, pr.n_theta, 0};
  const Truncation stage2{pr.n, next_theta(pr.n_theta, plan.max_theta), 0};
  const bool ahead = side_by_side && changed && pr.last < std::min(ABOUT_TO_CONVERGE * plan.rtol, SETTLING) &&
                     !plan.n_theta && std::max(sat_mul<std::size_t>(2, pr.n), pr.n_f_count) < plan.max_theta &&
                     pair_fits(sat_mul<std::size_t>(2, solve_bytes(stage2)));
  if (!ahead) return pr.solve(here);
  Outcome<Result<Solved>> first;
  Outcome<Result<Solved>> second;
  in_order(true, [&] { return pr.solve(here); }, [&] { return pr.solve(stage2); }, first, second);
  pr.ahead.emplace(stage2, std::move(second));
  return first.take();
}

/// Stage 1: the number of terms, mode 0 only, growing by max(N/8, 2). The
/// first two trials are always both made (the first change needs them): with
/// `side_by_side` they run at once, their outcomes taken in their order.
Result<void> converge_terms(Progress& pr, std::size_t n_start, bool side_by_side) {
  const Plan& plan = pr.plan;
  const Truncation first_truncation{pr.n, pr.n_theta, 0};
  Outcome<Result<Solved>> first;
  std::optional<Outcome<Result<Solved>>> second;
  if (n_start < plan.max_terms && side_by_side) {
    const std::size_t n2 = std::min(next_terms(pr.n), plan.max_terms);
    const Truncation second_truncation{n2, pr.theta(n2), 0};
    second.emplace();
    in_order(true, [&] { return pr.solve(first_truncation); }, [&] { return pr.solve(second_truncation); }, first,
             *second);
  } else {
    first.run([&] { return pr.solve(first_truncation); });
  }
  VANTOK_TRY(first_solved, first.take());
  pr.held = std::move(first_solved);
  if (n_start < plan.max_terms) {
    for (bool changed = false;; changed = true) {
      const std::size_t next = next_terms(pr.n);
      pr.n = std::min(next, plan.max_terms);
      pr.n_theta = pr.theta(pr.n);
      Result<Solved> step = second ? second->take() : terms_trial(pr, side_by_side, changed);
      second.reset();
      VANTOK_TRY(s, std::move(step));
      pr.last = relative_change(*pr.held, s);
      pr.held = std::move(s);
      if (pr.last < plan.rtol) return {};
      if (!(next < plan.max_terms)) break;
    }
  }
  return pr.unconverged(pr.last);
}

/// Stage 2: the quadrature size, mode 0 only, growing by max(n/10, 2);
/// the largest change seen.
Result<double> converge_theta(Progress& pr, double achieved) {
  const Plan& plan = pr.plan;
  if (std::max(sat_mul<std::size_t>(2, pr.n), pr.n_f_count) >= plan.max_theta) {
    VANTOK_CHECK(pr.unconverged(achieved));
    return achieved;
  }
  for (;;) {
    pr.n_theta = next_theta(pr.n_theta, plan.max_theta);
    VANTOK_TRY(s, pr.solve_next({pr.n, pr.n_theta, 0}));
    const double c = relative_change(*pr.held, s);
    achieved = run_max(achieved, c);
    pr.held = std::move(s);
    if (c < plan.rtol) return achieved;
    if (!(pr.n_theta < plan.max_theta)) {
      VANTOK_CHECK(pr.unconverged(achieved));
      return achieved;
    }
  }
}

/// The finer truncation of the Greek check: N + step terms with the
/// quadrature scaled alike and the highest mode raised by the step, or, with
/// N fixed, the next quadrature size; nothing when neither may grow.
std::optional<Truncation> finer_truncation(const Progress& pr, std::size_t m_max) {
  const Plan& plan = pr.plan;
  const std::size_t n = pr.n;
  const std::size_t step = std::max<std::size_t>(n / 8, 2);
  if (!plan.n_terms && sat_add(n, step) <= plan.max_terms) {
    const std::size_t n2 = n + step;
    const std::size_t t2 = plan.n_theta ? *plan.n_theta : std::min(scaled_ceil(pr.n_theta, n2, n), plan.max_theta);
    return Truncation{n2, t2, std::min(sat_add(m_max, step), n2)};
  }
  if (!plan.n_theta) return Truncation{n, next_theta(pr.n_theta, plan.max_theta), m_max};
  return std::nullopt;
}

}  // namespace

Result<Converged> converge(const Plan& plan, const Spheroid& spheroid, const SolveFn& solve, SolveProfile* profile,
                           bool side_by_side) {
  const auto slot = [&](double SolveProfile::*field) { return profile != nullptr ? &(profile->*field) : nullptr; };
  const double rtol = plan.rtol;
  Progress pr{plan, solve};
  pr.n_f_count = n_f(spheroid.eps, rtol);
  const std::size_t n_start = start_terms(plan, spheroid.x, spheroid.eps);
  pr.n = n_start;
  pr.n_theta = pr.theta(pr.n);

  if (!plan.n_terms) {
    const PhaseTimer timer(slot(&SolveProfile::stage_terms));
    // Two trials at once only where the pool has threads to share and the
    // budget room for both.
    const std::size_t n2 = std::min(next_terms(n_start), plan.max_terms);
    const bool together = side_by_side && pair_fits(sat_mul<std::size_t>(2, solve_bytes({n2, pr.theta(n2), 0})));
    VANTOK_CHECK(converge_terms(pr, n_start, together));
  } else if (!plan.n_theta) {
    const PhaseTimer timer(slot(&SolveProfile::stage_terms));
    VANTOK_TRY(first, solve({pr.n, pr.n_theta, 0}));
    pr.held = std::move(first);
  }
  double achieved = plan.n_terms ? 0.0 : pr.last;
  if (!plan.n_theta) {
    const PhaseTimer timer(slot(&SolveProfile::stage_theta));
    VANTOK_TRY(a, converge_theta(pr, achieved));
    achieved = a;
  }

  // Mode range from the mode-0 solution at the final truncation.
  const std::size_t m_max = pr.held ? highest_mode(*pr.held, rtol) : pr.n;
  pr.held.reset();

  // With a Greek order, the Greek coefficients are checked against one finer
  // solve, which becomes the result. The two solves are independent: they run
  // side by side (each spreading its own loops over the pool) when the solve
  // allows it, the pool has threads to share and the budget room for both,
  // and their outcomes are taken in the order of the one-after-the-other run.
  const Truncation full_truncation{pr.n, pr.n_theta, m_max};
  const auto finer = plan.greek_order ? finer_truncation(pr, m_max) : std::nullopt;
  const bool together = finer && side_by_side && pair_fits(sat_add(solve_bytes(full_truncation), solve_bytes(*finer)));
  Outcome<Result<std::pair<Solved, double>>> full_outcome;
  Outcome<Result<std::pair<Solved, double>>> check_outcome;
  const auto full_solve = [&] {
    const PhaseTimer timer(slot(&SolveProfile::full));
    return solve_modes(solve, full_truncation, rtol);
  };
  const auto check_solve = [&] {
    const PhaseTimer timer(slot(&SolveProfile::check));
    return solve_modes(solve, *finer, rtol);
  };
  if (together) {
    in_order(true, full_solve, check_solve, full_outcome, check_outcome);
  } else {
    full_outcome.run(full_solve);
  }
  VANTOK_TRY(full, full_outcome.take());
  Solved result = std::move(full.first);
  double error_estimate = run_max(achieved, full.second);
  if (!finer) return Converged{std::move(result), error_estimate, pr.flag, std::nullopt};

  if (!together) check_outcome.run(check_solve);
  VANTOK_TRY(check, check_outcome.take());
  error_estimate = run_max(error_estimate, check.second);
  VANTOK_TRY(greek, greek_pair(result, check.first, *plan.greek_order, pool::thread_count() > 1));
  const double g = greek_change(greek.first, greek.second);
  const double c = relative_change(result, check.first);
  const double v = max_first(g, c);
  error_estimate = run_max(error_estimate, v);
  result = std::move(check.first);
  // A NaN change is no evidence of convergence.
  if (!(v < rtol)) VANTOK_CHECK(pr.unconverged(v));
  // At an order of 2N or more the check's coefficients are those of the
  // result at 2N (the order is cut to 2N): kept for the outputs.
  std::optional<GreekCoefficients<double>> raw;
  if (*plan.greek_order >= sat_mul<std::size_t>(2, result.modes.n_terms)) raw = std::move(greek.second);
  return Converged{std::move(result), error_estimate, pr.flag, std::move(raw)};
}

}  // namespace vantok::tmatrix::driver
