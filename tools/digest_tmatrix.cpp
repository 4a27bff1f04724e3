// Digest of the spheroid solver's outputs over a fixed set of runs: for each
// run the efficiencies, the Greek coefficients (normalized and unnormalized),
// the phase matrix at fixed cosines, every T block with its row lists, the
// path codes, the error bounds, N and the quadrature size; the dual blocks and
// their orientation average for the derivative runs; single solves at fixed
// truncation for each precision. A change of one bit of any output changes
// the digest: run it before and after a restructuring that must keep every
// result, with one thread and with the whole pool, and in builds with and
// without VANTOK_FMA.
//
//     build-bench/bench/digest_tmatrix [--threads K] [--big] [-v]
//
// --big adds the benchmark's (x, eps) = (15, 2) run at rtol 1e-9.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/random_orientation.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using namespace vantok;
using namespace vantok::tmatrix;

/// FNV-1a over 64-bit words.
struct Hash {
  std::uint64_t h = 0xcbf29ce484222325ull;
  void word(std::uint64_t w) {
    for (int i = 0; i < 8; ++i) {
      h ^= (w >> (8 * i)) & 0xffu;
      h *= 0x100000001b3ull;
    }
  }
  void f(double v) { word(std::bit_cast<std::uint64_t>(v)); }
  void c(const Complex<double>& z) {
    f(z.re);
    f(z.im);
  }
  void d(const scalar::DualF64& v) {
    f(v.value);
    for (const double p : v.partials) f(p);
  }
  void s(const std::string& t) {
    for (const char ch : t) word(static_cast<unsigned char>(ch));
    word(0xff);
  }
};

template <class T, class F>
void modes(Hash& h, const TMatrixModes<T>& m, F&& scalar) {
  h.word(m.n_terms);
  h.word(m.modes.size());
  for (const auto& mode : m.modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      h.word(mode.rows[p].size());
      for (const auto& r : mode.rows[p]) {
        h.word(r.first);
        h.word(r.second);
      }
      h.word(mode.t[p].size());
      for (const auto& z : mode.t[p]) {
        scalar(z.re);
        scalar(z.im);
      }
    }
  }
}

void greek(Hash& h, const GreekCoefficients<double>& g) {
  for (const auto* v : g.vectors()) {
    h.word(v->size());
    for (const double c : *v) h.f(c);
  }
}

/// The outputs of a solve with derivatives: the efficiency Jacobian, the
/// Greek coefficients with their partials (normalized and unnormalized) and
/// the phase matrix with its partials at the cosines mu.
void hash_derivative_outputs(Hash& h, const TMatrixSolution& r, const std::vector<double>& mu) {
  if (const auto jac = r.efficiencies_jacobian()) {
    for (const auto& row : *jac) {
      for (const double v : row) h.f(v);
    }
  } else {
    h.word(0xdead);
  }
  for (const bool un : {false, true}) {
    auto g = r.greek_with_derivatives(std::nullopt, un);
    if (!g) {
      h.s(g.error().to_string());
      continue;
    }
    greek(h, g->first);
    for (const auto& d : g->second) greek(h, d);
  }
  std::array<std::vector<double>, 30> f;
  PhaseBuffers values;
  Derivatives<PhaseBuffers> partials;
  for (std::size_t i = 0; i < 30; ++i) f[i].assign(mu.size(), 0.0);
  for (std::size_t i = 0; i < 6; ++i) {
    values[i] = f[i];
    for (std::size_t k = 0; k < 4; ++k) partials[k][i] = f[6 + 6 * k + i];
  }
  auto pm = r.phase_matrix_with_derivatives(mu, false, values, partials);
  if (!pm) h.s(pm.error().to_string());
  for (const auto& v : f) {
    for (const double x : v) h.f(x);
  }
}

struct Case {
  const char* name;
  double x, eps;
  Complex<double> m;
  double rtol;
  Precision precision;
  bool derivatives = false;
  std::optional<std::size_t> greek_order{};
  std::optional<std::size_t> n_terms{};
  std::optional<std::size_t> n_theta{};
  bool unvalidated = false;
};

std::uint64_t run_case(const Case& c, bool verbose) {
  Hash h;
  TMatrix options;
  options.rtol = c.rtol;
  options.precision = c.precision;
  options.greek_order = c.greek_order;
  options.n_terms = c.n_terms;
  options.n_theta = c.n_theta;
  options.allow_unvalidated = c.unvalidated;
  std::unique_ptr<State> slot;
  auto r = options.run(slot, {.x = c.x, .eps = c.eps, .m = c.m}, c.derivatives ? WithDerivatives::Yes : WithDerivatives::No);
  if (!r) {
    h.s(r.error().to_string());
    if (verbose) std::printf("  %s: error %s\n", c.name, r.error().to_string().c_str());
    return h.h;
  }
  const Converged& conv = slot->converged;
  const Solved& s = conv.solved;
  modes(h, s.modes, [&](double v) { h.f(v); });
  std::size_t refined = 0, dd = 0;
  for (const PrecisionPath p : s.paths) {
    h.word(static_cast<std::uint64_t>(p));
    refined += p == PrecisionPath::Refined ? 1 : 0;
    dd += p == PrecisionPath::DoubleDouble ? 1 : 0;
  }
  h.f(s.err);
  h.word(s.n_theta);
  h.f(conv.error_estimate);
  h.word(conv.converged ? 1 : 0);
  const auto q = r->efficiencies();
  for (const double v : q) h.f(v);
  for (const bool un : {false, true}) {
    auto g = r->greek(std::nullopt, un);
    if (g) {
      greek(h, *g);
    } else {
      h.s(g.error().to_string());
    }
  }
  std::vector<double> mu;
  for (int i = 0; i <= 12; ++i) mu.push_back(-1.0 + i / 6.0);
  std::array<std::vector<double>, 6> f;
  PhaseBuffers bufs;
  for (std::size_t i = 0; i < 6; ++i) {
    f[i].assign(mu.size(), 0.0);
    bufs[i] = f[i];
  }
  auto pm = r->phase_matrix(mu, false, bufs);
  if (!pm) h.s(pm.error().to_string());
  for (const auto& v : f) {
    for (const double x : v) h.f(x);
  }
  if (slot->derivatives) {
    hash_derivative_outputs(h, *r, mu);
    modes(h, *slot->derivatives, [&](const scalar::DualF64& v) { h.d(v); });
    auto g = random::greek_raw<scalar::DualF64>(*slot->derivatives, 2 * s.modes.n_terms);
    if (g) {
      for (const auto* v : g->vectors()) {
        for (const auto& x : *v) h.d(x);
      }
    } else {
      h.s(g.error().to_string());
    }
  }
  if (verbose) {
    std::printf("  %-28s N %3zu n_theta %3zu modes %3zu refined %3zu dd %3zu Qext %.17g\n", c.name,
                s.modes.n_terms, s.n_theta, s.modes.modes.size(), refined, dd, q[0]);
  }
  return h.h;
}

std::uint64_t one_solve(Precision p, double x, double eps, std::size_t n, std::size_t n_theta,
                        std::size_t m_max, bool verbose) {
  Hash h;
  const driver::OneSolve solve{{.x = x, .eps = eps, .m = {1.5, 0.02}}, 1e-9, p, nullptr};
  auto r = solve({n, n_theta, m_max});
  if (!r) {
    h.s(r.error().to_string());
    return h.h;
  }
  modes(h, r->modes, [&](double v) { h.f(v); });
  for (const PrecisionPath q : r->paths) h.word(static_cast<std::uint64_t>(q));
  h.f(r->err);
  if (verbose) {
    std::size_t refined = 0;
    for (const PrecisionPath q : r->paths) refined += q == PrecisionPath::Refined ? 1 : 0;
    std::printf("  one solve p%d x %g eps %g N %zu: refined %zu err %g\n", static_cast<int>(p), x, eps,
                n, refined, r->err);
  }
  return h.h;
}

/// The kernels over dual numbers, seeded in x, eps, Re m and Im m, and the
/// dual orientation average of a solved T-matrix given made-up partials.
std::uint64_t duals(bool verbose) {
  using scalar::DualDD;
  using scalar::DualF64;
  using scalar::DoubleDouble;
  Hash h;
  const auto seed = [](double v, std::size_t i) {
    DualF64 d = DualF64::constant(v);
    d.partials[i] = 1.0;
    return d;
  };
  const std::size_t n = 10, n_theta = 24;
  std::vector<std::optional<std::size_t>> mask(n + 1);
  for (std::size_t m = 0; m <= n; ++m) mask[m] = 0;
  {
    const auto sph = kernel::Axes<DualF64>::create(seed(3.0, 0), seed(1.7, 1));
    auto r = kernel::all_modes_masked(sph, {seed(1.5, 2), seed(0.02, 3)}, n, n_theta, mask);
    VANTOK_ASSERT(r.has_value());
    for (const auto& mm : *r) {
      for (std::size_t p = 0; p < 2; ++p) {
        for (const auto& z : mm.q[p]) { h.d(z.re); h.d(z.im); }
        for (const auto& z : mm.rg[p]) { h.d(z.re); h.d(z.im); }
        for (const auto& v : mm.q_mag[p]) h.d(v);
        for (const auto c : mm.choice[p]) h.word(c);
      }
    }
  }
  {
    const auto sdd = [](double v, std::size_t i) {
      DualDD d = DualDD::constant(DoubleDouble(v));
      d.partials[i] = DoubleDouble(1.0);
      return d;
    };
    const auto sph = kernel::Axes<DualDD>::create(sdd(2.0, 0), sdd(0.6, 1));
    auto r = kernel::all_modes_masked(sph, {sdd(1.4, 2), sdd(0.01, 3)}, 8, 20,
                                      std::span(mask).first(9), nullptr);
    VANTOK_ASSERT(r.has_value());
    const auto dd = [&](const DoubleDouble& v) { h.f(v.hi); h.f(v.lo); };
    for (const auto& mm : *r) {
      for (std::size_t p = 0; p < 2; ++p) {
        for (const auto& z : mm.q[p]) {
          dd(z.re.value); dd(z.im.value);
          for (const auto& d : z.re.partials) dd(d);
          for (const auto& d : z.im.partials) dd(d);
        }
        for (const auto& z : mm.rg[p]) {
          dd(z.re.value); dd(z.im.value);
          for (const auto& d : z.re.partials) dd(d);
        }
      }
    }
  }
  {
    auto s = driver::OneSolve{{.x = 4.0, .eps = 2.0, .m = {1.5, 0.02}}, 1e-9, Precision::F64, nullptr}({12, 30, 12});
    VANTOK_ASSERT(s.has_value());
    TMatrixModes<DualF64> dm;
    dm.n_terms = s->modes.n_terms;
    for (const auto& mode : s->modes.modes) {
      SolvedMode<DualF64> out;
      out.rows = mode.rows;
      for (std::size_t p = 0; p < 2; ++p) {
        for (const auto& z : mode.t[p]) {
          DualF64 re = DualF64::constant(z.re), im = DualF64::constant(z.im);
          for (std::size_t i = 0; i < 4; ++i) {
            re.partials[i] = z.re * (0.25 * static_cast<double>(i + 1));
            im.partials[i] = z.im * (-0.5 + 0.3 * static_cast<double>(i));
          }
          out.t[p].push_back({re, im});
        }
      }
      dm.modes.push_back(std::move(out));
    }
    auto g = random::greek_raw<DualF64>(dm, 2 * dm.n_terms);
    VANTOK_ASSERT(g.has_value());
    for (const auto* v : g->vectors()) {
      for (const auto& x : *v) h.d(x);
    }
  }
  if (verbose) std::printf("  dual kernels and dual average done\n");
  return h.h;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t threads = 0;
  bool big = false, verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::stoul(argv[++i]);
    } else if (std::strcmp(argv[i], "--big") == 0) {
      big = true;
    } else if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
    }
  }
  std::vector<Case> cases = {
      {"auto 5 1.5 1e-9", 5.0, 1.5, {1.5, 0.02}, 1e-9, Precision::Auto},
      {"auto 8 0.5 1e-9", 8.0, 0.5, {1.5, 0.02}, 1e-9, Precision::Auto},
      {"auto 6 2 greek 12", 6.0, 2.0, {1.5, 0.02}, 1e-8, Precision::Auto, false, 12},
      {"f64 3 0.5 1.33", 3.0, 0.5, {1.33, 0.0}, 1e-6, Precision::F64},
      {"f64 10 2 1e-7", 10.0, 2.0, {1.5, 0.02}, 1e-7, Precision::F64},
      {"dd 2 2 1.5+0.01i", 2.0, 2.0, {1.5, 0.01}, 1e-8, Precision::DoubleDouble},
      {"sphere auto 3", 3.0, 1.0, {1.5, 0.01}, 1e-9, Precision::Auto},
      {"auto 4 3 2+0.3i", 4.0, 3.0, {2.0, 0.3}, 1e-9, Precision::Auto},
      {"auto unvalidated 1 8", 1.0, 8.0, {1.5, 0.02}, 1e-9, Precision::Auto, false, {}, {}, {}, true},
      {"auto 10 2 1e-9", 10.0, 2.0, {1.5, 0.02}, 1e-9, Precision::Auto},
      {"auto 9 0.4 1e-10", 9.0, 0.4, {1.6, 0.001}, 1e-10, Precision::Auto},
      {"auto 12 2.5 greek 30", 12.0, 2.5, {1.5, 0.02}, 1e-9, Precision::Auto, false, 30},
      {"fixed N auto 4 2", 4.0, 2.0, {1.5, 0.02}, 1e-9, Precision::Auto, false, {}, 16, 40},
      {"derivatives f64 3 1.5", 3.0, 1.5, {1.5, 0.02}, 1e-7, Precision::F64, true},
      {"derivatives auto 5 0.6", 5.0, 0.6, {1.4, 0.01}, 1e-8, Precision::Auto, true, 10},
      {"derivatives dd 2 2", 2.0, 2.0, {1.5, 0.01}, 1e-8, Precision::DoubleDouble, true},
      {"derivatives fixed N auto 4 2", 4.0, 2.0, {1.5, 0.02}, 1e-9, Precision::Auto, true, {}, 12, 30},
  };
  if (big) cases.push_back({"auto 15 2 1e-9", 15.0, 2.0, {1.5, 0.02}, 1e-9, Precision::Auto});

  Hash total;
  const auto body = [&] {
    for (const Case& c : cases) {
      const std::uint64_t v = run_case(c, verbose);
      std::printf("%016llx  %s\n", static_cast<unsigned long long>(v), c.name);
      total.word(v);
    }
    {
      const std::uint64_t v = duals(verbose);
      std::printf("%016llx  dual kernels and average\n", static_cast<unsigned long long>(v));
      total.word(v);
    }
    for (const Precision p : {Precision::Auto, Precision::F64, Precision::DoubleDouble}) {
      const std::uint64_t v = one_solve(p, 15.0, 2.0, 24, 48, 24, verbose);
      std::printf("%016llx  one solve 15 2 N 24 p%d\n", static_cast<unsigned long long>(v), static_cast<int>(p));
      total.word(v);
    }
  };
  if (threads > 0) {
    pool::run_with_threads(threads, body);
  } else {
    body();
  }
  std::printf("%016llx  total\n", static_cast<unsigned long long>(total.h));
  return 0;
}
