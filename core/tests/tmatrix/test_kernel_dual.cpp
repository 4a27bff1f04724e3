// The mode kernels over Dual<double, 4> and Dual<DoubleDouble, 4>: value
// parts against the f64 and double-double kernels, partials against central
// differences of those kernels, zero seeds, the dual ratio recurrences and
// spheroids, thread-count independence and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <new>

#include "mie/detail_ratios.hpp"
#include "support/central_difference.hpp"
#include "support/expect_error.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::DualDD;
using vantok::scalar::DualF64;
using vantok::test::identical;
using vantok::test::mask_upto;
using namespace vantok::tmatrix::kernel;

using Mask = std::vector<std::optional<std::size_t>>;

struct Params {
  double x;
  double eps;
  Complex<double> m;
};

/// p with parameter k (x, eps, Re m, Im m) moved by h.
Params shifted(Params p, std::size_t k, double h) {
  (k == 0 ? p.x : k == 1 ? p.eps : k == 2 ? p.m.re : p.m.im) += h;
  return p;
}

template <class T>
std::vector<ModeMatrices<T>> run_plain(const Params& p, std::size_t nmax, std::size_t ngauss,
                                       const Mask& mask, const Choice* choice) {
  detail::KernelCall<T> call;
  call.spheroid = Spheroid<T>::create(p.x, p.eps);
  call.eta = {T(p.m.re), T(p.m.im)};
  call.nmax = nmax;
  call.ngauss = ngauss;
  call.mask = mask;
  call.choice = choice;
  auto r = detail::run_kernel(call);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : std::vector<ModeMatrices<T>>{};
}

/// The dual kernel with x, eps, Re m, Im m seeded in partials 0..3, or with
/// every partial zero.
template <class D>
std::vector<ModeMatrices<D>> run_dual(const Params& p, std::size_t nmax, std::size_t ngauss,
                                      const Mask& mask, bool seeded = true,
                                      const Choice* choice = nullptr) {
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  const auto v = [&](double value, std::size_t slot) {
    return seeded ? D::variable(R(value), slot) : D::constant(R(value));
  };
  const auto sph = Spheroid<D>::create(v(p.x, 0), v(p.eps, 1));
  const Complex<D> m{v(p.m.re, 2), v(p.m.im, 3)};
  vantok::Result<std::vector<ModeMatrices<D>>> r;
  if constexpr (std::is_same_v<D, DualF64>) {
    r = all_modes_masked(sph, m, nmax, ngauss, mask);
  } else {
    r = all_modes_masked(sph, m, nmax, ngauss, mask, choice);
  }
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : std::vector<ModeMatrices<D>>{};
}

/// q and rg of every element of every mode, real and imaginary parts, in one
/// list; `part` picks the value (-1) or a partial of the dual ones.
template <class T>
std::vector<DoubleDouble> flatten(const std::vector<ModeMatrices<T>>& modes, int part = -1) {
  std::vector<DoubleDouble> out;
  const auto get = [&](const auto& d) -> DoubleDouble {
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, DoubleDouble>) {
      return DoubleDouble(d);
    } else {
      return DoubleDouble(part < 0 ? d.value : d.partials[static_cast<std::size_t>(part)]);
    }
  };
  for (const auto& mm : modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      for (const auto* block : {&mm.q[p], &mm.rg[p]}) {
        for (const auto& z : *block) {
          out.push_back(get(z.re));
          out.push_back(get(z.im));
        }
      }
    }
  }
  return out;
}

double largest(const std::vector<DoubleDouble>& v) {
  double s = 0.0;
  for (const auto& d : v) s = std::fmax(s, std::fabs(d.hi));
  return s;
}

const Params PROLATE{3.0, 2.0, {1.5, 0.02}};

// The f64 operations on the values: every value part, magnitude and code is
// the f64 kernel's, whatever the seeds and masks.
TEST(KernelDual, F64ValuesAreTheF64Kernel) {
  const std::size_t nmax = 8;
  Mask mask(nmax + 1);
  mask[0] = 0;
  mask[2] = 3;
  mask[5] = 0;
  for (const double eps : {0.5, 1.0, 2.0}) {
    const Params p{3.0, eps, {1.5, 0.02}};
    const auto plain = run_plain<double>(p, nmax, 12, mask, nullptr);
    const auto dual = run_dual<DualF64>(p, nmax, 12, mask);
    ASSERT_EQ(plain.size(), dual.size());
    for (std::size_t m = 0; m <= nmax; ++m) {
      for (std::size_t b = 0; b < 2; ++b) {
        EXPECT_EQ(plain[m].choice[b], dual[m].choice[b]);
        for (std::size_t e = 0; e < plain[m].q[b].size(); ++e) {
          EXPECT_EQ(plain[m].q[b][e], (Complex<double>{dual[m].q[b][e].re.value, dual[m].q[b][e].im.value}));
          EXPECT_EQ(plain[m].rg[b][e], (Complex<double>{dual[m].rg[b][e].re.value, dual[m].rg[b][e].im.value}));
          EXPECT_EQ(plain[m].q_mag[b][e], dual[m].q_mag[b][e].value);
          EXPECT_EQ(plain[m].rg_mag[b][e], dual[m].rg_mag[b][e].value);
        }
      }
    }
  }
}

// Constants carry nothing: every partial of every sum is exactly zero.
TEST(KernelDual, ZeroSeedsGiveZeroPartials) {
  const auto d64 = run_dual<DualF64>(PROLATE, 6, 8, mask_upto(6, 6), false);
  const auto ddd = run_dual<DualDD>(PROLATE, 3, 4, mask_upto(3, 3), false);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(largest(flatten(d64, k)), 0.0) << k;
    for (const DoubleDouble& d : flatten(ddd, k)) EXPECT_TRUE(d.hi == 0.0 && d.lo == 0.0) << k;
  }
}

// The partials are the derivatives of the plain kernel's sums (in its scaled
// basis), with the variant codes held at the centre's.
TEST(KernelDual, F64PartialsMatchCentralDifferences) {
  const std::size_t nmax = 8;
  const std::size_t ngauss = 16;
  const Mask mask = mask_upto(nmax, nmax);
  for (const double eps : {1.2, 2.0}) {
    const Params p{3.0, eps, {1.5, 0.02}};
    const auto dual = run_dual<DualF64>(p, nmax, ngauss, mask);
    const Choice choice = Choice::of<DualF64>(dual, nmax);
    const double scale = largest(flatten(dual));
    for (std::size_t k = 0; k < 4; ++k) {
      const auto fd = vantok::test::central_difference(
          [&](double h) {
            std::vector<double> v;
            for (const auto& d : flatten(run_plain<double>(shifted(p, k, h), nmax, ngauss, mask, &choice))) v.push_back(d.hi);
            return v;
          },
          0x1p-10);
      const auto got = flatten(dual, static_cast<int>(k));
      const double tol = 1e-9 * std::fmax(scale, largest(got));
      for (std::size_t i = 0; i < fd.size(); ++i) {
        EXPECT_NEAR(got[i].hi, fd[i], tol) << "eps " << eps << " partial " << k << " entry " << i;
      }
    }
  }
}

// Double-double: the values are the double-double kernel's to its precision
// (the two members group some products differently), the partials its
// derivatives to about 1e-20.
TEST(KernelDual, DoubleDoubleMatchesDoubleDoubleKernel) {
  const std::size_t nmax = 4;
  const std::size_t ngauss = 6;
  const Mask mask = mask_upto(nmax, nmax);
  for (const double eps : {1.2, 2.0}) {
    const Params p{2.0, eps, {1.5, 0.02}};
    const auto d64 = run_dual<DualF64>(p, nmax, ngauss, mask);
    const Choice choice = Choice::of<DualF64>(d64, nmax);
    const auto dual = run_dual<DualDD>(p, nmax, ngauss, mask, true, &choice);
    const auto plain = flatten(run_plain<DoubleDouble>(p, nmax, ngauss, mask, &choice));
    const auto values = flatten(dual);
    const double scale = largest(plain);
    for (std::size_t i = 0; i < plain.size(); ++i) {
      EXPECT_LE(std::fabs((values[i] - plain[i]).hi), 1e-28 * scale) << eps << " " << i;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      const double h = 0x1p-27;  // every shifted input exact
      const auto at = [&](double s) {
        return flatten(run_plain<DoubleDouble>(shifted(p, k, s * h), nmax, ngauss, mask, &choice));
      };
      const auto p1 = at(1), m1 = at(-1), p2 = at(2), m2 = at(-2);
      const auto got = flatten(dual, static_cast<int>(k));
      const auto f64 = flatten(d64, static_cast<int>(k));
      const double tol = std::fmax(scale, largest(got));
      for (std::size_t i = 0; i < got.size(); ++i) {
        const DoubleDouble fd = vantok::test::central_difference_dd(p1[i], m1[i], p2[i], m2[i], h);
        EXPECT_LE(std::fabs((got[i] - fd).hi), 1e-18 * tol) << eps << " partial " << k << " " << i;
        EXPECT_LE(std::fabs(got[i].hi - f64[i].hi), 1e-12 * tol) << eps << " partial " << k << " " << i;
      }
    }
  }
}

TEST(KernelDual, ThreadsKeepTheBits) {
  const Mask mask = mask_upto(5, 5);
  const auto d64 = [&] { return run_dual<DualF64>(PROLATE, 5, 9, mask); };
  EXPECT_TRUE(identical(vantok::pool::with_threads(1, d64), vantok::pool::with_threads(8, d64)));
  const auto ddd = [&] { return run_dual<DualDD>(PROLATE, 3, 9, mask_upto(3, 3)); };
  EXPECT_TRUE(identical(vantok::pool::with_threads(1, ddd), vantok::pool::with_threads(8, ddd)));
}

TEST(KernelDual, RefusesRuleSizes) {
  using K = vantok::Error::Kind;
  const Mask mask = mask_upto(2, 2);
  const auto d = [](double v, std::size_t s) { return DualF64::variable(v, s); };
  const auto s64 = Spheroid<DualF64>::create(d(1.0, 0), d(2.0, 1));
  const Complex<DualF64> m64{d(1.5, 2), d(0.0, 3)};
  vantok::test::expect_error(all_modes_masked(s64, m64, 2, 0, mask), K::InvalidInput,
                             "Gauss-Legendre rule needs n >= 1");
  vantok::test::expect_error(all_modes_masked(s64, m64, 2, 65537, mask), K::InvalidInput,
                             "Gauss-Legendre rule needs n <= 131072, got 131074");
  const auto dd = [](double v, std::size_t s) { return DualDD::variable(DoubleDouble(v), s); };
  const auto sdd = Spheroid<DualDD>::create(dd(1.0, 0), dd(2.0, 1));
  const Complex<DualDD> mdd{dd(1.5, 2), dd(0.0, 3)};
  vantok::test::expect_error(all_modes_masked(sdd, mdd, 2, 0, mask, nullptr), K::InvalidInput,
                             "Gauss-Legendre rule needs n >= 1");
  vantok::test::expect_error(all_modes_masked(sdd, mdd, 2, 65537, mask, nullptr), K::InvalidInput,
                             "Gauss-Legendre rule needs n <= 131072, got 131074");
}

TEST(KernelDual, WorkingSetBeyondMemoryIsBadAllocBeforeAllocating) {
  // nmax = 2000 in dual double-double: about 5e9 elements of 481 bytes.
  if (vantok::memory::physical_bytes() > (std::size_t{1} << 42)) GTEST_SKIP();
  EXPECT_THROW((void)run_dual<DualDD>(PROLATE, 2000, 10, mask_upto(2000, 2000)), std::bad_alloc);
}

// eps = 1 seeded: a = b = x with da/dx = db/dx = 1, da/deps = x/3 and
// db/deps = -2x/3; both members then take a as rmin and as rmax.
TEST(KernelDual, SpheroidsAndTies) {
  const double x = 2.5;
  const auto s64 = Spheroid<DualF64>::create(DualF64::variable(x, 0), DualF64::variable(1.0, 1));
  EXPECT_EQ(s64.a.value, x);
  EXPECT_EQ(s64.b.value, x);
  EXPECT_EQ(s64.a.partials[0], 1.0);
  EXPECT_EQ(s64.b.partials[0], 1.0);
  EXPECT_NEAR(s64.a.partials[1], x / 3.0, 1e-15);
  EXPECT_NEAR(s64.b.partials[1], -2.0 * x / 3.0, 1e-15);
  const auto ddv = [](double v, std::size_t s) { return DualDD::variable(DoubleDouble(v), s); };
  const auto sdd = Spheroid<DualDD>::create(ddv(x, 0), ddv(1.0, 1));
  EXPECT_TRUE(sdd.a.value == DoubleDouble(x) && sdd.b.value == DoubleDouble(x));
  EXPECT_LE(std::fabs((sdd.a.partials[1] - DoubleDouble::div_dd(DoubleDouble(x), DoubleDouble(3.0))).hi), 1e-31);
  EXPECT_LE(std::fabs((sdd.b.partials[1] + DoubleDouble::div_dd(DoubleDouble(2.0 * x), DoubleDouble(3.0))).hi), 1e-31);

  using M64 = detail::Member<DualF64>;
  EXPECT_EQ(M64::semi_axes(s64.a, s64.b).first.partials[1], s64.a.partials[1]);
  EXPECT_EQ(M64::semi_axes(s64.a, s64.b).second.partials[1], s64.a.partials[1]);
  using MDD = detail::Member<DualDD>;
  EXPECT_TRUE(MDD::semi_axes(sdd.a, sdd.b).first.partials[1] == sdd.a.partials[1]);
  EXPECT_TRUE(MDD::semi_axes(sdd.a, sdd.b).second.partials[1] == sdd.a.partials[1]);
  // Zeros of opposite sign: both b over f64; the negative as rmin over
  // double-double. A NaN value loses.
  const DualF64 plus = DualF64::variable(0.0, 0);
  const DualF64 minus = DualF64::variable(-0.0, 1);
  EXPECT_EQ(M64::semi_axes(plus, minus).first.partials[1], 1.0);
  EXPECT_EQ(M64::semi_axes(plus, minus).second.partials[1], 1.0);
  const DualDD pd = ddv(0.0, 0);
  const DualDD md = ddv(-0.0, 1);
  EXPECT_TRUE(MDD::semi_axes(pd, md).first.partials[1] == DoubleDouble(1.0));
  EXPECT_TRUE(MDD::semi_axes(pd, md).second.partials[0] == DoubleDouble(1.0));
  EXPECT_EQ(M64::semi_axes(DualF64::constant(NAN), plus).first.partials[0], 1.0);
}

// The dual recurrences: values are the plain ones bit for bit, partials the
// derivative r_n'(z) (double-double central differences of the
// double-double recurrence), and the zero guard carries the partials of
// 2^-52 (|t| + |r|).
TEST(KernelDual, RatioRecurrences) {
  namespace mk = vantok::mie::kernel;
  const std::size_t n = 12;
  const double h = 0x1p-20;
  const auto dd_ratios = [&](Complex<double> z) {
    std::vector<Complex<DoubleDouble>> out;
    mk::ratios_complex(out, n, Complex<DoubleDouble>{DoubleDouble(z.re), DoubleDouble(z.im)});
    return out;
  };
  for (const Complex<double> z : {Complex<double>{2.5, 0.0}, Complex<double>{3.0, 0.4}}) {
    const auto p1 = dd_ratios({z.re + h, z.im}), m1 = dd_ratios({z.re - h, z.im});
    const auto p2 = dd_ratios({z.re + 2 * h, z.im}), m2 = dd_ratios({z.re - 2 * h, z.im});
    std::vector<Complex<DualF64>> d64;
    mk::ratios_complex(d64, n, {DualF64::variable(z.re, 0), DualF64::variable(z.im, 1)});
    std::vector<Complex<DualDD>> ddd;
    mk::ratios_complex(ddd, n, {DualDD::variable(DoubleDouble(z.re), 0), DualDD::variable(DoubleDouble(z.im), 1)});
    std::vector<Complex<double>> f64;
    mk::ratios_complex(f64, n, z);
    const auto dd0 = dd_ratios(z);
    for (std::size_t k = 1; k <= n + 1; ++k) {
      EXPECT_EQ(f64[k], (Complex<double>{d64[k].re.value, d64[k].im.value})) << k;
      EXPECT_TRUE(dd0[k].re == ddd[k].re.value && dd0[k].im == ddd[k].im.value) << k;
      const auto fd = [&](auto part) {
        return vantok::test::central_difference_dd(part(p1[k]), part(m1[k]), part(p2[k]), part(m2[k]), h);
      };
      const DoubleDouble dre = fd([](const Complex<DoubleDouble>& c) { return c.re; });
      const DoubleDouble dim = fd([](const Complex<DoubleDouble>& c) { return c.im; });
      const double size = std::hypot(dre.hi, dim.hi);
      // d/dRe z = r'(z); d/dIm z = i r'(z) (Cauchy-Riemann).
      EXPECT_NEAR(d64[k].re.partials[0], dre.hi, 1e-9 * size) << k;
      EXPECT_NEAR(d64[k].im.partials[0], dim.hi, 1e-9 * size) << k;
      EXPECT_NEAR(d64[k].re.partials[1], -dim.hi, 1e-9 * size) << k;
      EXPECT_NEAR(d64[k].im.partials[1], dre.hi, 1e-9 * size) << k;
      EXPECT_NEAR(ddd[k].re.partials[0].hi, d64[k].re.partials[0], 1e-12 * size) << k;
      EXPECT_NEAR(ddd[k].im.partials[1].hi, d64[k].im.partials[1], 1e-12 * size) << k;
    }
    if (z.im == 0.0) {
      std::vector<DualF64> real;
      mk::ratios_real(real, n, DualF64::variable(z.re, 0));
      for (std::size_t k = 1; k <= n + 1; ++k) EXPECT_EQ(real[k].partials[0], d64[k].re.partials[0]) << k;
    }
  }
  // t = 3 (1/2) = 1.5 meets r = 1.5: d = 2^-52 (|r| + |t|) with the partials
  // 2^-52 (r' + t'), then 1/d.
  DualF64 inv_z = DualF64::variable(0.5, 0);
  DualF64 r = DualF64::variable(1.5, 1);
  const DualF64 got = vantok::mie::kernel::detail::ratio_step(3.0, inv_z, r);
  const double d = 3.0 * 0x1p-52;
  EXPECT_EQ(got.value, 1.0 / d);
  EXPECT_EQ(got.partials[0], -((3.0 * 0x1p-52) * (1.0 / d)) * (1.0 / d));
  EXPECT_EQ(got.partials[1], -((1.0 * 0x1p-52) * (1.0 / d)) * (1.0 / d));
  const DualDD got_dd = vantok::mie::kernel::detail::ratio_step(
      3.0, DualDD::variable(DoubleDouble(0.5), 0), DualDD::variable(DoubleDouble(1.5), 1));
  const double d_dd = 3.0 * 0x1p-104;
  EXPECT_EQ(got_dd.value.hi, 1.0 / d_dd);
  EXPECT_NEAR(got_dd.partials[0].hi, -1.0 / d_dd, 1e-30 / d_dd);
  EXPECT_NEAR(got_dd.partials[1].hi, -(1.0 / 3.0) / d_dd, 1e-30 / d_dd);
}

}  // namespace
