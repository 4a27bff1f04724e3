// Where the time of one randomly oriented spheroid goes (m = 1.5 + 0.02i,
// precision "auto", Greek coefficients at order 2N as tmatrix_random gives
// them): every solve of the convergence run with its truncation and seconds,
// then the phases of the run (the stage-1 and stage-2 trial solves, the full
// solve, the Greek check's finer solve when an order is given, and across all
// of them the f64 kernel, the f64 block solves, the double-double pass over
// flagged modes with its kernel, the solve in double-double throughout), the
// orientation average and the Greek projection, each on one thread and on the
// whole pool, with the speed-up; and the median of 5 of the whole run on one
// thread and on the pool.
//
//     build-bench/bench/tmatrix_phases x eps rtol [--order L] [--n-theta Q] [--unvalidated]
//                                      [--solves] [--repeats R]
//                                      [--one N n_theta m_max] [--pool-only]
//                                      [--average]
//
// --n-theta fixes the quadrature size (stage 2 is then skipped). --one times
// only the one solve at that truncation (median of R, with its phases), on
// one thread and on the pool (with --pool-only on the pool alone).
// --pool-only profiles the run on the pool alone (for spheroids too large
// to wait for on one thread), with the largest resident memory of the
// process at the end (and, with --solves, each solve's modes refined or
// solved in double-double and the largest resident memory so far).
// --average times only the orientation average of the converged T-matrix
// (median of R).
//
// The pool is the process's (RAYON_NUM_THREADS); pin it with taskset.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "tmatrix/detail_convergence.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/tmatrix/random_orientation.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using namespace vantok;
using namespace vantok::tmatrix;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

/// The largest resident memory of the process so far, in GB.
double peak_gb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / (1024.0 * 1024.0);
}

struct Args {
  Spheroid spheroid{.x = 15.0, .eps = 2.0, .m = {1.5, 0.02}};
  double rtol = 1e-6;
  std::optional<std::size_t> order;
  std::optional<std::size_t> n_theta;
  bool unvalidated = false;
  bool solves = false;
  int repeats = 5;
  std::optional<Truncation> one;
  bool pool_only = false;
  bool average = false;
};

/// The seconds of the phases of one run.
struct Phases {
  driver::SolveProfile solve;
  double total = 0.0;
  double average = 0.0;
  double projection = 0.0;
  std::size_t n = 0, n_theta = 0, modes = 0;
};

TMatrix options_of(const Args& a) {
  TMatrix t;
  t.rtol = a.rtol;
  t.allow_unvalidated = a.unvalidated;
  t.greek_order = a.order;
  t.n_theta = a.n_theta;
  return t;
}

/// One run through the convergence driver with the profile, then the
/// orientation average at the projection's nodes and the Greek projection.
Phases profiled_run(const Args& a) {
  Phases ph;
  const TMatrix t = options_of(a);
  const Plan plan = t.plan(a.spheroid);
  const auto start = Clock::now();
  const driver::OneSolve one{a.spheroid, plan.rtol, plan.precision, &ph.solve};
  driver::ModeZeroCarry carry;
  std::optional<Solved> last;
  std::size_t last_m_max = 0;
  const driver::SolveFn fn = [&](const Truncation& tr) {
    const auto s = Clock::now();
    const driver::SolveProfile before = ph.solve;
    if (a.solves && a.pool_only) std::printf("  solving N=%zu n_theta=%zu m_max=%zu ...\n", tr.n_terms, tr.n_theta, tr.m_max);
    auto r = one(tr, &carry);
    if (a.solves) {
      // The change against the previous solve, as the convergence test forms it.
      const double change = r && last && last_m_max == tr.m_max ? driver::relative_change(*last, *r) : 0.0;
      std::printf("  solve N=%zu n_theta=%zu m_max=%zu: %.4f s (f64 kernel %.4f, f64 blocks %.4f, dd pass %.4f with "
                  "its kernel %.4f, dd throughout %.4f with its kernel %.4f), change %.2e\n",
                  tr.n_terms, tr.n_theta, tr.m_max, since(s), ph.solve.kernel - before.kernel, ph.solve.lu - before.lu,
                  ph.solve.refinement - before.refinement, ph.solve.refinement_kernel - before.refinement_kernel,
                  ph.solve.double_double - before.double_double,
                  ph.solve.double_double_kernel - before.double_double_kernel, change);
      if (r) {
        std::size_t refined = 0, dd = 0;
        for (const PrecisionPath p : r->paths) {
          refined += p == PrecisionPath::Refined ? 1 : 0;
          dd += p == PrecisionPath::DoubleDouble ? 1 : 0;
        }
        std::printf("    modes refined %zu, in double-double %zu; largest resident %.2f GB\n", refined, dd,
                    peak_gb());
        last = *r;
        last_m_max = tr.m_max;
      }
    }
    return r;
  };
  auto c = driver::converge(plan, a.spheroid, fn, &ph.solve);
  if (!c) {
    std::fprintf(stderr, "%s\n", c.error().to_string().c_str());
    std::exit(1);
  }
  const TMatrixModes<double>& modes = c->solved.modes;
  ph.n = modes.n_terms;
  ph.n_theta = c->solved.n_theta;
  ph.modes = modes.modes.size();
  // The average alone at the nodes greek_raw projects from (order 2N).
  const std::size_t q = ph.n + ph.n + 1;
  const auto rule = special::gauss_legendre::gauss_legendre<double>(q);
  const auto s_avg = Clock::now();
  auto f = random::random_orientation<double>(modes, rule->first);
  ph.average = since(s_avg);
  const auto s_greek = Clock::now();
  auto g = random::greek_raw<double>(modes, 2 * ph.n);
  // greek_raw averages at the same nodes, then projects: the projection is
  // the difference, a few percent of the average, so timing noise can make
  // it come out below zero; shown as zero then.
  ph.projection = std::max(0.0, since(s_greek) - ph.average);
  ph.total = since(start);
  return ph;
}

/// The whole public run (solve, efficiencies, Greek coefficients): seconds.
double public_run(const Args& a) {
  const TMatrix t = options_of(a);
  std::unique_ptr<State> slot;
  const auto start = Clock::now();
  auto r = t.run(slot, a.spheroid, WithDerivatives::No);
  if (!r) {
    std::fprintf(stderr, "%s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  (void)r->efficiencies();
  (void)r->greek(std::nullopt, false);
  return since(start);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void print_phases(const Phases& one, const Phases& all, std::size_t threads) {
  struct Row {
    const char* name;
    double Phases::*outer;
    double driver::SolveProfile::*inner;
  };
  const Row rows[] = {
      {"stage 1 (N) trial solves", nullptr, &driver::SolveProfile::stage_terms},
      {"stage 2 (n_theta) trial solves", nullptr, &driver::SolveProfile::stage_theta},
      {"full solve (all modes)", nullptr, &driver::SolveProfile::full},
      {"Greek check's finer solve", nullptr, &driver::SolveProfile::check},
      {"  f64 kernel", nullptr, &driver::SolveProfile::kernel},
      {"  f64 block solves + bounds", nullptr, &driver::SolveProfile::lu},
      {"  dd pass over flagged modes", nullptr, &driver::SolveProfile::refinement},
      {"    of which its dd kernel", nullptr, &driver::SolveProfile::refinement_kernel},
      {"  dd solve throughout", nullptr, &driver::SolveProfile::double_double},
      {"    of which its dd kernel", nullptr, &driver::SolveProfile::double_double_kernel},
      {"orientation average", &Phases::average, nullptr},
      {"Greek projection", &Phases::projection, nullptr},
      {"total", &Phases::total, nullptr},
  };
  const auto value = [](const Phases& p, const Row& r) { return r.outer != nullptr ? p.*(r.outer) : p.solve.*(r.inner); };
  std::printf("%-32s %9s %7s %9s %8s\n", "phase", "1 thread", "share", "pool", "speed-up");
  for (const Row& r : rows) {
    const double t1 = value(one, r);
    const double tp = value(all, r);
    std::printf("%-32s %8.4fs %6.1f%% %8.4fs %7.2fx\n", r.name, t1, 100.0 * t1 / one.total, tp,
                tp > 0.0 ? t1 / tp : 0.0);
  }
  std::printf("(pool: %zu threads; speed-up of a phase over its one-thread time)\n", threads);
}

Args parse(int argc, char** argv) {
  Args a;
  if (argc < 4) {
    std::fprintf(stderr, "usage: tmatrix_phases x eps rtol [--order L] [--n-theta Q] [--unvalidated] [--solves] [--repeats R]\n"
                         "       [--one N n_theta m_max] [--pool-only] [--average]\n");
    std::exit(2);
  }
  a.spheroid.x = std::atof(argv[1]);
  a.spheroid.eps = std::atof(argv[2]);
  a.rtol = std::atof(argv[3]);
  for (int i = 4; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--order" && i + 1 < argc) a.order = static_cast<std::size_t>(std::atoll(argv[++i]));
    if (s == "--n-theta" && i + 1 < argc) a.n_theta = static_cast<std::size_t>(std::atoll(argv[++i]));
    if (s == "--unvalidated") a.unvalidated = true;
    if (s == "--solves") a.solves = true;
    if (s == "--pool-only") a.pool_only = true;
    if (s == "--average") a.average = true;
    if (s == "--repeats" && i + 1 < argc) a.repeats = std::atoi(argv[++i]);
    if (s == "--one" && i + 3 < argc) {
      const auto count = [&] { return static_cast<std::size_t>(std::atoll(argv[++i])); };
      const std::size_t n = count();
      const std::size_t n_theta = count();
      a.one = Truncation{n, n_theta, count()};
    }
  }
  return a;
}

}  // namespace

/// The median seconds of R solves at the truncation, with the phases of the
/// median one's profile summed over all.
void one_solve(const Args& a, std::size_t threads) {
  const auto& [n, n_theta, m_max] = *a.one;
  std::printf("one solve at N = %zu, n_theta = %zu, m_max = %zu\n", n, n_theta, m_max);
  for (const bool single : {true, false}) {
    if (single && a.pool_only) continue;
    driver::SolveProfile profile;
    const driver::OneSolve one{a.spheroid, a.rtol, Precision::Auto, &profile};
    std::vector<double> t;
    for (int r = 0; r < a.repeats; ++r) {
      const auto run = [&] {
        const auto start = Clock::now();
        auto s = one(*a.one);
        if (!s) std::exit(1);
        return since(start);
      };
      t.push_back(single ? pool::with_threads(1, run) : run());
    }
    const double k = 1.0 / a.repeats;
    std::printf("  %zu threads: %.4f s (per solve: f64 kernel %.4f, f64 blocks %.4f, dd pass %.4f with its kernel %.4f, "
                "dd throughout %.4f with its kernel %.4f)\n",
                single ? std::size_t{1} : threads, median(t), k * profile.kernel, k * profile.lu, k * profile.refinement,
                k * profile.refinement_kernel, k * profile.double_double, k * profile.double_double_kernel);
  }
}

/// The median seconds of R orientation averages (at the nodes greek_raw
/// projects from) of the converged T-matrix, on one thread and on the pool.
void average_only(const Args& a, std::size_t threads) {
  const TMatrix t = options_of(a);
  auto c = driver::converge(t.plan(a.spheroid), a.spheroid);
  if (!c) std::exit(1);
  const TMatrixModes<double>& modes = c->solved.modes;
  const std::size_t n = modes.n_terms;
  const auto rule = special::gauss_legendre::gauss_legendre<double>(n + n + 1);
  std::printf("orientation average at N = %zu, %zu modes, %zu cosines\n", n, modes.modes.size(), n + n + 1);
  for (const bool single : {true, false}) {
    std::vector<double> seconds;
    for (int r = 0; r < a.repeats; ++r) {
      const auto run = [&] {
        const auto start = Clock::now();
        (void)random::random_orientation<double>(modes, rule->first);
        return since(start);
      };
      seconds.push_back(single ? pool::with_threads(1, run) : run());
    }
    std::printf("  %zu threads: %.4f s\n", single ? std::size_t{1} : threads, median(seconds));
  }
}

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Args a = parse(argc, argv);
  const std::size_t threads = pool::thread_count();
  if (a.one) {
    one_solve(a, threads);
    return 0;
  }
  if (a.average) {
    average_only(a, threads);
    return 0;
  }
  std::printf("spheroid x = %g, eps = %g, m = 1.5+0.02i, rtol = %g%s\n", a.spheroid.x, a.spheroid.eps, a.rtol,
              a.unvalidated ? ", allow_unvalidated" : "");
  if (a.pool_only) {
    if (a.solves) std::printf("solves on the pool:\n");
    const Phases all = profiled_run(a);
    std::printf("N = %zu, n_theta = %zu, modes %zu\n", all.n, all.n_theta, all.modes);
    print_phases(all, all, threads);
    std::printf("largest resident memory %.2f GB\n", peak_gb());
    return 0;
  }
  if (a.solves) std::printf("solves on one thread:\n");
  const Phases one = pool::with_threads(1, [&] { return profiled_run(a); });
  if (a.solves) std::printf("solves on the pool:\n");
  const Phases all = profiled_run(a);
  std::printf("N = %zu, n_theta = %zu, modes %zu\n", one.n, one.n_theta, one.modes);
  print_phases(one, all, threads);
  std::vector<double> t1, tp;
  for (int r = 0; r < a.repeats; ++r) {
    t1.push_back(pool::with_threads(1, [&] { return public_run(a); }));
    tp.push_back(public_run(a));
  }
  std::printf("run (solve, efficiencies, Greek), median of %d: 1 thread %.3f s, %zu threads %.3f s (%.2fx)\n",
              a.repeats, median(t1), threads, median(tp), median(t1) / median(tp));
  return 0;
}
