// Dense matrices: shapes, the k-column product, element-wise operations and the
// product's reproducibility (the same bits for copies at other addresses and
// from any number of threads). Integer-valued operands give exact products, so
// the kernel is checked bit for bit against a plain triple loop.
#include "vantok/ensemble/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "ensemble/detail_matrix.hpp"
#include "support/compare.hpp"
#include "vantok/error.hpp"
#include "vantok/pool.hpp"

using vantok::ensemble::matrix::Mat;
using vantok::ensemble::matrix::matmul;
using vantok::ensemble::matrix::product;
using vantok::ensemble::matrix::STORAGE_ALIGNMENT;

namespace {

Mat filled(std::size_t rows, std::size_t cols, std::uint32_t seed, bool integers) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Mat m(rows, cols);
  for (double& v : m.data) v = integers ? std::round(dist(gen) * 64.0) : dist(gen);
  return m;
}

// a[:, 0..k] b[0..k, :] by the plain triple loop.
Mat reference(const Mat& a, const Mat& b, std::size_t k) {
  Mat c(a.nrows, b.ncols);
  for (std::size_t i = 0; i < a.nrows; ++i) {
    for (std::size_t j = 0; j < b.ncols; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) s += a(i, l) * b(l, j);
      c(i, j) = s;
    }
  }
  return c;
}

bool same_bits(const Mat& x, const Mat& y) {
  if (x.nrows != y.nrows || x.ncols != y.ncols) return false;
  for (std::size_t i = 0; i < x.data.size(); ++i) {
    if (!vantok::test::same_bits(x.data[i], y.data[i])) return false;
  }
  return true;
}

}  // namespace

TEST(Mat, ColumnMajorProduct) {
  // [1 2 3; 4 5 6] [7 8; 9 10; 11 12] = [58 64; 139 154].
  Mat a(2, 3);
  Mat b(3, 2);
  a.data = {1, 4, 2, 5, 3, 6};
  b.data = {7, 9, 11, 8, 10, 12};
  const Mat c = product(a, b);
  ASSERT_EQ(c.nrows, 2u);
  ASSERT_EQ(c.ncols, 2u);
  EXPECT_EQ(c.data, (vantok::ensemble::matrix::Storage{58, 139, 64, 154}));
  EXPECT_EQ(c(1, 0), 139.0);
}

TEST(Mat, DestinationShapeAndZeroDepth) {
  const Mat a = filled(5, 4, 1, true);
  const Mat b = filled(4, 3, 2, true);
  // k = 0 gives a zero matrix of shape a.nrows x b.ncols, over old contents.
  Mat c(5, 3);
  c.data.assign(15, 7.0);
  matmul(c, a, b, 0);
  EXPECT_EQ(c, Mat(5, 3));
  // A destination of the right shape is overwritten in place.
  const double* storage = c.data.data();
  matmul(c, a, b, 2);
  EXPECT_EQ(c.data.data(), storage);
  EXPECT_TRUE(same_bits(c, reference(a, b, 2)));
  // One of another shape is reallocated.
  Mat d(1, 1);
  matmul(d, a, b, 4);
  EXPECT_EQ(d.nrows, 5u);
  EXPECT_EQ(d.ncols, 3u);
  EXPECT_TRUE(same_bits(d, reference(a, b, 4)));
  // Empty shapes.
  Mat e;
  matmul(e, Mat(0, 4), b, 4);
  EXPECT_EQ(e.nrows, 0u);
  EXPECT_EQ(e.ncols, 3u);
  EXPECT_TRUE(e.data.empty());
}

// Shapes that reach every path of the kernel: coefficient-wise small
// products, matrix-vector and vector-matrix, and blocked products whose inner
// dimension spans several blocks; k below the full depth.
class MatmulShapes : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(MatmulShapes, MatchesReference) {
  const auto [m, n, depth, k] = GetParam();
  const auto um = static_cast<std::size_t>(m), un = static_cast<std::size_t>(n);
  const auto ud = static_cast<std::size_t>(depth), uk = static_cast<std::size_t>(k);
  // Exact with integers: every partial sum is an integer below 2^53.
  {
    const Mat a = filled(um, ud, 11, true);
    const Mat b = filled(ud, un, 12, true);
    Mat c;
    matmul(c, a, b, uk);
    EXPECT_TRUE(same_bits(c, reference(a, b, uk)));
  }
  // General operands: copies at other (aligned) addresses give the same bits.
  const Mat a = filled(um, ud, 21, false);
  const Mat b = filled(ud, un, 22, false);
  Mat c;
  matmul(c, a, b, uk);
  const Mat a2 = a;
  const Mat b2 = b;
  Mat c2;
  matmul(c2, a2, b2, uk);
  EXPECT_NE(a2.data.data(), a.data.data());
  EXPECT_TRUE(same_bits(c, c2));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c2.data.data()) % STORAGE_ALIGNMENT, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatmulShapes,
                         ::testing::Values(std::make_tuple(1, 1, 1, 1), std::make_tuple(3, 5, 4, 4),
                                           std::make_tuple(7, 1, 9, 9), std::make_tuple(1, 7, 9, 5),
                                           std::make_tuple(6, 6, 7, 3), std::make_tuple(33, 61, 130, 117),
                                           std::make_tuple(129, 60, 400, 400),
                                           std::make_tuple(5, 300, 1100, 1000)));

TEST(Matmul, SameBitsForAnyThreadCount) {
  // Many products at once, each in its own slot, on 1 and on 8 threads.
  const Mat a = filled(200, 350, 31, false);
  const Mat b = filled(350, 90, 32, false);
  auto run = [&](std::size_t threads) {
    std::vector<Mat> out(16);
    vantok::pool::with_threads(threads, [&] {
      vantok::pool::for_each_index(
          out.size(), [&](std::size_t i) { matmul(out[i], a, b, 350 - 10 * i); },
          vantok::pool::Grain::One);
    });
    return out;
  };
  const std::vector<Mat> one = run(1);
  const std::vector<Mat> many = run(8);
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_TRUE(same_bits(one[i], many[i])) << i;
}

TEST(Mat, ShapeFaultsAreInternalFailures) {
  const Mat a(2, 3);
  const Mat b(3, 2);
  Mat c;
  try {
    matmul(c, a, b, 4);
    FAIL();
  } catch (const vantok::InternalFailure& e) {
    EXPECT_STREQ(e.what(), "matmul: k = 4 is out of range");
  }
  try {
    (void)product(a, a);
    FAIL();
  } catch (const vantok::InternalFailure& e) {
    EXPECT_STREQ(e.what(), "product: the shapes do not match");
  }
  EXPECT_THROW((void)(a + b), vantok::InternalFailure);
  Mat short_storage(3, 2);
  short_storage.data.resize(4);
  EXPECT_THROW(matmul(c, a, short_storage, 3), vantok::InternalFailure);
}

// The lane kernel of blocked products gives Eigen's bits: shapes with every
// row class (lane rows, paired rows, a last odd row), remainder columns, and
// inner dimensions of one and of several blocks; on both lane widths.
TEST(Matmul, BlockedKernelGivesEigenBits) {
  std::mt19937_64 gen(5);
  std::uniform_int_distribution<int> rows(2, 40), cols(2, 70), depth(1, 1300);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t m = trial < 10 ? 500 + trial : static_cast<std::size_t>(rows(gen));
    const std::size_t n = static_cast<std::size_t>(cols(gen));
    const std::size_t k = static_cast<std::size_t>(depth(gen));
    if (vantok::ensemble::matrix::product_kind(m, k, n) != vantok::ensemble::matrix::ProductKind::Blocked) continue;
    const Mat a = filled(m, k + 3, 100 + trial, false);
    const Mat b = filled(k + 5, n, 200 + trial, false);
    Mat want(m, n);
    vantok::ensemble::matrix::detail::eigen_product(want, a, b, k);
    Mat got;
    matmul(got, a, b, k);
    EXPECT_TRUE(same_bits(got, want)) << m << " x " << k << " x " << n;
    Mat narrow(m, n);
    vantok::ensemble::matrix::detail::blocked_product(narrow.data.data(), a.data.data(), a.nrows, b.data.data(),
                                                      b.nrows, m, n, k, vantok::ensemble::matrix::depth_block(m, k, n),
                                                      vantok::scalar::lanes::Width::Two);
    EXPECT_TRUE(same_bits(narrow, want)) << m << " x " << k << " x " << n;
  }
}
