// The per-node functions of the EBCM integrands (scale factors, angular
// functions, scaled exponentials) against 50-digit references
// (gen_tmatrix_functions.py) for every scalar, the dual members at ties, and
// the prefix/suffix sums and two-form tails of series products against a
// brute-force double sum in long double.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/scalar_compare.hpp"
#include "support/table.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_series_tails.hpp"
#include "vantok/error.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::ScalarTraits;
using vantok::test::same_real;
using namespace vantok::tmatrix::functions;
using namespace vantok::tmatrix::regular;

template <class T>
class TmatrixSeries : public ::testing::Test {};
TYPED_TEST_SUITE(TmatrixSeries, vantok::test::AllScalarTypes);

template <class T>
constexpr bool F64 = std::is_same_v<typename ScalarTraits<T>::Real, double>;
/// A scalar of value hi + lo (lo dropped for f64 values), partials +0.0.
template <class T>
T make(double hi, double lo = 0.0) {
  if constexpr (F64<T>) return vantok::scalar::constant<T>(hi);
  else return ScalarTraits<T>::from_real(DoubleDouble{hi, lo});
}
/// The unit roundoff of T's value arithmetic.
template <class T>
constexpr double unit() { return F64<T> ? 0x1p-53 : 0x1p-104; }
/// |value of got - (hi + lo)|.
template <class T>
double abs_diff(const T& got, double hi, double lo) {
  const auto& v = ScalarTraits<T>::value(got);
  if constexpr (F64<T>) return std::fabs((v - hi) - lo);
  else return std::fabs((v.hi - hi) + (v.lo - lo));
}

/// The records of tmatrix_functions.txt: a header (kind and arguments), then
/// data lines of (hi, lo) pairs.
struct Record {
  vantok::test::Record head;
  std::vector<std::vector<std::pair<double, double>>> rows;
};
std::vector<Record> load_records() {
  std::vector<Record> out;
  for (const auto& line : vantok::test::read_table("tmatrix_functions.txt")) {
    if (line.tag == "scales" || line.tag == "angular" || line.tag == "exps") {
      out.push_back({line, {}});
      continue;
    }
    auto& row = out.back().rows.emplace_back();
    for (std::size_t i = 0; i + 1 < line.fields.size(); i += 2) row.push_back({line.num(i), line.num(i + 1)});
  }
  return out;
}

// Outgoing scales multiply to the spherical Hankel moduli (one rounding per
// factor plus the recurrence's error, linear in k); the angular functions
// d^n_0m, pi_mn, tau_mn follow the normalised Legendre functions (stable
// upward, error growing with the degree); the exponentials are as good as the
// reduction of their argument (|x| u absolute). For m > n_max the angular
// functions are zeros.
TYPED_TEST(TmatrixSeries, FunctionsMatchReference) {
  using T = TypeParam;
  const double u = unit<T>();
  Angular<T> ang;
  for (const auto& rec : load_records()) {
    if (rec.head.tag == "scales") {
      const auto n = rec.head.count(1);
      const Scales<T> s(n, make<T>(rec.head.num(0)), Complex<T>{make<T>(1.0), make<T>(0.5)});
      T prod = make<T>(1.0);
      for (std::size_t k = 0; k <= n + 1; ++k) {
        prod = prod * s.outgoing[k];
        const auto& ref = rec.rows[0][k];
        EXPECT_LE(abs_diff(prod, ref.first, ref.second) / ref.first, 16.0 * static_cast<double>(k + 1) * u) << rec.head.num(0) << " " << k;
      }
    } else if (rec.head.tag == "angular") {
      const auto m = rec.head.count(0), n_max = rec.head.count(1);
      ang.compute(m, n_max, make<T>(rec.head.num(2), rec.head.num(3)), make<T>(rec.head.num(4), rec.head.num(5)));
      const std::vector<T>* got[3] = {&ang.d0m, &ang.pi_mn, &ang.tau_mn};
      for (std::size_t v = 0; v < 3; ++v) {
        ASSERT_EQ(got[v]->size(), n_max + 1);
        double scale = 0.0;
        for (const auto& r : rec.rows[v]) scale = std::fmax(scale, std::fabs(r.first));
        for (std::size_t n = 0; n <= n_max; ++n) {
          EXPECT_LE(abs_diff((*got[v])[n], rec.rows[v][n].first, rec.rows[v][n].second),
                    32.0 * static_cast<double>(n_max + 1) * u * scale) << "m " << m << " n " << n << " function " << v;
        }
      }
    } else {
      const double x = rec.head.num(0);
      const auto [ep, em] = exps_scaled(Complex<T>{make<T>(x), make<T>(rec.head.num(1))}, make<T>(rec.head.num(2)));
      const T got[4] = {ep.re, ep.im, em.re, em.im};
      const auto& ref = rec.rows[0];
      for (std::size_t k = 0; k < 4; ++k) {
        const double mag = std::hypot(ref[k < 2 ? 0 : 2].first, ref[k < 2 ? 1 : 3].first);
        EXPECT_LE(abs_diff(got[k], ref[k].first, ref[k].second), 8.0 * u * mag * std::fmax(1.0, std::fabs(x))) << x << " " << k;
      }
    }
  }
  ang.compute(5, 3, make<T>(0.6), make<T>(0.8));
  ASSERT_EQ(ang.d0m.size(), 4u);
  for (std::size_t n = 0; n < 4; ++n) EXPECT_EQ(vantok::scalar::value_f64(ang.d0m[n]) + vantok::scalar::value_f64(ang.tau_mn[n]), 0.0);
}

// Degenerate arguments: z = 0 gives b_0 = inf and b_k = 0, a NaN z NaN only in
// b_0 (the cap keeps 1); x = 0 gives non-finite outgoing scales. With y = s,
// E+ underflows to exactly 0 (not NaN) and |E-| = 1; beyond the double-double
// reduction limit every component is NaN.
TEST(TmatrixSeries, DegenerateArguments) {
  const Scales<double> zero_z(2, 1.0, Complex<double>{0.0, 0.0});
  EXPECT_EQ(zero_z.regular[0], INFINITY);
  EXPECT_EQ(zero_z.regular[1], 0.0);
  const Scales<double> nan_z(2, 1.0, Complex<double>{NAN, 1.0});
  EXPECT_TRUE(std::isnan(nan_z.regular[0]));
  EXPECT_EQ(nan_z.regular[3], 1.0);
  const Scales<double> zero_x(2, 0.0, Complex<double>{1.0, 0.0});
  EXPECT_EQ(zero_x.outgoing[0], INFINITY);
  EXPECT_FALSE(std::isfinite(zero_x.outgoing[2]));
  auto [ep, em] = exps_scaled(Complex<double>{1.25, 400.0}, 400.0);
  EXPECT_EQ(ep.re, 0.0);
  EXPECT_EQ(ep.im, 0.0);
  EXPECT_NEAR(std::hypot(em.re, em.im), 1.0, 2e-16);
  const auto [np, nm] = exps_scaled(Complex<DoubleDouble>{{0x1p51, 0.0}, {0.0, 0.0}}, DoubleDouble{0.0, 0.0});
  for (const DoubleDouble& v : {np.re, np.im, nm.re, nm.im}) EXPECT_TRUE(std::isnan(v.hi));
}

template <class D>
class DualSeries : public ::testing::Test {};
using DualTypes = ::testing::Types<vantok::scalar::DualF64, vantok::scalar::DualDD>;
TYPED_TEST_SUITE(DualSeries, DualTypes);

// The dual members' partials at the ties the solves' differences do not
// reach (their partials elsewhere are checked against differences of the
// dual kernels and solves): |Im z| for Im z < 0, and b_1 = min(|z|/3, 1) at
// |z| = 3, which keeps the partials of |z|/3.
TYPED_TEST(DualSeries, PartialsAtTies) {
  using D = TypeParam;
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  auto lead = [](const R& v) { return vantok::scalar::ScalarTraits<R>::value_f64(v); };
  const D x = D::variable(make<R>(0.8), 0);
  const Scales<D> s(20, x, Complex<D>{D::variable(make<R>(2.3), 2), D::variable(make<R>(-0.4), 3)});
  EXPECT_EQ(lead(s.im_abs.partials[3]), -1.0);
  const Scales<D> edge(1, x, Complex<D>{D::variable(make<R>(3.0), 2), D::variable(make<R>(0.0), 3)});
  EXPECT_NEAR(lead(edge.regular[1].partials[2]), 1.0 / 3.0, 1e-15);
}

/// The tail of c (sum alpha)(sum beta) over the pairs t + k > D, in long double,
/// with the magnitude sums of the tail pairs and of the others.
struct Brute {
  long double re = 0, im = 0, direct_bound = 0, prefix_bound = 0;
};
Brute brute(const std::vector<double>& alpha, const std::vector<Complex<double>>& beta, double c, std::int64_t d) {
  Brute out;
  for (std::size_t t = 0; t < alpha.size(); ++t) {
    for (std::size_t k = 0; k < beta.size(); ++k) {
      const long double w = static_cast<long double>(alpha[t]) * c;
      const long double mag = std::fabs(w) * (std::fabs(static_cast<long double>(beta[k].re)) + std::fabs(static_cast<long double>(beta[k].im)));
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

// Both forms equal the tail; the returned bound is the smaller of the direct
// and the complement bound (||v|| added to the latter), with decaying or
// growing terms so that either can win.
TEST(RegularTail, MatchesBruteForceAndTheSmallerBoundWins) {
  std::mt19937_64 gen(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int direct = 0, complement = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t big_l = 1 + gen() % 7, big_n = 1 + gen() % 7;
    const double ra = std::ldexp(1.0, static_cast<int>(gen() % 9) - 4), rb = std::ldexp(1.0, static_cast<int>(gen() % 9) - 4);
    std::vector<double> alpha(big_l);
    std::vector<Complex<double>> beta(big_n);
    for (std::size_t t = 0; t < big_l; ++t) alpha[t] = u(gen) * std::pow(ra, static_cast<double>(t));
    for (std::size_t k = 0; k < big_n; ++k) beta[k] = {u(gen) * std::pow(rb, static_cast<double>(k)), u(gen) * std::pow(rb, static_cast<double>(k))};
    const double c = 1.0 + u(gen);
    const std::int64_t ao = -1 - static_cast<std::int64_t>(gen() % 4), bo = static_cast<std::int64_t>(gen() % 4) - 1;
    const std::int64_t h = (gen() % 2) != 0 ? 2 : 4;
    const std::int64_t idx = ao + bo + h - 3 + static_cast<std::int64_t>(gen() % 20);
    long double sa_sum = 0, vr = 0, vi = 0;
    for (double a : alpha) sa_sum += a;
    for (const auto& b : beta) {
      vr += c * sa_sum * b.re;
      vi += c * sa_sum * b.im;
    }
    const Complex<double> v{static_cast<double>(vr), static_cast<double>(vi)};
    const auto [got, bound] = tail<double>(sums<double>(bo, beta), ao, h, alpha, c, suffix<double>(alpha, big_l), idx, v);
    const std::int64_t base = ao + bo + h;
    const Brute ref = brute(alpha, beta, c, idx >= base ? (idx - base) / 2 : -1);
    const long double vnorm = std::fabs(static_cast<long double>(v.re)) + std::fabs(static_cast<long double>(v.im));
    const double want = static_cast<double>(std::min(ref.direct_bound, ref.prefix_bound + vnorm));
    EXPECT_NEAR(bound, want, 1e-13 * want + 1e-300) << trial;
    EXPECT_LE(std::hypot(static_cast<double>(got.re - ref.re), static_cast<double>(got.im - ref.im)),
              64.0 * 0x1p-53 * (want + static_cast<double>(vnorm)) + 1e-300) << trial;
    (ref.direct_bound <= ref.prefix_bound + vnorm ? direct : complement) += 1;
  }
  EXPECT_GT(direct, 20);
  EXPECT_GT(complement, 20);
}

// A tie goes to the direct form, a NaN bound to the complement, an infinite
// direct bound to a finite complement; over double-double the comparison sees
// lo parts. An empty complex series with terms to pair is a caller fault.
TEST(RegularTail, TiesNonFiniteBoundsAndLoParts) {
  const std::vector<double> alpha{1.0};
  const auto sa = suffix<double>(alpha, 1);
  const auto j = sums<double>(0, std::vector<Complex<double>>{{1.0, 0.0}, {1.0, 0.0}});
  struct Case {
    Complex<double> v;
    double bound, value;
  };
  for (const Case& c : {Case{{0.0, 0.0}, 1.0, 1.0}, Case{{NAN, 0.0}, NAN, NAN}}) {
    const auto [val, bound] = tail<double>(j, 0, 0, alpha, 1.0, sa, 0, c.v);
    EXPECT_TRUE(vantok::test::same_bits(bound, c.bound));
    EXPECT_TRUE(vantok::test::same_bits(val.re, c.value));
  }
  const auto jw = sums<double>(0, std::vector<Complex<double>>{{1.0, 0.0}, {INFINITY, 0.0}});
  const auto [val, bound] = tail<double>(jw, 0, 0, alpha, 1.0, sa, 0, Complex<double>{3.0, 0.0});
  EXPECT_EQ(bound, 4.0);
  EXPECT_EQ(val.re, 2.0);
  using CDD = Complex<DoubleDouble>;
  const std::vector<DoubleDouble> alpha_dd{{1.0, 0.0}};
  for (double lo : {0.0, 0x1p-70, -0x1p-70}) {
    const auto jd = sums<DoubleDouble>(0, std::vector<CDD>{{{1.0, lo}, {}}, {{1.0, 0.0}, {}}});
    const auto [v, b] = tail<DoubleDouble>(jd, 0, 0, alpha_dd, {1.0, 0.0}, suffix<DoubleDouble>(alpha_dd, 1), 0, CDD{});
    EXPECT_TRUE(same_real(b, DoubleDouble{1.0, lo < 0.0 ? lo : 0.0})) << lo;
  }
  EXPECT_THROW((void)tail<double>(sums<double>(0, {}), 0, 0, alpha, 1.0, sa, 4, Complex<double>{}), vantok::InternalFailure);
}

}  // namespace
