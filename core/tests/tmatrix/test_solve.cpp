// The EBCM block solve X = -B A^-1 in f64, double-double and dual
// double-double: against 60-digit references (gen_tmatrix_solve.py), backward
// stability and the factor reconstruction, the pivoting and failure rules,
// partials against central differences; double-double refinement; and the row
// error estimates against the true change of T.

#include "tmatrix/detail_error_estimate.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/detail_widest.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/expect_error.hpp"
#include "support/scalar_compare.hpp"
#include "support/table.hpp"

namespace {

using namespace vantok::tmatrix::solve;
using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::DualDD;
using C = Complex<double>;
using CDD = Complex<DoubleDouble>;
using CDual = Complex<DualDD>;
using LC = Complex<long double>;
constexpr double EPS = 0x1p-52;

std::vector<C> random_matrix(std::size_t n, std::uint64_t seed, double diag = 0.0) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<C> m(n * n);
  for (C& z : m) z = {u(gen), u(gen)};
  for (std::size_t i = 0; i < n; ++i) m[i * n + i].re += diag;
  return m;
}
/// A case of tmatrix_solve.txt (gen_tmatrix_solve.py): blocks A and B as
/// double-double parts and the reference X = -B A^-1 at 60 digits.
struct SolveCase {
  std::string name;
  std::size_t n = 0;
  double cond = 0.0;
  std::vector<C> a, alo, b, blo, x, xlo;
};
std::vector<SolveCase> load_solve_cases() {
  std::vector<SolveCase> cases;
  for (const auto& line : vantok::test::read_table("tmatrix_solve.txt")) {
    if (line.tag == "case") cases.push_back({line.fields.at(0), line.count(1), line.num(2), {}, {}, {}, {}, {}, {}});
    SolveCase& c = cases.back();
    const std::map<std::string, std::vector<C>*> parts{{"a", &c.a}, {"alo", &c.alo}, {"b", &c.b}, {"blo", &c.blo}, {"x", &c.x}, {"xlo", &c.xlo}};
    for (std::size_t i = 0; line.tag != "case" && i + 1 < line.fields.size(); i += 2) parts.at(line.tag)->push_back({line.num(i), line.num(i + 1)});
  }
  return cases;
}
const SolveCase& solve_case(const std::string& name) {
  static const std::vector<SolveCase> cases = load_solve_cases();
  for (const auto& c : cases) {
    if (c.name == name) return c;
  }
  throw std::runtime_error("no case " + name);
}
/// The double-double matrix with parts hi + lo.
std::vector<CDD> join(const std::vector<C>& hi, const std::vector<C>& lo) {
  std::vector<CDD> out(hi.size());
  for (std::size_t e = 0; e < hi.size(); ++e) out[e] = {{hi[e].re, lo[e].re}, {hi[e].im, lo[e].im}};
  return out;
}
double max_abs(const std::vector<C>& m) {
  double v = 0.0;
  for (const C& z : m) v = std::fmax(v, abs(z));
  return v;
}
LC wide(const C& z) { return {z.re, z.im}; }
long double mag(const LC& z) { return std::hypot(z.re, z.im); }
std::string singular_at(std::size_t k) {
  return "the EBCM matrix is singular or not finite at column " + std::to_string(k);
}
/// max_e |got_e - (x_e + xlo_e)| over a double-double solution.
double dd_error(const std::vector<CDD>& got, const SolveCase& c) {
  double err = 0.0;
  for (std::size_t e = 0; e < got.size(); ++e) {
    const double dr = (got[e].re.hi - c.x[e].re) + (got[e].re.lo - c.xlo[e].re);
    const double di = (got[e].im.hi - c.x[e].im) + (got[e].im.lo - c.xlo[e].im);
    err = std::fmax(err, std::hypot(dr, di));
  }
  return err;
}

// Partial pivoting is backward stable: the forward error stays below a small
// multiple of n cond u, in f64 for the random blocks and in double-double for
// every block (also at cond 2e16, where f64 has no correct digit).
TEST(Solve, MatchesHighPrecisionReference) {
  for (const auto& c : load_solve_cases()) {
    const double nc = static_cast<double>(c.n) * c.cond;
    if (c.name.rfind("random", 0) == 0) {
      const auto got = solve_f64(c.a, c.b, c.n);
      ASSERT_TRUE(got.has_value()) << c.name;
      double err = 0.0;
      for (std::size_t e = 0; e < c.n * c.n; ++e) err = std::fmax(err, abs(got->solution[e] - c.x[e]));
      EXPECT_LE(err / max_abs(c.x), 4.0 * nc * EPS) << c.name;
    }
    const auto dd = solve_block<DoubleDouble>(join(c.a, c.alo), join(c.b, c.blo), c.n);
    ASSERT_TRUE(dd.has_value()) << c.name;
    EXPECT_LE(dd_error(dd->solution, c) / max_abs(c.x), 4.0 * nc * 0x1p-104) << c.name;
  }
}

// Each row solve has a componentwise-normwise backward error of a few eps, the
// factors reconstruct the row-permuted A^T, and every multiplier is at most 1.
TEST(Solve, F64BackwardStableWithPartialPivoting) {
  for (std::size_t n : {1, 10, 50, 120}) {
    const auto a = random_matrix(n, 11 + n), b = random_matrix(n, 97 + n);
    const auto got = solve_f64(a, b, n);
    ASSERT_TRUE(got.has_value());
    long double worst = 0.0L, rebuilt = 0.0L;
    for (std::size_t c = 0; c < n; ++c) {
      long double xnorm = 0.0L, bnorm = 0.0L, rnorm = 0.0L;
      for (std::size_t j = 0; j < n; ++j) {
        LC acc = wide(b[c * n + j]), lu{0.0L, 0.0L};
        for (std::size_t k = 0; k < n; ++k) acc += wide(got->solution[c * n + k]) * wide(a[k * n + j]);
        for (std::size_t k = 0; k <= std::min(c, j); ++k) {
          lu += (k == c ? LC{1.0L, 0.0L} : wide(got->lu[c * n + k])) * wide(got->lu[k * n + j]);
        }
        rebuilt = std::max(rebuilt, mag(lu - wide(a[j * n + got->perm[c]])));
        rnorm = std::max(rnorm, mag(acc));
        xnorm = std::max(xnorm, mag(wide(got->solution[c * n + j])));
        bnorm = std::max(bnorm, mag(wide(b[c * n + j])));
        if (j < c) {
          EXPECT_LE(abs(got->lu[c * n + j]), 1.0);
        }
      }
      worst = std::max(worst, rnorm / (static_cast<long double>(n) * xnorm * max_abs(a) + bnorm));
    }
    EXPECT_LE(static_cast<double>(worst), 8.0 * EPS) << n;
    EXPECT_LE(static_cast<double>(rebuilt), 4.0 * static_cast<double>(n) * EPS * max_abs(a)) << n;
  }
  const auto empty = solve_f64({}, {}, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->lu.empty());
  EXPECT_TRUE(empty->perm.empty());
  EXPECT_TRUE(empty->solution.empty());
}

// The f64 block solve takes its rows four at a time in lanes: each row of X
// has the bits of its own substitution with the block's factors, for sizes
// with and without a remainder of rows.
TEST(Solve, RowsInLanesAreTheirOwnSubstitutions) {
  for (const char* name : {"random5", "random17", "random40", "cauchy8"}) {
    const SolveCase& c = solve_case(name);
    const auto got = solve_f64(c.a, c.b, c.n);
    ASSERT_TRUE(got.has_value()) << name;
    for (std::size_t r = 0; r < c.n; ++r) {
      std::vector<C> row(c.n);
      for (std::size_t j = 0; j < c.n; ++j) row[j] = -c.b[r * c.n + j];
      substitute<double>(got->lu, got->perm, c.n, row);
      EXPECT_EQ(std::memcmp(row.data(), got->solution.data() + r * c.n, c.n * sizeof(C)), 0) << name << " " << r;
    }
  }
}

// The pivot is the first row of largest modulus (a larger lo part counts over
// double-double); a column whose best modulus is zero, infinite or NaN (a NaN
// is never chosen) is refused, also for a dual pivot with a non-finite
// partial. A NaN that never becomes a pivot propagates without error, and a
// tiny pivot has a finite reciprocal.
TEST(Solve, PivotingAndFailureRules) {
  auto dd = [](double re, double re_lo, double im) { return CDD{{re, re_lo}, {im, 0.0}}; };
  const std::vector<C> ones(4, C{1.0, 0.0});
  for (const auto& [other, perm0] : {std::pair{C{-1.0, 0.0}, 0u}, {C{0.6, 0.8}, 0u}, {C{0.0, 1.5}, 1u}}) {
    const auto got = solve_f64(std::vector<C>{{1.0, 0.0}, other, {0.0, 0.0}, {1.0, 0.0}}, ones, 2);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->perm[0], perm0) << other.re << " " << other.im;
    EXPECT_EQ(got->lu[0], (perm0 == 0 ? C{1.0, 0.0} : other));  // the whole row moved
  }
  const std::vector<CDD> dd_ones(4, dd(1.0, 0.0, 0.0));
  const auto lo_wins = solve_block<DoubleDouble>(
      std::vector<CDD>{dd(1.0, 0.0, 0.0), dd(1.0, 0x1p-60, 0.0), dd(0.0, 0.0, 0.0), dd(1.0, 0.0, 0.0)}, dd_ones, 2);
  ASSERT_TRUE(lo_wins.has_value());
  EXPECT_EQ(lo_wins->perm, (std::vector<std::size_t>{1, 0}));

  using vantok::test::expect_error;
  constexpr auto invalid = vantok::Error::Kind::InvalidInput;
  for (const C z : {C{0.0, 0.0}, C{NAN, 0.0}, C{INFINITY, 0.0}}) {
    expect_error(solve_f64(std::vector<C>{z}, std::vector<C>{{1.0, 0.0}}, 1), invalid, singular_at(0));
    expect_error(solve_block<DoubleDouble>(std::vector<CDD>{dd(z.re, 0.0, z.im)}, dd_ones, 1), invalid,
                 singular_at(0));
  }
  // Rows 0 and 1 of A equal: column 1 of A^T vanishes below the diagonal.
  const std::vector<C> twins{{1, 0}, {2, 0}, {0.5, 0}, {1, 0}, {2, 0}, {0.5, 0}, {3, 1}, {0, 2}, {1, 1}};
  expect_error(solve_f64(twins, std::vector<C>(9, C{1.0, 0.0}), 3), invalid, singular_at(1));
  std::vector<CDual> a(1), b(1);
  a[0] = {DualDD::constant({2.0, 0.0}), DualDD::constant({0.0, 0.0})};
  b[0] = a[0];
  a[0].re.partials[2] = {INFINITY, 0.0};
  expect_error(solve_block<DualDD>(a, b, 1), invalid, singular_at(0));
  a[0].re = DualDD::constant({0.0, 0.0});
  a[0].re.partials[0] = {1.0, 0.0};  // value 0 with a partial is still a zero pivot
  expect_error(solve_block<DualDD>(a, b, 1), invalid, singular_at(0));

  const auto nan_beside = solve_f64(std::vector<C>{{2.0, 0.0}, {0.0, 0.0}, {NAN, 0.0}, {1.0, 0.0}}, ones, 2);
  ASSERT_TRUE(nan_beside.has_value());
  EXPECT_TRUE(std::isnan(nan_beside->solution[0].re));
  EXPECT_EQ(nan_beside->solution[1].re, -1.0);
  const auto tiny = solve_f64(std::vector<C>{{1e-160, 1e-160}}, std::vector<C>{{1.0, 0.0}}, 1);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_NEAR(tiny->solution[0].re, -5e159, 5e159 * 4 * EPS);
}

// A(p) = A + p dA and B(p) = B + p dB with p the dual variable of slot 1.
std::vector<CDual> seeded(const std::vector<CDD>& v, const std::vector<CDD>& dv) {
  std::vector<CDual> out(v.size());
  for (std::size_t e = 0; e < v.size(); ++e) {
    out[e] = {DualDD::constant(v[e].re), DualDD::constant(v[e].im)};
    out[e].re.partials[1] = dv[e].re;
    out[e].im.partials[1] = dv[e].im;
  }
  return out;
}
std::vector<CDD> shifted(const std::vector<CDD>& v, const std::vector<CDD>& dv, double h) {
  std::vector<CDD> out(v.size());
  for (std::size_t e = 0; e < v.size(); ++e) {
    out[e] = {v[e].re + vantok::scalar::dd::mul(dv[e].re, h), v[e].im + vantok::scalar::dd::mul(dv[e].im, h)};
  }
  return out;
}
/// max |dX/dp - central difference| / max |dX/dp| of the dual solve.
double partial_error(const std::vector<CDD>& a, const std::vector<CDD>& da, const std::vector<CDD>& b,
                     const std::vector<CDD>& db, std::size_t n, double h) {
  const auto dual = solve_block<DualDD>(seeded(a, da), seeded(b, db), n);
  const auto plain = solve_block<DoubleDouble>(a, b, n);
  const auto up = solve_block<DoubleDouble>(shifted(a, da, h), shifted(b, db, h), n);
  const auto down = solve_block<DoubleDouble>(shifted(a, da, -h), shifted(b, db, -h), n);
  EXPECT_TRUE(dual);
  EXPECT_TRUE(plain);
  EXPECT_TRUE(up);
  EXPECT_TRUE(down);
  double err = 0.0, scale = 0.0;
  for (std::size_t e = 0; e < n * n; ++e) {
    // The dual arithmetic computes its values exactly as double-double does.
    EXPECT_TRUE(vantok::test::same_dd(dual->solution[e].re.value, plain->solution[e].re)) << e;
    const DoubleDouble fr = (up->solution[e].re - down->solution[e].re) / (2.0 * h);
    const DoubleDouble fi = (up->solution[e].im - down->solution[e].im) / (2.0 * h);
    const DoubleDouble gr = dual->solution[e].re.partials[1], gi = dual->solution[e].im.partials[1];
    err = std::fmax(err, std::hypot((gr - fr).hi, (gi - fi).hi));
    scale = std::fmax(scale, std::hypot(gr.hi, gi.hi));
  }
  return err / scale;
}

// Central differences in double-double: truncation ~ (h cond)^2 against
// rounding ~ cond u_dd / h, so the ill-conditioned block takes a smaller step
// and a looser tolerance. A multiplier of value 0 with a non-zero partial
// (here A^T has t = 0, dt = 1 below the pivot 2) must still update its row.
TEST(Solve, DualPartialsMatchCentralDifferences) {
  for (const std::string name : {"random17", "cauchy7"}) {
    const SolveCase& c = solve_case(name);
    const auto a = join(c.a, c.alo), b = join(c.b, c.blo);
    std::vector<CDD> da(a.size()), db(b.size());
    for (std::size_t i = 0; i < c.n; ++i)
      for (std::size_t j = 0; j < c.n; ++j) {
        da[i * c.n + j] = {{0.25 * static_cast<double>((i + 2 * j) % 5) - 0.5, 0.0}, {0.125 * static_cast<double>(i % 3), 0.0}};
        db[i * c.n + j] = b[j * c.n + i];
      }
    const bool ill = c.cond > 1e8;
    EXPECT_LE(partial_error(a, da, b, db, c.n, ill ? 0x1p-47 : 0x1p-20), ill ? 1e-6 : 1e-10) << c.name;
  }
  auto z = [](double re, double im) { return CDD{{re, 0.0}, {im, 0.0}}; };
  const std::vector<CDD> a{z(2.0, 0.0), z(0.0, 0.0), z(1.0, 0.5), z(3.0, 0.0)};
  const std::vector<CDD> da{z(0.0, 0.0), z(1.0, 0.0), z(0.0, 0.0), z(0.0, 0.0)};
  const std::vector<CDD> b{z(1.0, 0.0), z(0.25, -1.0), z(-2.0, 0.5), z(0.5, 0.0)};
  EXPECT_LE(partial_error(a, da, b, std::vector<CDD>(4, z(0.0, 0.0)), 2, 0x1p-30), 1e-13);
}

vantok::Result<Refined> refine_all_rows(const SolveCase& c, std::vector<double> ls = {}) {
  const std::unique_ptr<bool[]> flags(new bool[c.n]);
  std::fill(flags.get(), flags.get() + c.n, true);
  if (ls.empty()) ls.assign(c.n, 0.0);
  return refine(c.a, c.b, join(c.a, c.alo), join(c.b, c.blo), std::span<const bool>(flags.get(), c.n), ls, c.n);
}

// Refinement reaches the double-double level of the stored system where the
// f64 solve keeps only cond u, stops once the largest correction is below
// 2^-60 max|X0| (a block of cond 2e16 never settles and stops after four
// sweeps), and t is the leading part of t_dd.
TEST(Refine, ReachesDoubleDoubleAccuracy) {
  for (const auto& c : load_solve_cases()) {
    if (c.name.rfind("cauchy", 0) != 0) continue;
    const auto got = refine_all_rows(c);
    ASSERT_TRUE(got.has_value()) << c.name;
    const double limit = 0x1p-60 * max_abs(got->factors.solution);
    if (c.cond > 1e13) {
      EXPECT_EQ(got->sweeps, 4u) << c.name;
      EXPECT_GT(got->correction, limit) << c.name;
      continue;
    }
    double f64_err = 0.0;
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      f64_err = std::fmax(f64_err, abs(got->factors.solution[e] - c.x[e]));
      ASSERT_EQ(got->t[e].re, got->t_dd[e].re.hi);
      ASSERT_EQ(got->t[e].im, got->t_dd[e].im.hi);
    }
    const double dd_rel = dd_error(got->t_dd, c) / max_abs(c.x);
    EXPECT_LE(dd_rel, c.cond * 0x1p-100) << c.name;
    EXPECT_GT(f64_err / max_abs(c.x), 1e3 * dd_rel) << c.name;
    EXPECT_GE(got->sweeps, 2u) << c.name;
    EXPECT_LE(got->sweeps, 4u) << c.name;
    EXPECT_LE(got->correction, limit) << c.name;
  }
}

// Flagged rows come from the double-double matrices, the others are widened
// f64 rows; the factors are those of the rounded assembled system; the
// reported correction weights element (i, j) by exp(ls_i - ls_j).
TEST(Refine, AssemblyFactorsAndWeights) {
  const SolveCase& c = solve_case("cauchy7");
  const auto add = join(c.a, c.alo), bdd = join(c.b, c.blo);
  std::vector<C> a64 = c.a;
  for (C& z : a64) z.re *= 1.0 + 0x1p-40;  // perturbed, so that the assembly shows
  const bool flags[7] = {false, true, false, false, true, true, false};
  const auto got = refine(a64, c.b, add, bdd, flags, std::vector<double>(c.n, 0.5), c.n);
  ASSERT_TRUE(got.has_value());
  std::vector<C> a0(c.n * c.n), b0(c.n * c.n);
  for (std::size_t e = 0; e < c.n * c.n; ++e) {
    const bool dd_row = flags[e / c.n];
    const CDD want = dd_row ? add[e] : CDD{{a64[e].re, 0.0}, {a64[e].im, 0.0}};
    EXPECT_TRUE(vantok::test::same_dd(got->a_dd[e].re, want.re));
    EXPECT_TRUE(vantok::test::same_dd(got->a_dd[e].im, want.im));
    a0[e] = {want.re.hi, want.im.hi};
    b0[e] = dd_row ? C{bdd[e].re.hi, bdd[e].im.hi} : c.b[e];
  }
  const auto f = solve_f64(a0, b0, c.n);
  ASSERT_TRUE(f);
  EXPECT_EQ(got->factors.lu, f->lu);
  EXPECT_EQ(got->factors.perm, f->perm);
  EXPECT_EQ(got->factors.solution, f->solution);
  std::vector<double> ls(c.n);
  for (std::size_t i = 0; i < c.n; ++i) ls[i] = 3.0 * static_cast<double>(i);
  const auto equal = refine_all_rows(c, std::vector<double>(c.n, 5.0)), weighted = refine_all_rows(c, ls);
  ASSERT_TRUE(equal);
  ASSERT_TRUE(weighted);
  EXPECT_EQ(equal->correction, refine_all_rows(c)->correction);
  EXPECT_GT(weighted->correction, equal->correction);
}

/// The sweeps of `refine` written out with scalar double-double steps: each
/// row's residual -b_j - sum_k x_k a_kj in ascending k, rounded, solved with
/// the f64 factors and added to X; the same stop rule.
std::vector<CDD> sweeps_written_out(const std::vector<CDD>& a, const std::vector<CDD>& b, const F64Solve& f,
                                    std::size_t n) {
  std::vector<CDD> x(n * n);
  double xmax = 0.0;
  for (std::size_t e = 0; e < n * n; ++e) {
    x[e] = {{f.solution[e].re, 0.0}, {f.solution[e].im, 0.0}};
    xmax = std::fmax(xmax, abs(f.solution[e]));
  }
  for (int sweep = 0; sweep < 4; ++sweep) {
    double dmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<C> r(n);
      for (std::size_t j = 0; j < n; ++j) {
        CDD acc = -b[i * n + j];
        for (std::size_t k = 0; k < n; ++k) acc = acc - x[i * n + k] * a[k * n + j];
        r[j] = {acc.re.hi, acc.im.hi};
      }
      lu_solve(f.lu, f.perm, n, r);
      for (std::size_t j = 0; j < n; ++j) {
        dmax = std::fmax(dmax, abs(r[j]));
        x[i * n + j].re = x[i * n + j].re + r[j].re;
        x[i * n + j].im = x[i * n + j].im + r[j].im;
      }
    }
    if (!(xmax * 0x1p-60 < dmax)) break;
  }
  return x;
}

/// refine of the case against its sweeps written out, bit for bit, with one
/// element of B finite and infinite.
void expect_sweeps_are_scalar_steps(const SolveCase& c) {
  const std::string& name = c.name;
  for (const bool infinite : {false, true}) {
    std::vector<CDD> bdd = join(c.b, c.blo);
    std::vector<C> b64 = c.b;
    if (infinite) {
      bdd[c.n + 1].re = {std::numeric_limits<double>::infinity(), 0.0};
      b64[c.n + 1].re = std::numeric_limits<double>::infinity();
    }
    const std::unique_ptr<bool[]> flags(new bool[c.n]);
    std::fill(flags.get(), flags.get() + c.n, true);
    const auto got = refine(c.a, b64, join(c.a, c.alo), bdd, std::span<const bool>(flags.get(), c.n),
                            std::vector<double>(c.n, 0.0), c.n);
    ASSERT_TRUE(got.has_value()) << name;
    const std::vector<CDD> want = sweeps_written_out(got->a_dd, bdd, got->factors, c.n);
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      EXPECT_EQ(std::memcmp(&got->t_dd[e], &want[e], sizeof(CDD)), 0) << name << " " << infinite << " " << e;
    }
  }
}

/// A solve case of n random rows, with double-double parts below the f64 ones.
SolveCase random_case(std::size_t n) {
  SolveCase c{"random" + std::to_string(n), n, 0.0, random_matrix(n, 3 + n, 4.0), random_matrix(n, 5 + n),
              random_matrix(n, 7 + n), random_matrix(n, 9 + n), {}, {}};
  for (auto* lo : {&c.alo, &c.blo}) {
    for (C& z : *lo) z = {z.re * 0x1p-60, z.im * 0x1p-60};
  }
  return c;
}

// The residuals in lanes (eight columns at a time where the processor has
// AVX-512, then four, the last ones alone) give the bits of the scalar steps,
// also where a row's residual is not finite (there the lanes' columns are
// formed again by the scalar steps); with the eight-lane loops turned off too.
TEST(Refine, SweepsAreTheScalarSteps) {
  const SolveCase thirteen = random_case(13);  // 8 + 4 + 1 columns
  for (const bool four_only : {false, true}) {
    vantok::tmatrix::kernel::detail::widest512_off.store(four_only);
    for (const SolveCase* cp : {&solve_case("random17"), &solve_case("cauchy11"), &solve_case("random5"), &thirteen}) {
      expect_sweeps_are_scalar_steps(*cp);
    }
    vantok::tmatrix::kernel::detail::widest512_off.store(false);
  }
}

TEST(Refine, EmptyAndSingular) {
  const auto empty = refine({}, {}, {}, {}, {}, {}, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->sweeps, 1);
  EXPECT_EQ(empty->correction, 0.0);
  EXPECT_TRUE(empty->t.empty());
  // A double-double row whose hi parts vanish makes the rounded system singular.
  const std::vector<C> a64{{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  const std::vector<CDD> add{{{1.0, 0.0}, {}}, {}, {}, {}};
  const bool flags[2] = {false, true};
  vantok::test::expect_error(refine(a64, a64, add, add, flags, std::vector<double>(2, 0.0), 2),
                             vantok::Error::Kind::InvalidInput, singular_at(1));
}

// The closed one-element case: Q = 2, T = 1 + i, dq = 0.5, drg = 0.25, ls = 0.
// The fixed seed's first nine sign draws are + + - | + - - | - + -, the probes
// (z, sigma, sigma'); with y = z/2, block = 4 max(|T 0.5 - 0.25|, |T 0.5 + 0.25|)/2
// = sqrt(13)/2 and rows = 4 (0.25 sqrt 2). Zero element bounds give zeros.
TEST(ErrorEstimateRows, ClosedCaseAndZeros) {
  const auto f = solve_f64(std::vector<C>{{2.0, 0.0}}, std::vector<C>{{0.0, 0.0}}, 1);
  ASSERT_TRUE(f.has_value());
  const auto [block, rows] = error_estimate_rows(*f, std::vector<C>{{1.0, 1.0}}, std::vector<double>{0.5},
                                                 std::vector<double>{0.25}, std::vector<double>{0.0}, 1);
  EXPECT_EQ(block, std::sqrt(13.0) / 2.0);
  EXPECT_EQ(rows, std::vector<double>{std::sqrt(2.0)});
  const std::size_t n = 12;
  const auto q = random_matrix(n, 1, 3.0), rg = random_matrix(n, 2);
  const auto g = solve_f64(q, rg, n);
  ASSERT_TRUE(g.has_value());
  const std::vector<double> zeros(n * n, 0.0), ls(n, 0.3);
  const auto [bz, rz] = error_estimate_rows(*g, g->solution, zeros, zeros, ls, n);
  EXPECT_EQ(bz, 0.0);
  EXPECT_EQ(rz, std::vector<double>(n, 0.0));
}

// Perturbing Q and RgQ element-wise within dq and drg and re-solving changes T
// (in unscaled units, T_ij exp(ls_i - ls_j)) by less than the block bound,
// which is an estimate, not a vacuous bound. With ls = 800, exp(-ls)
// underflows while exp(ls) overflows: the 0 * inf candidates count as +inf.
TEST(ErrorEstimateRows, BoundsTrueChangeOfT) {
  const std::size_t n = 10;
  const auto q = random_matrix(n, 3, 2.0), rg = random_matrix(n, 4);
  std::vector<double> ls(n), dq(n * n), drg(n * n);
  for (std::size_t i = 0; i < n; ++i) ls[i] = 0.5 * static_cast<double>(i % 4);
  for (std::size_t e = 0; e < n * n; ++e) {
    dq[e] = 1e-9 * abs(q[e]);
    drg[e] = 1e-9 * abs(rg[e]);
  }
  const auto f = solve_f64(q, rg, n);
  ASSERT_TRUE(f.has_value());
  const auto [block, rows] = error_estimate_rows(*f, f->solution, dq, drg, ls, n);
  std::mt19937_64 gen(99);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  double largest = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    auto q2 = q, rg2 = rg;
    for (std::size_t e = 0; e < n * n; ++e) {
      const double pq = 3.14159 * u(gen), pr = 3.14159 * u(gen);
      q2[e] += C{std::cos(pq), std::sin(pq)} * C{dq[e] * std::fabs(u(gen)), 0.0};
      rg2[e] += C{std::cos(pr), std::sin(pr)} * C{drg[e] * std::fabs(u(gen)), 0.0};
    }
    const auto f2 = solve_f64(q2, rg2, n);
    ASSERT_TRUE(f2.has_value());
    for (std::size_t e = 0; e < n * n; ++e) {
      largest = std::fmax(largest, abs(f2->solution[e] - f->solution[e]) * std::exp(ls[e / n] - ls[e % n]));
    }
  }
  EXPECT_LE(largest, block);
  EXPECT_LE(block, 100.0 * largest);
  for (double e : rows) EXPECT_GT(e, 0.0);
  const auto [b_inf, r_inf] = error_estimate_rows(*f, f->solution, dq, drg, std::vector<double>(n, 800.0), n);
  EXPECT_EQ(b_inf, INFINITY);
  EXPECT_EQ(r_inf, std::vector<double>(n, INFINITY));
}

}  // namespace
