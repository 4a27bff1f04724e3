// The lane layer against the scalar operations it mirrors, lane by lane and
// bit for bit: the guarded complex reciprocal on every branch and at its
// boundaries (ties, zero and signed-zero parts, |z|^2 at 1e-300 and 1e300,
// overflow, NaN and infinities), the comparisons' NaN rules, select and the
// mask reductions, for two lanes and, when the processor has them, four.
#include "vantok/scalar/lanes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "support/compare.hpp"

using vantok::Complex;
using vantok::test::bits;
namespace lanes = vantok::scalar::lanes;
using C = Complex<double>;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Parts that reach every branch of the reciprocal and its thresholds.
const std::vector<double> PARTS{0.0,   -0.0,   1.0,    -1.0,   2.0,     0.5,     1e-150, 1.1e-150, 1e150,
                                9e149, 1e-160, 1e160,  1e-310, -3e-320, 1e308,   -1e308, INF,      -INF,
                                NaN,   3.0,    -3.0,   0.1,    7.25,    -1e-151, 1e-200};

std::vector<C> arguments() {
  std::vector<C> out;
  for (double re : PARTS) {
    for (double im : PARTS) out.push_back({re, im});
  }
  return out;
}

// One comparison and mask of every kind for lanes a, b, written per lane
// into bool arrays; the same from the scalar operators.
struct Masks {
  std::vector<bool> eq, ne, lt, le, gt, ge, sel_is_a;
};

// The lanes' results for the arguments z, a group of lanes at a time. Defined
// once per lane type, the four-lane one inside the avx2 region (a template
// defined outside it would not compile for that target).
#define VANTOK_LANE_RESULTS(NAME, V)                                                       \
  void NAME(const std::vector<C>& z, std::vector<C>& inv_out, Masks& m) {                  \
    constexpr std::size_t W = V::size;                                                     \
    for (std::size_t i = 0; i + W <= z.size(); i += W) {                                   \
      double re[W], im[W];                                                                 \
      for (std::size_t j = 0; j < W; ++j) {                                                \
        re[j] = z[i + j].re;                                                               \
        im[j] = z[i + j].im;                                                               \
      }                                                                                    \
      const V a = V::load(re), b = V::load(im);                                            \
      const Complex<V> r = inv(Complex<V>{a, b});                                          \
      double out_re[W], out_im[W], picked[W];                                              \
      r.re.store(out_re);                                                                  \
      r.im.store(out_im);                                                                  \
      select(a < b, a, b).store(picked);                                                   \
      const auto lt = a < b;                                                               \
      bool any = false, all = true;                                                        \
      for (std::size_t j = 0; j < W; ++j) {                                                \
        inv_out.push_back({out_re[j], out_im[j]});                                         \
        m.eq.push_back(lanes::lane(a == b, j));                                            \
        m.ne.push_back(lanes::lane(a != b, j));                                            \
        m.lt.push_back(lanes::lane(lt, j));                                                \
        m.le.push_back(lanes::lane(a <= b, j));                                            \
        m.gt.push_back(lanes::lane(a > b, j));                                             \
        m.ge.push_back(lanes::lane(a >= b, j));                                            \
        m.sel_is_a.push_back(bits(picked[j]) == bits(re[j]));                              \
        any = any || lanes::lane(lt, j);                                                   \
        all = all && lanes::lane(lt, j);                                                   \
      }                                                                                    \
      /* The reductions agree with the lanes. */                                           \
      EXPECT_EQ(lanes::any(lt), any);                                                      \
      EXPECT_EQ(lanes::all(lt), all);                                                      \
      EXPECT_EQ(lanes::none(lt), !any);                                                    \
    }                                                                                      \
  }

VANTOK_LANE_RESULTS(two, lanes::F64x2)

VANTOK_AVX2_BEGIN
VANTOK_LANE_RESULTS(four, lanes::F64x4)
VANTOK_AVX2_END

void check(void (*run)(const std::vector<C>&, std::vector<C>&, Masks&), std::size_t width) {
  std::vector<C> z = arguments();
  z.resize(z.size() / width * width);
  std::vector<C> got;
  Masks m;
  run(z, got, m);
  ASSERT_EQ(got.size(), z.size());
  for (std::size_t i = 0; i < z.size(); ++i) {
    const C want = vantok::complex::inv(z[i]);
    EXPECT_EQ(bits(got[i].re), bits(want.re)) << z[i].re << " " << z[i].im;
    EXPECT_EQ(bits(got[i].im), bits(want.im)) << z[i].re << " " << z[i].im;
    const double a = z[i].re, b = z[i].im;
    EXPECT_EQ(m.eq[i], a == b) << a << " " << b;
    EXPECT_EQ(m.ne[i], a != b) << a << " " << b;
    EXPECT_EQ(m.lt[i], a < b) << a << " " << b;
    EXPECT_EQ(m.le[i], a <= b) << a << " " << b;
    EXPECT_EQ(m.gt[i], a > b) << a << " " << b;
    EXPECT_EQ(m.ge[i], a >= b) << a << " " << b;
    EXPECT_EQ(m.sel_is_a[i], a < b || bits(a) == bits(b)) << a << " " << b;
  }
}

}  // namespace

TEST(Lanes, TwoLanesMirrorTheScalarOperations) { check(&two, 2); }

TEST(Lanes, FourLanesMirrorTheScalarOperations) {
  if (!lanes::has_avx2()) GTEST_SKIP() << "no AVX2";
  check(&four, 4);
}
