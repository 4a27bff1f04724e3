// Prefix/suffix sums and the two-form tail of a product of series, against a
// brute-force double sum over all pairs in long double: both forms equal the
// tail, the returned bound is the smaller of the two forms' bounds, ties go
// to the direct sum and a NaN bound to the complement.

#include "vantok/tmatrix/regular.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tmatrix/scalar_support.hpp"
#include "vantok/error.hpp"

namespace {

using vantok::Complex;
using vantok::test::Scalar;
using namespace vantok::tmatrix::regular;

template <class T>
class RegularSeries : public ::testing::Test {};
using ScalarTypes = vantok::test::AllScalarTypes;
TYPED_TEST_SUITE(RegularSeries, ScalarTypes);

template <class T>
T make(double v) {
  return Scalar<T>::make(v, 0.0);
}

struct Brute {
  long double re = 0, im = 0;     // the tail
  long double direct_bound = 0;   // sum of |c a_t| ||b_k|| over the tail pairs
  long double prefix_bound = 0;   // the same over the other pairs
};

Brute brute(const std::vector<double>& alpha, const std::vector<Complex<double>>& beta, double c,
            std::int64_t base, std::int64_t idx) {
  Brute out;
  const std::int64_t d = idx >= base ? (idx - base) / 2 : -1;
  for (std::size_t t = 0; t < alpha.size(); ++t) {
    for (std::size_t k = 0; k < beta.size(); ++k) {
      const long double w = static_cast<long double>(alpha[t]) * c;
      const long double mag = std::fabs(w) * (std::fabs(static_cast<long double>(beta[k].re)) +
                                              std::fabs(static_cast<long double>(beta[k].im)));
      if (static_cast<std::int64_t>(t + k) > d) {
        out.re += w * beta[k].re;
        out.im += w * beta[k].im;
        out.direct_bound += mag;
      } else {
        out.prefix_bound += mag;
      }
    }
  }
  return out;
}

TYPED_TEST(RegularSeries, EmptySeries) {
  using T = TypeParam;
  const JTerms<T> j = sums<T>(7, {});
  EXPECT_TRUE(j.prefix_sums.empty() && j.prefix_bounds.empty());
  ASSERT_EQ(j.suffix_sums.size(), 1u);
  EXPECT_EQ(Scalar<T>::hi(j.suffix_sums[0].re), 0.0);
  EXPECT_EQ(Scalar<T>::hi(j.suffix_bounds[0]), 0.0);
  EXPECT_EQ(j.offset, 7);
  const SuffixSums<T> s = suffix<T>({}, 0);
  EXPECT_EQ(s.sums.size(), 1u);
  EXPECT_EQ(s.bounds.size(), 1u);
}

TYPED_TEST(RegularSeries, SumsAndBounds) {
  using T = TypeParam;
  const std::vector<Complex<T>> beta{{make<T>(1.0), make<T>(-2.0)}, {make<T>(-0.5), make<T>(0.25)},
                                     {make<T>(4.0), make<T>(0.0)}};
  const JTerms<T> j = sums<T>(-3, beta);
  const double pre_re[] = {1.0, 0.5, 4.5}, pre_b[] = {3.0, 3.75, 7.75};
  const double suf_re[] = {4.5, 3.5, 4.0, 0.0}, suf_b[] = {7.75, 4.75, 4.0, 0.0};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(Scalar<T>::hi(j.prefix_sums[k].re), pre_re[k]);
    EXPECT_EQ(Scalar<T>::hi(j.prefix_bounds[k]), pre_b[k]);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(Scalar<T>::hi(j.suffix_sums[k].re), suf_re[k]);
    EXPECT_EQ(Scalar<T>::hi(j.suffix_bounds[k]), suf_b[k]);
  }
  const std::vector<T> a{make<T>(1.0), make<T>(-3.0), make<T>(0.5)};
  const SuffixSums<T> s = suffix<T>(a, 2);  // the first two terms only
  ASSERT_EQ(s.sums.size(), 3u);
  EXPECT_EQ(Scalar<T>::hi(s.sums[0]), -2.0);
  EXPECT_EQ(Scalar<T>::hi(s.bounds[0]), 4.0);
  EXPECT_EQ(Scalar<T>::hi(s.sums[1]), -3.0);
  EXPECT_EQ(Scalar<T>::hi(s.sums[2]), 0.0);
}

TEST(RegularTail, BothFormsEqualBruteForceAndTheSmallerBoundWins) {
  std::mt19937_64 gen(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int direct = 0, complement = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t big_l = 1 + static_cast<std::size_t>(gen() % 7);
    const std::size_t big_n = 1 + static_cast<std::size_t>(gen() % 7);
    // Decaying or growing terms, so that either form can be the better one.
    const double ra = std::ldexp(1.0, static_cast<int>(gen() % 9) - 4);
    const double rb = std::ldexp(1.0, static_cast<int>(gen() % 9) - 4);
    std::vector<double> alpha(big_l);
    std::vector<Complex<double>> beta(big_n);
    for (std::size_t t = 0; t < big_l; ++t) alpha[t] = u(gen) * std::pow(ra, static_cast<double>(t));
    for (std::size_t k = 0; k < big_n; ++k)
      beta[k] = {u(gen) * std::pow(rb, static_cast<double>(k)), u(gen) * std::pow(rb, static_cast<double>(k))};
    const double c = 1.0 + u(gen);
    const std::int64_t ao = -1 - static_cast<std::int64_t>(gen() % 4);
    const std::int64_t bo = static_cast<std::int64_t>(gen() % 4) - 1;
    const std::int64_t h = (gen() % 2) != 0 ? 2 : 4;
    const std::int64_t base = ao + bo + h;
    const std::int64_t idx = base - 3 + static_cast<std::int64_t>(gen() % 20);

    const JTerms<double> j = sums<double>(bo, beta);
    const SuffixSums<double> sa = suffix<double>(alpha, big_l);
    // v, the full product c (sum alpha)(sum beta)
    long double sa_sum = 0, vr = 0, vi = 0;
    for (double a : alpha) sa_sum += a;
    for (const auto& b : beta) {
      vr += c * sa_sum * b.re;
      vi += c * sa_sum * b.im;
    }
    const Complex<double> v{static_cast<double>(vr), static_cast<double>(vi)};
    const auto [got, bound] = tail<double>(j, ao, h, alpha, c, sa, idx, v);
    const Brute ref = brute(alpha, beta, c, base, idx);
    const long double vnorm = std::fabs(static_cast<long double>(v.re)) + std::fabs(static_cast<long double>(v.im));
    const long double complement_bound = ref.prefix_bound + vnorm;
    const long double want = std::min(ref.direct_bound, complement_bound);
    EXPECT_NEAR(static_cast<double>(bound), static_cast<double>(want), 1e-13 * static_cast<double>(want) + 1e-300)
        << "trial " << trial;
    // The value is the tail to within its own bound times the rounding.
    const double err = std::hypot(static_cast<double>(got.re - ref.re), static_cast<double>(got.im - ref.im));
    EXPECT_LE(err, 64.0 * 0x1p-53 * static_cast<double>(want + vnorm) + 1e-300) << "trial " << trial;
    (ref.direct_bound <= complement_bound ? direct : complement) += 1;
  }
  // Both forms were exercised.
  EXPECT_GT(direct, 20);
  EXPECT_GT(complement, 20);
}

TEST(RegularTail, CutOffCases) {
  const std::vector<double> alpha{2.0, -1.0};
  const std::vector<Complex<double>> beta{{1.0, 1.0}, {0.5, 0.0}, {0.25, -0.5}};
  const JTerms<double> j = sums<double>(0, beta);
  const SuffixSums<double> sa = suffix<double>(alpha, 2);
  const double c = 0.5;
  const Complex<double> v{0.875, 0.25};  // c (2 - 1)(1.75 + 0.5i)
  // idx < base: every pair lies in the tail. Direct: c s_a[0] S_0 with bound
  // |c| S_b[0] b_a[0] = 0.5 * 3.75 * 3; complement: v with bound ||v|| = 1.125.
  auto [val, bound] = tail<double>(j, -1, 2, alpha, c, sa, -5, v);
  EXPECT_EQ(bound, 1.125);
  EXPECT_EQ(val, (v - Complex<double>{0.0, 0.0}));
  // D >= L + N - 2: nothing beyond the cut-off; the direct form is exactly 0
  // with bound 0.
  std::tie(val, bound) = tail<double>(j, -1, 2, alpha, c, sa, 1 + 2 * 3, v);
  EXPECT_EQ(bound, 0.0);
  EXPECT_EQ(val.re, 0.0);
  EXPECT_EQ(val.im, 0.0);
}

TEST(RegularTail, TiesGoDirectAndNanGoesToComplement) {
  // alpha = [1], beta = [1, 1], c = 1, D = 0: direct = beta_1 with bound 1;
  // complement = v - beta_0 with bound 1 + ||v|| = 1 for v = 0: a tie.
  const std::vector<double> alpha{1.0};
  const std::vector<Complex<double>> beta{{1.0, 0.0}, {1.0, 0.0}};
  const JTerms<double> j = sums<double>(0, beta);
  const SuffixSums<double> sa = suffix<double>(alpha, 1);
  auto [val, bound] = tail<double>(j, 0, 0, alpha, 1.0, sa, 0, Complex<double>{0.0, 0.0});
  EXPECT_EQ(bound, 1.0);
  EXPECT_EQ(val.re, 1.0);  // the direct sum, not v - A = -1
  std::tie(val, bound) = tail<double>(j, 0, 0, alpha, 1.0, sa, 0, Complex<double>{NAN, 0.0});
  EXPECT_TRUE(std::isnan(bound));
  EXPECT_TRUE(std::isnan(val.re));  // v - A
  // An infinite term bound on the direct side: the finite complement wins;
  // infinite on both sides: the direct form (inf >= inf).
  const std::vector<Complex<double>> wild{{1.0, 0.0}, {INFINITY, 0.0}};
  const JTerms<double> jw = sums<double>(0, wild);
  std::tie(val, bound) = tail<double>(jw, 0, 0, alpha, 1.0, sa, 0, Complex<double>{3.0, 0.0});
  EXPECT_EQ(bound, 4.0);
  EXPECT_EQ(val.re, 2.0);
  std::tie(val, bound) = tail<double>(jw, 0, 0, alpha, 1.0, sa, 0, Complex<double>{INFINITY, 0.0});
  EXPECT_EQ(bound, INFINITY);
  EXPECT_EQ(val.re, INFINITY);
}

TEST(RegularTail, EmptyComplexSeriesWithTermsIsAnInternalFailure) {
  const std::vector<double> alpha{1.0};
  const JTerms<double> j = sums<double>(0, {});
  const SuffixSums<double> sa = suffix<double>(alpha, 1);
  EXPECT_THROW((void)tail<double>(j, 0, 0, alpha, 1.0, sa, 4, Complex<double>{0.0, 0.0}),
               vantok::InternalFailure);
}

TEST(NodeSeriesForms, LayoutFlagsAndScalars) {
  // n_max = 2: real tables r = 0 (empty), 1, 2; complex tables q = 0, 1, 2.
  const std::size_t n_max = 2, orders = 3;
  NodeSeries<double> ns;
  for (std::size_t r = 0; r < orders; ++r) {
    std::array<RealSeries<double>, 3> rs;
    std::array<SuffixSums<double>, 3> sx;
    for (std::size_t s = 0; s < 3; ++s) {
      if (r > 0) {
        const auto off = static_cast<std::int64_t>(s == 0 ? -1 : -2) - static_cast<std::int64_t>(r);
        rs[s] = {off, {1.0 + static_cast<double>(r), 0.5 * static_cast<double>(s + 1), -0.25}};
      }
      sx[s] = suffix<double>(rs[s].coefficients, rs[s].coefficients.size());
    }
    ns.real_series.push_back(rs);
    ns.real_suffixes.push_back(sx);
    std::array<JTerms<double>, 3> js;
    const auto q = static_cast<std::int64_t>(r);
    for (std::size_t s = 0; s < 3; ++s) {
      const std::vector<Complex<double>> beta{{1.0, static_cast<double>(s)}, {0.5, -0.5}, {0.125 * static_cast<double>(r + 1), 0.0}};
      js[s] = sums<double>(s == 0 ? q : q - 1, beta);
    }
    ns.complex_series.push_back(js);
  }
  std::vector<Complex<double>> values(8 * orders * orders);
  for (std::size_t e = 0; e < values.size(); ++e) values[e] = {static_cast<double>(e), 1.0};
  std::vector<std::uint8_t> flags(orders * orders, 3);
  flags[1 * orders + 2] = 2;  // (r, n) = (1, 2): index 0 only
  flags[2 * orders + 1] = 0;  // (2, 1): not wanted
  const double c1 = 2.0, c2 = -3.0;
  const auto forms = ns.forms_wanted(n_max, 1, flags, values, c1, c2);
  ASSERT_EQ(forms.size(), 8 * orders * orders);
  for (std::size_t t = 0; t < 8; ++t) {
    for (std::size_t r = 0; r < orders; ++r) {
      for (std::size_t n = 0; n < orders; ++n) {
        const auto& f = forms[(t * orders + r) * orders + n];
        const bool none = r == 0 || n == 0 || n == r || (r == 2 && n == 1);
        ASSERT_EQ(f.has_value(), !none) << t << " " << r << " " << n;
        if (none) continue;
        const Complex<double>& v = values[(t * orders + r) * orders + n];
        const double c = t < 4 ? c1 : c2;
        const auto [v0, b0] = ns.tail_forms(t, r, n, 0, v, c);
        EXPECT_EQ(f->value0, v0);
        EXPECT_EQ(f->bound0, b0);
        if (r == 1 && n == 2) {
          EXPECT_EQ(f->bound1, 0.0);
          EXPECT_EQ(f->value1, (Complex<double>{0.0, 0.0}));
        } else {
          const auto [v1, b1] = ns.tail_forms(t, r, n, -1, v, c);
          EXPECT_EQ(f->value1, v1);
          EXPECT_EQ(f->bound1, b1);
        }
      }
    }
  }
  // The lower limit removes whole rows r < lower; no flag table means 3.
  const auto lower2 = ns.forms_wanted(n_max, 2, {}, values, c1, c2);
  EXPECT_FALSE(lower2[(0 * orders + 1) * orders + 2].has_value());
  EXPECT_TRUE(lower2[(0 * orders + 2) * orders + 1].has_value());
}

}  // namespace
