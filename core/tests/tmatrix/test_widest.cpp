// The second compilation of the mode kernels for AVX2 with FMA: the lane
// operations bit for bit against the scalar double-double operations over
// special values (signed zeros, subnormals, the edge of overflow where the sum
// takes its ordered fallback, infinities, NaN), and every kernel member, with
// and without a variant record, and the refinement of a block, bit for bit
// with the widest code on and off; and the eight-lane double-double element
// loops of AVX-512 against the four-lane ones. Skipped where the processor
// lacks AVX2 or FMA (there only the baseline code runs), or AVX-512.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/scalar_compare.hpp"
#include "tmatrix/detail_dd_lanes.hpp"
#include "tmatrix/detail_lanes8.hpp"
#include "tmatrix/detail_kernel_run.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/random_orientation.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::DualDD;
using vantok::scalar::DualF64;
using namespace vantok::tmatrix::kernel;
using vantok::test::identical;
using vantok::test::mask_upto;
using vantok::test::same_bytes;
using vantok::test::hex;

/// Runs f with the widest code off, then restores it.
template <class F>
auto baseline(F&& f) {
  struct Off {
    Off() { detail::widest_off = true; }
    ~Off() { detail::widest_off = false; }
  } off;
  return f();
}

/// Bit for bit, except that the sign of a NaN is not compared: the compiler
/// may form x + (-y) as x - y, which differ only there.
bool same(const DoubleDouble& a, const DoubleDouble& b) {
  if (std::isnan(a.hi) || std::isnan(b.hi)) {
    return std::isnan(a.hi) && std::isnan(b.hi) && std::bit_cast<std::uint64_t>(a.lo) == std::bit_cast<std::uint64_t>(b.lo);
  }
  return std::bit_cast<std::uint64_t>(a.hi) == std::bit_cast<std::uint64_t>(b.hi) &&
         std::bit_cast<std::uint64_t>(a.lo) == std::bit_cast<std::uint64_t>(b.lo);
}

}  // namespace

VANTOK_WIDEST_BEGIN
namespace {

using detail::lanes::DDx4;

template <bool C>
DDx4<C> pack(const DoubleDouble* v) {
  return {_mm256_set_pd(v[3].hi, v[2].hi, v[1].hi, v[0].hi), _mm256_set_pd(v[3].lo, v[2].lo, v[1].lo, v[0].lo)};
}

template <bool C>
void unpack(const DDx4<C>& v, DoubleDouble* out) {
  alignas(32) double h[4], l[4];
  _mm256_store_pd(h, v.hi);
  _mm256_store_pd(l, v.lo);
  for (int i = 0; i < 4; ++i) out[i] = {h[i], l[i]};
}

/// x op y over lanes (checked or not), four pairs at a time: 0 +, 1 -, 2 *,
/// 3 abs x, 4 -x.
template <bool C>
void lane_op(int op, const std::vector<DoubleDouble>& x, const std::vector<DoubleDouble>& y,
             std::vector<DoubleDouble>& out) {
  out.resize(x.size());
  for (std::size_t i = 0; i + 4 <= x.size(); i += 4) {
    const DDx4<C> a = pack<C>(&x[i]), b = pack<C>(&y[i]);
    DDx4<C> r{};
    switch (op) {
      case 0: r = a + b; break;
      case 1: r = a - b; break;
      case 2: r = a * b; break;
      case 3: r = detail::lanes::abs(a); break;
      default: r = -a; break;
    }
    unpack(r, &out[i]);
  }
}

}  // namespace
VANTOK_WIDEST_END

VANTOK_WIDEST512_BEGIN
namespace {

using detail::lanes::DDx8;

/// x op y over eight unchecked lanes, as lane_op.
void lane_op8(int op, const std::vector<DoubleDouble>& x, const std::vector<DoubleDouble>& y,
              std::vector<DoubleDouble>& out) {
  using L = detail::lanes::Lane8DD;
  out.resize(x.size());
  for (std::size_t i = 0; i + 8 <= x.size(); i += 8) {
    const DoubleDouble* px[8];
    const DoubleDouble* py[8];
    DoubleDouble* po[8];
    for (std::size_t l = 0; l < 8; ++l) {
      px[l] = &x[i + l];
      py[l] = &y[i + l];
      po[l] = &out[i + l];
    }
    const DDx8 a = L::gather(px), b = L::gather(py);
    DDx8 r{};
    switch (op) {
      case 0: r = a + b; break;
      case 1: r = a - b; break;
      case 2: r = a * b; break;
      case 3: r = detail::lanes::abs(a); break;
      default: r = -a; break;
    }
    L::scatter(r, po, 8);
  }
}

}  // namespace
VANTOK_WIDEST512_END

namespace {

/// Operand pairs over special values (signed zeros, subnormals, the edge of
/// overflow, infinities, NaN) and random double-doubles over 40 binades.
void lane_operands(std::vector<DoubleDouble>& x, std::vector<DoubleDouble>& y) {
  const double inf = INFINITY, nan = NAN, big = std::numeric_limits<double>::max();
  const std::vector<DoubleDouble> specials = {
      {0.0, 0.0}, {-0.0, 0.0}, {0.0, -0.0}, {1.0, 0x1p-60}, {-1.0, -0x1p-60}, {1.0, -0x1p-54},
      {3.0, 1e-17}, {0x1p-1060, 0.0}, {0x1p-1000, 0x1p-1060}, {big, 0x1p969}, {-big, -0x1p969},
      {0x1p1023, 0x1p969}, {0x1.8p1023, 0.0}, {inf, 0.0}, {-inf, 0.0}, {nan, 0.0},
      {1e300, 1e283}, {1e-300, -1e-317}, {-2.5, 1e-16}, {2.5, -1e-16}};
  for (const auto& a : specials) {
    for (const auto& b : specials) {
      x.push_back(a);
      y.push_back(b);
    }
  }
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < 4000; ++i) {
    const double h1 = std::ldexp(u(rng), static_cast<int>(rng() % 40) - 20);
    const double h2 = i % 7 == 0 ? -h1 : std::ldexp(u(rng), static_cast<int>(rng() % 40) - 20);
    x.push_back(DoubleDouble{h1} + DoubleDouble{std::ldexp(u(rng), -60)});
    y.push_back(DoubleDouble{h2} + DoubleDouble{std::ldexp(u(rng), -60)});
  }
}

/// The scalar double-double operation `op` of lane_op.
DoubleDouble scalar_op(int op, const DoubleDouble& x, const DoubleDouble& y) {
  return op == 0 ? x + y : op == 1 ? x - y : op == 2 ? x * y : op == 3 ? abs(x) : -x;
}

/// An unchecked lane result against the scalar one: the same where finite,
/// and not finite where the scalar result is not, except where the ordered
/// fallback of the sum turns a non-finite error term into a finite result.
bool unchecked_agrees(int op, const DoubleDouble& fast, const DoubleDouble& want) {
  return std::isfinite(fast.hi) ? same(fast, want) : !std::isfinite(want.hi) || op <= 1;
}

TEST(Widest, LaneOperationsAreTheScalarOnes) {
  if (!detail::widest_available()) GTEST_SKIP() << "no AVX2 with FMA";
  std::vector<DoubleDouble> x, y;
  lane_operands(x, y);
  std::vector<DoubleDouble> got, fast;
  for (int op = 0; op < 5; ++op) {
    lane_op<true>(op, x, y, got);
    lane_op<false>(op, x, y, fast);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const DoubleDouble want = scalar_op(op, x[i], y[i]);
      ASSERT_TRUE(same(got[i], want)) << "op " << op << " x " << hex(x[i]) << " y " << hex(y[i]) << " got " << hex(got[i]);
      ASSERT_TRUE(unchecked_agrees(op, fast[i], want)) << "unchecked op " << op << " at " << i;
    }
  }
}

// The eight AVX-512 lanes, unchecked, against the scalar operations; the
// random operands put lanes 4-7 through other values than lanes 0-3.
TEST(Widest, EightLaneOperationsAreTheScalarOnes) {
  if (!detail::widest512_available()) GTEST_SKIP() << "no AVX-512";
  std::vector<DoubleDouble> x, y;
  lane_operands(x, y);
  ASSERT_EQ(x.size() % 8, 0u);
  std::vector<DoubleDouble> fast;
  for (int op = 0; op < 5; ++op) {
    lane_op8(op, x, y, fast);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const DoubleDouble want = scalar_op(op, x[i], y[i]);
      ASSERT_TRUE(unchecked_agrees(op, fast[i], want))
          << "op " << op << " x " << hex(x[i]) << " y " << hex(y[i]) << " got " << hex(fast[i]);
    }
  }
}

/// The kernel of `call` with the widest code on and off: the same bits.
template <class T>
bool same_both_ways(const detail::KernelCall<T>& call) {
  auto wide = detail::run_kernel(call);
  auto base = baseline([&] { return detail::run_kernel(call); });
  return wide && base && identical(*wide, *base);
}

template <class D>
D seed(double v, std::size_t i) { return D::variable(typename vantok::scalar::ScalarTraits<D>::Real(v), i); }

// Every member, every mode from its first order and a mask with rows left
// out, with and without the f64 pass's variant record and regular limit; the
// lanes' elements summed again by the scalar code (as for sums that are not
// finite) give the same bits too.
TEST(Widest, KernelsKeepTheBits) {
  if (!detail::widest_available()) GTEST_SKIP() << "no AVX2 with FMA";
  const std::size_t nmax = 9;
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (std::size_t m = 0; m <= nmax; ++m) mask[m] = m % 3 == 0 ? std::optional<std::size_t>(m + 2) : 0;
  mask[7].reset();
  const auto f64 = detail::kernel_call(Axes<double>::create(6.0, 1.8), Complex<double>{1.5, 0.02}, nmax, 21, mask);
  EXPECT_TRUE(same_both_ways(f64));
  const Choice choice = Choice::of<double>(*detail::run_kernel(f64), nmax);
  auto dd = detail::kernel_call(Axes<DoubleDouble>::create(6.0, 1.8), Complex<DoubleDouble>{DoubleDouble(1.5), DoubleDouble(0.02)},
                                nmax, 21, mask);
  EXPECT_TRUE(same_both_ways(dd));
  auto f64_chosen = f64;
  f64_chosen.choice = dd.choice = &choice;
  dd.regular_limit = 6;
  EXPECT_TRUE(same_both_ways(dd));
  EXPECT_TRUE(same_both_ways(f64_chosen));
  detail::lanes_redo_all = true;
  const auto redone = detail::run_kernel(dd);
  const auto redone_f64 = detail::run_kernel(f64_chosen);
  detail::lanes_redo_all = false;
  EXPECT_TRUE(identical(*redone, *detail::run_kernel(dd)));
  EXPECT_TRUE(identical(*redone_f64, *detail::run_kernel(f64_chosen)));
  const auto all6 = mask_upto(6, 6), all5 = mask_upto(5, 5);
  EXPECT_TRUE(same_both_ways(detail::kernel_call(Axes<DualF64>::create(seed<DualF64>(3.0, 0), seed<DualF64>(0.6, 1)),
                                                 Complex<DualF64>{seed<DualF64>(1.4, 2), seed<DualF64>(0.01, 3)}, 6, 12, all6)));
  EXPECT_TRUE(same_both_ways(detail::kernel_call(Axes<DualDD>::create(seed<DualDD>(2.0, 0), seed<DualDD>(1.6, 1)),
                                                 Complex<DualDD>{seed<DualDD>(1.4, 2), seed<DualDD>(0.01, 3)}, 5, 10, all5)));
}

// The f64 member builds the series of four nodes side by side in lanes; the
// node counts 9..12 end on a quad of 1, 2, 3 and 4 nodes (the spare lanes
// repeat the last node), and the record of a first pass leaves the series of
// some orders out. Each against the one-node series of the baseline code.
TEST(Widest, FourNodeSeriesKeepTheBits) {
  if (!detail::widest_available()) GTEST_SKIP() << "no AVX2 with FMA";
  // Elongated enough that the series forms win for some elements.
  const std::size_t nmax = 10;
  const auto mask = mask_upto(nmax, 3);  // the call keeps a view of it
  for (const std::size_t ngauss : {9u, 10u, 11u, 12u}) {
    SCOPED_TRACE(ngauss);
    auto call = detail::kernel_call(Axes<double>::create(4.0, 4.0), Complex<double>{1.5, 0.02}, nmax, ngauss, mask);
    EXPECT_TRUE(same_both_ways(call));
    const Choice choice = Choice::of<double>(*detail::run_kernel(call), nmax);
    ASSERT_NE(std::count(choice.grid.begin(), choice.grid.end(), 0), 0);
    ASSERT_NE(std::count(choice.grid.begin(), choice.grid.end(), 0), std::ssize(choice.grid));
    call.choice = &choice;
    EXPECT_TRUE(same_both_ways(call));
  }
}

/// The kernel of `call` with the eight-lane loops on and off: the same bits,
/// on a pool of one thread (where the f64 node tables take eight lanes too)
/// as on the default pool.
template <class T>
bool same_both_widths(const detail::KernelCall<T>& call) {
  const auto one_thread = [&] { return vantok::pool::with_threads(1, [&] { return detail::run_kernel(call); }); };
  auto eight = detail::run_kernel(call);
  auto eight_alone = one_thread();
  detail::widest512_off = true;
  auto four = detail::run_kernel(call);
  auto four_alone = one_thread();
  detail::widest512_off = false;
  return eight && four && eight_alone && four_alone && identical(*eight, *four) &&
         identical(*eight_alone, *four_alone) && identical(*eight, *eight_alone);
}

// Blocks of 9 and fewer columns per kind, so that column groups of eight
// lanes end short as well as full; both members with and without the variant
// record, the double-double one with a regular limit and with every lane
// summed again by the scalar code.
TEST(Widest, EightLaneKernelsKeepTheBits) {
  if (!detail::widest512_available()) GTEST_SKIP() << "no AVX-512";
  const std::size_t nmax = 18;
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (std::size_t m = 0; m <= nmax; ++m) mask[m] = m % 4 == 1 ? std::optional<std::size_t>(m + 3) : 0;
  mask[5].reset();
  const auto f64 = detail::kernel_call(Axes<double>::create(7.0, 0.6), Complex<double>{1.6, 0.05}, nmax, 30, mask);
  EXPECT_TRUE(same_both_widths(f64));
  const Choice choice = Choice::of<double>(*detail::run_kernel(f64), nmax);
  auto f64_chosen = f64;
  f64_chosen.choice = &choice;
  EXPECT_TRUE(same_both_widths(f64_chosen));
  auto dd = detail::kernel_call(Axes<DoubleDouble>::create(7.0, 0.6),
                                Complex<DoubleDouble>{DoubleDouble(1.6), DoubleDouble(0.05)}, nmax, 30, mask);
  EXPECT_TRUE(same_both_widths(dd));
  dd.choice = &choice;
  EXPECT_TRUE(same_both_widths(dd));
  dd.regular_limit = 11;
  EXPECT_TRUE(same_both_widths(dd));
  // As the refinement calls it: without the magnitude sums.
  dd.magnitudes = false;
  EXPECT_TRUE(same_both_widths(dd));
  // The double-double node tables of a chunk's eight nodes in lanes, redone
  // node by node, on the default pool and on one thread.
  const auto one_thread = [&] { return vantok::pool::with_threads(1, [&] { return detail::run_kernel(dd); }); };
  detail::lanes_redo_all = true;
  const auto redone = detail::run_kernel(dd);
  const auto redone_alone = one_thread();
  detail::lanes_redo_all = false;
  EXPECT_TRUE(identical(*redone, *detail::run_kernel(dd)));
  EXPECT_TRUE(identical(*redone_alone, *one_thread()));
}

TEST(Widest, RefinementKeepsTheBits) {
  if (!detail::widest_available()) GTEST_SKIP() << "no AVX2 with FMA";
  // A block of 11 (two lane groups and three single columns), some rows
  // given in double-double.
  const std::size_t n = 11;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex<double>> a(n * n), b(n * n);
  std::vector<Complex<DoubleDouble>> add(n * n), bdd(n * n);
  for (std::size_t e = 0; e < n * n; ++e) {
    a[e] = {u(rng) + (e % (n + 1) == 0 ? 4.0 : 0.0), u(rng)};
    b[e] = {u(rng), u(rng)};
    add[e] = {DoubleDouble(a[e].re) + DoubleDouble(std::ldexp(u(rng), -60)), DoubleDouble(a[e].im)};
    bdd[e] = {DoubleDouble(b[e].re), DoubleDouble(b[e].im) + DoubleDouble(std::ldexp(u(rng), -60))};
  }
  const bool flags[n] = {true, false, true, true, false, true, false, false, true, true, false};
  const std::vector<double> ls(n, 0.0);
  const auto refine = [&] {
    auto r = vantok::tmatrix::solve::refine(a, b, add, bdd, std::span<const bool>(flags, n), ls, n);
    EXPECT_TRUE(r.has_value());
    return std::move(*r);
  };
  const auto wide = refine(), base = baseline(refine);
  EXPECT_TRUE(same_bytes(wide.t, base.t));
  EXPECT_TRUE(same_bytes(wide.t_dd, base.t_dd));
  EXPECT_EQ(wide.sweeps, base.sweeps);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(wide.correction), std::bit_cast<std::uint64_t>(base.correction));
}

TEST(Widest, OrientationAverageKeepsTheBits) {
  if (!detail::widest_available()) GTEST_SKIP() << "no AVX2 with FMA";
  // 19 cosines: four full blocks and a last one of three.
  auto solved = vantok::tmatrix::driver::OneSolve{{.x = 4.0, .eps = 1.7, .m = {1.5, 0.02}}, 1e-9,
                                                  vantok::tmatrix::Precision::F64, nullptr}({8, 20, 8});
  ASSERT_TRUE(solved.has_value());
  const auto average = [&] {
    std::vector<double> mu;
    for (int i = 0; i < 19; ++i) mu.push_back(-0.95 + 0.1 * i);
    return vantok::tmatrix::random::random_orientation<double>(solved->modes, mu);
  };
  const auto wide = average(), base = baseline(average);
  for (std::size_t e = 0; e < 6; ++e) EXPECT_TRUE(same_bytes(wide[e], base[e])) << e;
}

}  // namespace
