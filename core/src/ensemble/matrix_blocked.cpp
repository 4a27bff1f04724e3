// Blocked products in the summation order of Eigen's general product on SSE2
// (see matrix.hpp): the rows 0 .. 4 floor(m/4) - 1 are summed in lanes, four
// rows to a register where AVX2 is available; the at most three remaining
// rows (the paired rows, whose terms alternate between two sums, and a last
// odd row) by scalar code.
#include "ensemble/detail_matrix.hpp"

#include "vantok/error.hpp"
#include "vantok/scalar/lanes.hpp"

#include <algorithm>
#include <cstring>

namespace vantok::ensemble::matrix::detail {

namespace {

namespace two {
using V = scalar::lanes::F64x2;
#include "ensemble/detail_matrix_lanes.inc"
}  // namespace two

VANTOK_AVX2_BEGIN
namespace four {
using V = scalar::lanes::F64x4;
#include "ensemble/detail_matrix_lanes.inc"
}  // namespace four
VANTOK_AVX2_END

// Row i of one block of kb terms (its kb values in `row`): in increasing t,
// or, for a paired row in the columns below 4 floor(n/4), the first
// 8 floor(kb/8) terms alternating between two sums. Four columns at a time,
// so that their sums advance side by side.
void scalar_row(double* c, std::size_t ldc, const double* row, const double* b, std::size_t ldb, std::size_t n,
                std::size_t kb, bool paired, bool first) {
  auto add = [&](std::size_t j, double s) { c[j * ldc] = s + (first ? 0.0 : c[j * ldc]); };
  const std::size_t paired_columns = paired ? 4 * (n / 4) : 0;
  const std::size_t peeled = kb & ~std::size_t{7};
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const double* bj[4] = {b + j * ldb, b + (j + 1) * ldb, b + (j + 2) * ldb, b + (j + 3) * ldb};
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t t = 0;
    if (j < paired_columns) {
      double odd[4] = {0.0, 0.0, 0.0, 0.0};
      for (; t < peeled; t += 2) {
        for (std::size_t q = 0; q < 4; ++q) {
          s[q] = s[q] + row[t] * bj[q][t];
          odd[q] = odd[q] + row[t + 1] * bj[q][t + 1];
        }
      }
      for (std::size_t q = 0; q < 4; ++q) s[q] = s[q] + odd[q];
    }
    for (; t < kb; ++t) {
      for (std::size_t q = 0; q < 4; ++q) s[q] = s[q] + row[t] * bj[q][t];
    }
    for (std::size_t q = 0; q < 4; ++q) add(j + q, s[q]);
  }
  for (; j < n; ++j) {
    const double* bj = b + j * ldb;
    double s = 0.0;
    for (std::size_t t = 0; t < kb; ++t) s = s + row[t] * bj[t];
    add(j, s);
  }
}

}  // namespace

void blocked_product(double* c, const double* a, std::size_t lda, const double* b, std::size_t ldb,
                     std::size_t m, std::size_t n, std::size_t k, std::size_t kc, scalar::lanes::Width width) {
  VANTOK_ASSERT(m >= 2 && n >= 2 && kc >= 1);
  const std::size_t lane_rows = 4 * (m / 4);
  const bool wide = scalar::lanes::resolve(width) == scalar::lanes::Width::Four;
  // The rows of one tile, packed term after term (at most 2 x 4 rows).
  Storage packed(8 * std::min(kc, k));
  for (std::size_t k0 = 0; k0 < k; k0 += kc) {
    const std::size_t kb = std::min(kc, k - k0);
    const double* ak = a + k0 * lda;
    const double* bk = b + k0;
    if (wide) {
      four::sequential_rows(c, m, ak, lda, bk, ldb, lane_rows, n, kb, packed.data(), k0 == 0);
    } else {
      two::sequential_rows(c, m, ak, lda, bk, ldb, lane_rows, n, kb, packed.data(), k0 == 0);
    }
    for (std::size_t i = lane_rows; i < m; ++i) {
      for (std::size_t t = 0; t < kb; ++t) packed[t] = ak[i + t * lda];
      scalar_row(c + i, m, packed.data(), bk, ldb, n, kb, paired_row(i, m), k0 == 0);
    }
  }
}

}  // namespace vantok::ensemble::matrix::detail
