// Values with errors and derivatives on cases exact in binary; dense
// matrices: the k-column product and its destination, the same bits for
// copies at other addresses (concurrent products on any number of threads are
// checked by the projection's tests), the lane kernel against Eigen bit for
// bit, and the shape faults. Integer-valued operands give exact products, so
// every path of the kernel is also checked bit for bit against a plain triple
// loop.
#include "ensemble/detail_matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "ensemble/detail_lin.hpp"
#include "ensemble/detail_matrix_kernels.hpp"
#include "support/compare.hpp"
#include "vantok/error.hpp"

using vantok::ensemble::lin::Lin;
using vantok::ensemble::matrix::Mat;
using vantok::ensemble::matrix::matmul;
using vantok::ensemble::matrix::product;

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
      for (std::size_t l = 0; l < k; ++l) c(i, j) += a(i, l) * b(l, j);
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

TEST(Mat, ProductAndDestination) {
  // Column major: [1 2 3; 4 5 6] [7 8; 9 10; 11 12] = [58 64; 139 154].
  Mat a(2, 3), b(3, 2);
  a.data = {1, 4, 2, 5, 3, 6};
  b.data = {7, 9, 11, 8, 10, 12};
  EXPECT_EQ(product(a, b).data, (vantok::ensemble::matrix::Storage{58, 139, 64, 154}));
  // k = 0 gives a zero matrix of shape a.nrows x b.ncols, over old contents;
  // a destination of the right shape is overwritten in place, one of another
  // shape reallocated.
  const Mat p = filled(5, 4, 1, true), q = filled(4, 3, 2, true);
  Mat c(5, 3);
  c.data.assign(15, 7.0);
  matmul(c, p, q, 0);
  EXPECT_EQ(c, Mat(5, 3));
  const double* storage = c.data.data();
  matmul(c, p, q, 2);
  EXPECT_EQ(c.data.data(), storage);
  EXPECT_TRUE(same_bits(c, reference(p, q, 2)));
  Mat d(1, 1);
  matmul(d, p, q, 4);
  EXPECT_TRUE(same_bits(d, reference(p, q, 4)));
  Mat e;
  matmul(e, Mat(0, 4), q, 4);
  EXPECT_EQ(e, Mat(0, 3));
}

// Shapes that reach every path of the kernel: coefficient-wise small
// products, matrix-vector and vector-matrix, and blocked products whose inner
// dimension spans several blocks; k below the full depth. General operands:
// copies at other (aligned) addresses give the same bits.
class MatmulShapes : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(MatmulShapes, MatchesReference) {
  const auto [m, n, depth, k] = GetParam();
  const auto um = static_cast<std::size_t>(m), un = static_cast<std::size_t>(n);
  const auto ud = static_cast<std::size_t>(depth), uk = static_cast<std::size_t>(k);
  Mat c;
  matmul(c, filled(um, ud, 11, true), filled(ud, un, 12, true), uk);
  EXPECT_TRUE(same_bits(c, reference(filled(um, ud, 11, true), filled(ud, un, 12, true), uk)));
  const Mat a = filled(um, ud, 21, false), b = filled(ud, un, 22, false);
  const Mat a2 = a, b2 = b;
  Mat c1, c2;
  matmul(c1, a, b, uk);
  matmul(c2, a2, b2, uk);
  EXPECT_NE(a2.data.data(), a.data.data());
  EXPECT_TRUE(same_bits(c1, c2));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(c2.data.data()) % vantok::ensemble::matrix::STORAGE_ALIGNMENT, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatmulShapes,
                         ::testing::Values(std::make_tuple(1, 1, 1, 1), std::make_tuple(3, 5, 4, 4),
                                           std::make_tuple(7, 1, 9, 9), std::make_tuple(1, 7, 9, 5),
                                           std::make_tuple(6, 6, 7, 3), std::make_tuple(33, 61, 130, 117),
                                           std::make_tuple(129, 60, 400, 400),
                                           std::make_tuple(5, 300, 1100, 1000)));

// The lane kernel of blocked products gives Eigen's bits: shapes with every
// row class (lane rows, paired rows, a last odd row), remainder columns, and
// inner dimensions of one and of several blocks; on both lane widths.
TEST(Matmul, BlockedKernelGivesEigenBits) {
  namespace matrix = vantok::ensemble::matrix;
  std::mt19937_64 gen(5);
  std::uniform_int_distribution<int> rows(2, 40), cols(2, 70), depth(1, 1300);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t m = trial < 10 ? 500 + trial : static_cast<std::size_t>(rows(gen));
    const std::size_t n = static_cast<std::size_t>(cols(gen));
    const std::size_t k = static_cast<std::size_t>(depth(gen));
    if (matrix::product_kind(m, k, n) != matrix::ProductKind::Blocked) continue;
    const Mat a = filled(m, k + 3, 100 + trial, false), b = filled(k + 5, n, 200 + trial, false);
    Mat want(m, n), got, narrow(m, n);
    matrix::detail::eigen_product(want, a, b, k);
    matmul(got, a, b, k);
    EXPECT_TRUE(same_bits(got, want)) << m << " x " << k << " x " << n;
    matrix::detail::blocked_product(narrow.data.data(), a.data.data(), a.nrows, b.data.data(), b.nrows, m, n, k,
                                    matrix::depth_block(m, k, n), vantok::scalar::lanes::Width::Two);
    EXPECT_TRUE(same_bits(narrow, want)) << m << " x " << k << " x " << n;
  }
}

TEST(Mat, ShapeFaultsAreInternalFailures) {
  const Mat a(2, 3), b(3, 2);
  Mat c, short_storage(3, 2);
  short_storage.data.resize(4);
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const vantok::InternalFailure& e) {
      return std::string(e.what());
    }
    return std::string("no failure");
  };
  EXPECT_EQ(message([&] { matmul(c, a, b, 4); }), "matmul: k = 4 is out of range");
  EXPECT_EQ(message([&] { (void)product(a, a); }), "product: the shapes do not match");
  EXPECT_THROW((void)(a + b), vantok::InternalFailure);
  EXPECT_THROW(matmul(c, a, short_storage, 3), vantok::InternalFailure);
}

// q = a/b, err = (|q| e_b + e_a)/|b|, d_k = (a_k - q b_k)/b and
// d_err_k = ((e_ak + |q| e_bk) + |d_k| e_b + |b_k| err)/|b| over the shorter list.
TEST(Lin, QuotientScaleAndConstant) {
  const Lin q = Lin{1.0, 0.125, {1.0, 2.0, 7.0}, {0.25, 0.5, 1.0}}.div(Lin{-4.0, 0.5, {2.0, -1.0}, {0.75, 0.0}});
  EXPECT_EQ(q, (Lin{-0.25, 0.0625, {-0.375, -0.4375}, {0.1875, 0.1953125}}));
  EXPECT_EQ((Lin{6.0, 0.3, {}, {}}.div(Lin{2.0, 0.1, {}, {}})), (Lin{3.0, (3.0 * 0.1 + 0.3) / 2.0, {}, {}}));
  // A quotient by zero is not checked.
  const Lin z = Lin{1.0, 0.1, {1.0}, {0.0}}.div(Lin{0.0, 0.0, {1.0}, {0.0}});
  EXPECT_TRUE(std::isinf(z.value)) << z.value;
  EXPECT_FALSE(std::isfinite(z.err)) << z.err;
  EXPECT_FALSE(std::isfinite(z.d[0])) << z.d[0];
  EXPECT_TRUE(std::isnan(Lin{0.0, 0.0, {}, {}}.div(Lin{0.0, 0.0, {}, {}}).value));

  const double k = 4.0 * M_PI;
  EXPECT_EQ((Lin{2.0, 0.5, {1.0, -3.0}, {0.25, 0.125}}.scale(k)),
            (Lin{2.0 * k, 0.5 * k, {k, -3.0 * k}, {0.25 * k, 0.125 * k}}));
  EXPECT_EQ(Lin::constant(0.0, 3), (Lin{0.0, 0.0, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}));
}
