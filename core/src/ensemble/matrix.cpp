// Dense real matrices and their product. This is the one file of the library
// that uses Eigen: its general matrix product (packed panels, register-blocked
// micro-kernel, single-threaded under EIGEN_DONT_PARALLELIZE) computes every
// product of the ensemble engine.
//
// Reproducibility: the kernel packs its operands into its own aligned buffers
// and splits the inner dimension into blocks chosen from the cache sizes, so
// its rounding depends on the shapes and on those sizes only. The cache sizes
// are fixed below instead of being read from the processor, so that a product
// gives the same bits on every machine of the same instruction set. Small
// products take a coefficient-wise path whose first elements may be peeled by
// the destination's alignment; the aligned storage of Mat makes that the same
// for every copy.
//
// Blocked products (both dimensions of the result at least 2) are computed by
// the lane kernel of matrix_blocked.cpp, which forms every element's sum in
// the order Eigen's SSE2 kernel does (detail_matrix.hpp), but with wider lanes; Eigen
// computes the vector and small products. Only the blocking of the inner
// dimension is taken from Eigen here.
#include "ensemble/detail_matrix.hpp"

#include "ensemble/detail_matrix_kernels.hpp"

#include "vantok/error.hpp"
#include "vantok/format.hpp"
#include "vantok/numeric.hpp"

#include <Eigen/Core>

#include <algorithm>
#include <string>

// Every product's rounding follows Eigen's kernels and blocking rule, which
// the lane kernel reproduces: they were read from Eigen 3.4.0, and another
// version may block or sum in another order, changing the ensemble's bits.
static_assert(EIGEN_WORLD_VERSION == 3 && EIGEN_MAJOR_VERSION == 4 && EIGEN_MINOR_VERSION == 0,
              "the ensemble products reproduce the summation order of Eigen 3.4.0; check it before moving on");

namespace vantok::ensemble::matrix {

namespace {

using ConstMap = Eigen::Map<const Eigen::MatrixXd, Eigen::Unaligned, Eigen::OuterStride<>>;
using Map = Eigen::Map<Eigen::MatrixXd, Eigen::Unaligned>;

// The blocking of Eigen's product follows the cache sizes it is given; these
// are Eigen's own x86 defaults.
constexpr std::ptrdiff_t L1_BYTES = 32 * 1024;
constexpr std::ptrdiff_t L2_BYTES = 256 * 1024;
constexpr std::ptrdiff_t L3_BYTES = 2 * 1024 * 1024;

void fix_cache_sizes() {
  // Set once, before any product; the guard of the local static orders every
  // later product after it.
  static const bool fixed = [] {
    Eigen::setCpuCacheSizes(L1_BYTES, L2_BYTES, L3_BYTES);
    return true;
  }();
  (void)fixed;
}

Eigen::Index index(std::size_t n) { return static_cast<Eigen::Index>(n); }

// Eigen takes the coefficient-wise path below this sum of dimensions.
constexpr std::size_t COEFFICIENTWISE_BELOW = EIGEN_GEMM_TO_COEFFBASED_THRESHOLD;

std::size_t element_count(std::size_t rows, std::size_t cols) {
  std::size_t count = 0;
  VANTOK_ASSERT(checked_mul(rows, cols, count));
  return count;
}

void check_shapes(const Mat& a, const Mat& b) {
  if (a.nrows != b.nrows || a.ncols != b.ncols) {
    throw InternalFailure("element-wise operation: the shapes " + fmt::plain(a.nrows) + " x " +
                          fmt::plain(a.ncols) + " and " + fmt::plain(b.nrows) + " x " +
                          fmt::plain(b.ncols) + " differ");
  }
}

template <class Op>
Mat elementwise(const Mat& a, const Mat& b, Op op) {
  check_shapes(a, b);
  Mat out(a.nrows, a.ncols);
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = op(a.data[i], b.data[i]);
  return out;
}

}  // namespace

Mat::Mat(std::size_t rows, std::size_t cols)
    : data(element_count(rows, cols), 0.0), nrows(rows), ncols(cols) {}

Mat Mat::uninitialized(std::size_t rows, std::size_t cols) {
  Mat out;
  out.data.resize(element_count(rows, cols));
  out.nrows = rows;
  out.ncols = cols;
  return out;
}

void Mat::reshape(std::size_t rows, std::size_t cols) {
  if (rows == nrows && cols == ncols) return;
  data.assign(element_count(rows, cols), 0.0);
  nrows = rows;
  ncols = cols;
}

ProductKind product_kind(std::size_t m, std::size_t k, std::size_t n) noexcept {
  if (sat_add(sat_add(k, m), n) < COEFFICIENTWISE_BELOW) return ProductKind::Coefficientwise;
  if (n == 1) return ProductKind::ColumnVector;
  if (m == 1) return ProductKind::RowVector;
  return ProductKind::Blocked;
}

std::size_t depth_block(std::size_t m, std::size_t k, std::size_t n) {
  // The blocking Eigen's general product computes for its one thread.
  fix_cache_sizes();
  Eigen::Index kc = index(k);
  Eigen::Index mc = index(m);
  Eigen::Index nc = index(n);
  Eigen::internal::computeProductBlockingSizes<double, double, 1, Eigen::Index>(kc, mc, nc, 1);
  VANTOK_ASSERT(kc >= 1);
  return static_cast<std::size_t>(kc);
}

void matmul(Mat& dst, const Mat& a, const Mat& b, std::size_t k) {
  if (k > a.ncols || k > b.nrows) {
    throw InternalFailure("matmul: k = " + fmt::plain(k) + " is out of range");
  }
  VANTOK_ASSERT(&dst != &a && &dst != &b);
  const std::size_t m = a.nrows;
  const std::size_t n = b.ncols;
  dst.reshape(m, n);
  if (m == 0 || n == 0) return;
  if (k == 0) {
    std::fill(dst.data.begin(), dst.data.end(), 0.0);
    return;
  }
  if (sat_mul(m, k) > a.data.size()) throw InternalFailure("assertion failed: m + (k - 1) * m <= a.data.len()");
  if (sat_add(k, sat_mul(n - 1, b.nrows)) > b.data.size()) {
    throw InternalFailure("assertion failed: k + (n - 1) * b.nrows <= b.data.len()");
  }
  if (sat_mul(m, n) > dst.data.size()) throw InternalFailure("assertion failed: m + (n - 1) * m <= dst.data.len()");
  if (product_kind(m, k, n) == ProductKind::Blocked) {
    detail::blocked_product(dst.data.data(), a.data.data(), a.nrows, b.data.data(), b.nrows, m, n, k,
                            depth_block(m, k, n));
    return;
  }
  detail::eigen_product(dst, a, b, k);
}

namespace detail {

void eigen_product(Mat& dst, const Mat& a, const Mat& b, std::size_t k) {
  const std::size_t m = a.nrows;
  const std::size_t n = b.ncols;
  VANTOK_ASSERT(dst.nrows == m && dst.ncols == n && k >= 1 && k <= a.ncols && k <= b.nrows);
  fix_cache_sizes();
  const ConstMap lhs(a.data.data(), index(m), index(k), Eigen::OuterStride<>(index(a.nrows)));
  const ConstMap rhs(b.data.data(), index(k), index(n), Eigen::OuterStride<>(index(b.nrows)));
  Map out(dst.data.data(), index(m), index(n));
  out.noalias() = lhs * rhs;
}

}  // namespace detail

Mat product(const Mat& a, const Mat& b) {
  if (a.ncols != b.nrows) throw InternalFailure("product: the shapes do not match");
  Mat out;
  matmul(out, a, b, a.ncols);
  return out;
}

Mat operator+(const Mat& a, const Mat& b) {
  return elementwise(a, b, [](double x, double y) { return x + y; });
}

Mat operator-(const Mat& a, const Mat& b) {
  return elementwise(a, b, [](double x, double y) { return x - y; });
}

Mat operator*(const Mat& a, double s) {
  Mat out(a.nrows, a.ncols);
  for (std::size_t i = 0; i < out.data.size(); ++i) out.data[i] = a.data[i] * s;
  return out;
}

}  // namespace vantok::ensemble::matrix
