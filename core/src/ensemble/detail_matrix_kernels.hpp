#pragma once
// The two product kernels behind matmul: Eigen's, and the lane kernel of the
// blocked products, which sums every element in Eigen's order.

#include <cstddef>

#include "ensemble/detail_matrix.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::ensemble::matrix::detail {

/// dst = a[:, 0..k] b[0..k, :] by Eigen (dst already m x n, k >= 1).
void eigen_product(Mat& dst, const Mat& a, const Mat& b, std::size_t k);

/// c (m x n, column stride m) = a (m x k, column stride lda) times b (k x n,
/// column stride ldb), m, n >= 2, in the order of a Blocked product with
/// blocks of kc terms (detail_matrix.hpp), in lanes of the given width (the bits do
/// not depend on it).
void blocked_product(double* c, const double* a, std::size_t lda, const double* b, std::size_t ldb,
                     std::size_t m, std::size_t n, std::size_t k, std::size_t kc,
                     scalar::lanes::Width width = scalar::lanes::Width::Widest);

}  // namespace vantok::ensemble::matrix::detail
