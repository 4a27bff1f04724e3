// Blocked products in the summation order of Eigen's general product on SSE2
// (see detail_matrix.hpp): the rows 0 .. 4 floor(m/4) - 1 are summed in lanes, four
// rows to a register where AVX2 is available; the at most three remaining
// rows (the paired rows, whose terms alternate between two sums, and a last
// odd row) in lanes along the columns.
#include "ensemble/detail_matrix_kernels.hpp"

#include "vantok/error.hpp"
#include "vantok/scalar/lanes.hpp"

#include <algorithm>
#include <cstring>

namespace vantok::ensemble::matrix::detail {

namespace {

#define VANTOK_LANES_BODY "ensemble/detail_matrix_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

}  // namespace

void blocked_product(double* c, const double* a, std::size_t lda, const double* b, std::size_t ldb,
                     std::size_t m, std::size_t n, std::size_t k, std::size_t kc, scalar::lanes::Width width) {
  VANTOK_ASSERT(m >= 2 && n >= 2 && kc >= 1);
  const std::size_t lane_rows = 4 * (m / 4);
  const bool wide = scalar::lanes::resolve(width) == scalar::lanes::Width::Four;
  // The rows of one tile, packed term after term (at most 2 x 4 rows).
  Storage packed(8 * std::min(kc, k));
  Storage transposed(lane_rows < m ? std::min(kc, k) * n : 0);
  for (std::size_t k0 = 0; k0 < k; k0 += kc) {
    const std::size_t kb = std::min(kc, k - k0);
    const double* ak = a + k0 * lda;
    const double* bk = b + k0;
    if (wide) {
      four::sequential_rows(c, m, ak, lda, bk, ldb, lane_rows, n, kb, packed.data(), k0 == 0);
    } else {
      two::sequential_rows(c, m, ak, lda, bk, ldb, lane_rows, n, kb, packed.data(), k0 == 0);
    }
    // The last rows (paired rows and a last odd one), lanes along the
    // columns of the block of b taken term after term.
    if (lane_rows < m) {
      for (std::size_t t = 0; t < kb; ++t) {
        for (std::size_t j = 0; j < n; ++j) transposed[t * n + j] = bk[t + j * ldb];
      }
    }
    for (std::size_t i = lane_rows; i < m; ++i) {
      for (std::size_t t = 0; t < kb; ++t) packed[t] = ak[i + t * lda];
      const std::size_t paired_columns = paired_row(i, m) ? 4 * (n / 4) : 0;
      if (wide) {
        four::row_across_columns(c + i, m, packed.data(), transposed.data(), n, kb, paired_columns, k0 == 0);
      } else {
        two::row_across_columns(c + i, m, packed.data(), transposed.data(), n, kb, paired_columns, k0 == 0);
      }
    }
  }
}

}  // namespace vantok::ensemble::matrix::detail
