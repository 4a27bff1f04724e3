// Greek coefficients of the output distributions from the per-node tables of
// the second pass. Rows r = q (P + 1) + c of the stacked tables hold
// distribution q's value column (c = 0) or derivative column c - 1; the error
// columns go through the magnitudes of the projection matrices, each error
// bounding its own term, so alpha2 and alpha3 share the bound of F11 + F33
// through |d2,2| and |d2,-2|.
#include "vantok/ensemble/projection.hpp"

#include "vantok/error.hpp"
#include "vantok/numeric.hpp"

#include <algorithm>

namespace vantok::ensemble::engine {

using lin::Lin;
using matrix::Mat;
using matrix::product;

namespace {

// The six series of one kind (values or errors) of a band: R rows, one
// column per order.
using Series = std::array<Mat, 6>;

// Table t (F11, F12, F33, F34) of a band, R x n, from the columns that
// `column(q, c)` selects.
template <class Column>
Mat table(const Band& band, std::size_t t, std::size_t distributions, std::size_t columns_per,
          Column&& column) {
  const std::size_t n = band.n_nodes;
  const std::size_t rows = distributions * columns_per;
  const std::size_t first = band.offset + t * n;
  Mat out(rows, n);
  for (std::size_t q = 0; q < distributions; ++q) {
    for (std::size_t c = 0; c < columns_per; ++c) {
      const std::vector<double>& col = column(q, c);
      VANTOK_ASSERT(band.offset + 4 * n <= col.size());
      const std::size_t r = q * columns_per + c;
      for (std::size_t j = 0; j < n; ++j) out(r, j) = col[first + j];
    }
  }
  return out;
}

template <class Column>
std::array<Mat, 4> tables(const Band& band, std::size_t distributions, std::size_t columns_per,
                          Column&& column) {
  return {table(band, 0, distributions, columns_per, column), table(band, 1, distributions, columns_per, column),
          table(band, 2, distributions, columns_per, column), table(band, 3, distributions, columns_per, column)};
}

Series value_series(const Band& band, const std::array<Mat, 4>& v) {
  const Mat a2 = product(v[0] + v[2], band.d22);
  const Mat a3 = product(v[0] - v[2], band.d2m2);
  return {product(v[0], band.d00), (a2 + a3) * 0.5,         (a2 - a3) * 0.5,
          product(v[2], band.d00), product(v[1], band.d02), product(v[3], band.d02)};
}

Series error_series(const Band& band, const std::array<Mat, 4>& g) {
  const Mat sum = g[0] + g[2];
  const Mat b2 = product(sum, band.e22);
  const Mat b3 = product(sum, band.e2m2);
  Mat both = (b2 + b3) * 0.5;
  return {product(g[0], band.e00), both, both,
          product(g[2], band.e00), product(g[1], band.e02), product(g[3], band.e02)};
}

}  // namespace

std::vector<GreekSet> project(std::span<const Band> bands, std::size_t order_limit,
                              std::span<const DistributionSums> sums) {
  std::size_t effective = 0;
  for (const Band& band : bands) effective = std::max(effective, std::min(sat_mul<std::size_t>(2, band.key), order_limit));
  const std::size_t p = sums.empty() ? 0 : sums[0].d.size();
  for (const DistributionSums& s : sums) VANTOK_ASSERT(s.d.size() == p && s.d_errors.size() == p);

  GreekSet zero;
  for (std::vector<Lin>& series : zero) series.assign(effective + 1, Lin::constant(0.0, p));
  std::vector<GreekSet> out(sums.size(), zero);
  if (sums.empty()) return out;

  const std::size_t per = p + 1;
  auto value_column = [&](std::size_t q, std::size_t c) -> const std::vector<double>& {
    return c == 0 ? sums[q].values : sums[q].d[c - 1];
  };
  auto error_column = [&](std::size_t q, std::size_t c) -> const std::vector<double>& {
    return c == 0 ? sums[q].errors : sums[q].d_errors[c - 1];
  };
  for (const Band& band : bands) {
    const Series values = value_series(band, tables(band, sums.size(), per, value_column));
    const Series errors = error_series(band, tables(band, sums.size(), per, error_column));
    for (std::size_t q = 0; q < sums.size(); ++q) {
      const std::size_t r0 = q * per;
      for (std::size_t s = 0; s < 6; ++s) {
        const std::size_t orders = std::min(values[s].ncols, effective + 1);
        for (std::size_t l = 0; l < orders; ++l) {
          Lin& target = out[q][s][l];
          target.value += values[s](r0, l);
          target.err += errors[s](r0, l);
          for (std::size_t k = 0; k < p; ++k) {
            target.d[k] += values[s](r0 + 1 + k, l);
            target.d_err[k] += errors[s](r0 + 1 + k, l);
          }
        }
      }
    }
  }
  return out;
}

}  // namespace vantok::ensemble::engine
