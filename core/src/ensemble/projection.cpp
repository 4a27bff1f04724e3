// Greek coefficients of the output distributions from the per-node tables of
// the second pass. Rows r = q (P + 1) + c of the stacked tables hold
// distribution q's value column (c = 0) or derivative column c - 1; the error
// columns go through the magnitudes of the projection matrices, each error
// bounding its own term, so alpha2 and alpha3 share the bound of F11 + F33
// through |d2,2| and |d2,-2|.
//
// The twelve products of a band, table (R x n) times projection matrix
// (n x (L_b + 1)), are the sums over the nodes j of table(r, j) times
// ((2l+1)/2 w_j) d^l(mu_j). Stored, the four projection matrices of a large
// band and their magnitudes would take 8 n (L_b + 1) doubles (some 60 MB at
// n = 1000); instead the Wigner functions are generated node by node and each
// term is added to its sum at once, in the order matmul sums the stored
// product (detail_matrix.hpp), so that every coefficient has the bits of the stored
// product. Only the products that matmul sums in an order of its own (very
// small bands, or a single order) are formed from stored matrices.
#include "ensemble/detail_projection.hpp"

#include "vantok/error.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"
#include "vantok/special/wigner_greek.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace vantok::ensemble::engine {

using lin::Lin;
using matrix::Mat;
using matrix::product;

namespace {

// The tables of one kind of a band, R x n each: F11, F12, F33, F34 of every
// row, then F11 + F33 and F11 - F33 (values) or only F11 + F33 (errors).
enum TableIndex : std::size_t { V0, V1, V2, V3, V_SUM, V_DIFFERENCE, G0, G1, G2, G3, G_SUM, TABLE_COUNT };

// The Wigner functions in the order GreekWigner hands them over.
enum Function : std::size_t { D00, D22, D2M2, D02 };

// The twelve products of a band: a table times a projection matrix (or its
// magnitudes).
struct ProductSpec {
  std::size_t table;
  std::size_t function;
  bool magnitude;
};
constexpr std::size_t PRODUCT_COUNT = 12;
constexpr ProductSpec PRODUCTS[PRODUCT_COUNT] = {
    // alpha1, alpha4, alpha2 + alpha3, alpha2 - alpha3, beta1, beta2.
    {V0, D00, false}, {V2, D00, false}, {V_SUM, D22, false}, {V_DIFFERENCE, D2M2, false}, {V1, D02, false},
    {V3, D02, false},
    // Their errors; alpha2 and alpha3 both through F11 + F33.
    {G0, D00, true}, {G2, D00, true}, {G_SUM, D22, true}, {G_SUM, D2M2, true}, {G1, D02, true}, {G3, D02, true}};

// The six series of one kind (values or errors) of a band: R rows, one
// column per order.
using Series = std::array<Mat, 6>;
using Products = std::array<Mat, PRODUCT_COUNT>;

Mat magnitude(const Mat& m) {
  Mat out = m;
  for (double& v : out.data) v = std::fabs(v);
  return out;
}

// |v| of every lane: the sign bit cleared, as std::fabs does.
scalar::lanes::F64x2 magnitude(scalar::lanes::F64x2 v) { return {_mm_andnot_pd(_mm_set1_pd(-0.0), v.v)}; }

VANTOK_AVX2_BEGIN
inline scalar::lanes::F64x4 magnitude(scalar::lanes::F64x4 v) {
  return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), v.v)};
}
VANTOK_AVX2_END

#define VANTOK_LANES_BODY "ensemble/detail_projection_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

struct Kernels {
  void (*add_node)(const std::array<const double*, 4>&, const double*, double, const double*, std::size_t,
                   double* const*, double* const*, std::size_t, std::size_t, std::size_t);
  void (*add_row_nodes)(const std::array<const double*, 4>*, const double*, const double*, std::size_t,
                        const double*, double* const*, std::size_t, std::size_t);
};

Kernels kernels() {
  if (scalar::lanes::has_avx2()) return {&four::add_node, &four::add_row_nodes};
  return {&two::add_node, &two::add_row_nodes};
}

// Table t (F11, F12, F33, F34) of a band, R x n, from the columns that
// `column(q, c)` selects.
template <class Column>
Mat table(const Band& band, std::size_t t, std::size_t distributions, std::size_t columns_per,
          Column&& column) {
  const std::size_t n = band.n_nodes;
  const std::size_t rows = distributions * columns_per;
  const PhaseBlock block = band.phase();
  Mat out(rows, n);
  for (std::size_t q = 0; q < distributions; ++q) {
    for (std::size_t c = 0; c < columns_per; ++c) {
      const std::vector<double>& col = column(q, c);
      VANTOK_ASSERT(block.end() <= col.size());
      const std::size_t r = q * columns_per + c;
      for (std::size_t j = 0; j < n; ++j) out(r, j) = col[block.at(t, j)];
    }
  }
  return out;
}

// What the products of one band need: its tables, the factors (2l+1)/2, and
// the Wigner recurrences up to its order.
struct BandWork {
  const Band* band;
  std::array<Mat, TABLE_COUNT> tables;
  std::size_t rows;
  std::size_t columns;
  std::vector<double> factors;
  special::wigner::GreekWigner wigner;

  BandWork(const Band& b, std::array<Mat, TABLE_COUNT> t)
      : band(&b), tables(std::move(t)), rows(tables[V0].nrows), columns(b.order + 1), wigner(b.order) {
    factors.resize(columns);
    for (std::size_t l = 0; l < columns; ++l) factors[l] = static_cast<double>(2 * l + 1) * 0.5;
  }

  matrix::ProductKind kind() const { return matrix::product_kind(rows, band->n_nodes, columns); }
};

// Where the terms of a node go: per product p and row r (at p rows + r) a
// pointer to the sums of the orders, for the orders below `split` by the
// parity of the node's index (low[0] even, low[1] odd), from it on `high`.
struct Targets {
  std::array<double* const*, 2> low;
  double* const* high;
  std::size_t split;
};

// Adds the terms of the nodes `nodes`, in ascending order, to their sums.
void add_nodes(const BandWork& work, std::span<const std::size_t> nodes, const Targets& targets) {
  if (nodes.empty()) return;
  const Band& band = *work.band;
  const std::size_t rows = work.rows;
  std::vector<double> x(nodes.size() * PRODUCT_COUNT * rows);
  std::vector<double> mu(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::size_t j = nodes[i];
    mu[i] = band.nodes[j];
    for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
      const Mat& t = work.tables[PRODUCTS[p].table];
      for (std::size_t r = 0; r < rows; ++r) x[(i * PRODUCT_COUNT + p) * rows + r] = t(r, j);
    }
  }
  const Kernels k = kernels();
  // One row whose terms all go to the same sums: the nodes of a block
  // together.
  const bool one_row = rows == 1 && targets.low[0] == targets.high && targets.low[1] == targets.high;
  auto sink = [&](const special::wigner::GreekBlock& block) {
    if (one_row) {
      std::array<std::array<const double*, 4>, special::wigner::GREEK_LANES> d;
      std::array<double, special::wigner::GREEK_LANES> w;
      for (std::size_t i = 0; i < block.lanes; ++i) {
        d[i] = {block.row(D00, i).data(), block.row(D22, i).data(), block.row(D2M2, i).data(),
                block.row(D02, i).data()};
        w[i] = band.weights[nodes[block.first + i]];
      }
      k.add_row_nodes(d.data(), w.data(), x.data() + block.first * PRODUCT_COUNT, block.lanes, work.factors.data(),
                      targets.high, block.l_begin, block.l_end);
      return;
    }
    for (std::size_t i = 0; i < block.lanes; ++i) {
      const std::size_t at = block.first + i;
      const std::array<const double*, 4> d{block.row(D00, i).data(), block.row(D22, i).data(),
                                           block.row(D2M2, i).data(), block.row(D02, i).data()};
      const std::size_t j = nodes[at];
      k.add_node(d, work.factors.data(), band.weights[j], x.data() + at * PRODUCT_COUNT * rows, rows,
                 targets.low[j % 2], targets.high, targets.split, block.l_begin, block.l_end);
    }
  };
  auto done = work.wigner.evaluate(mu, sink);
  // Gauss-Legendre nodes lie in [-1, 1].
  VANTOK_ASSERT(done.has_value());
}

// Sums laid out per product, row and order: (p rows + r) columns + l.
struct Sums {
  std::vector<double> data;
  std::vector<double*> pointers;

  Sums(std::size_t rows, std::size_t columns) : data(PRODUCT_COUNT * rows * columns, 0.0) {
    for (std::size_t i = 0; i < PRODUCT_COUNT * rows; ++i) pointers.push_back(data.data() + i * columns);
  }

  // Every term into these sums.
  Targets everywhere() const { return {{pointers.data(), pointers.data()}, pointers.data(), 0}; }
};

std::vector<std::size_t> range(std::size_t begin, std::size_t end, std::size_t step = 1) {
  std::vector<std::size_t> out;
  for (std::size_t j = begin; j < end; j += step) out.push_back(j);
  return out;
}

// One row (R = 1): the even and the odd nodes below 2 floor(n/2) summed
// apart (one part each), then, in `combine_rows`, added with the last node of
// an odd n. That node's sum is +0 + its term, which adds to (even + odd) as
// the term itself: a sum from +0 is never -0.
struct RowParts {
  std::optional<Sums> even;
  std::optional<Sums> odd;
  std::optional<Sums> last;
};

void row_part(const BandWork& work, std::size_t part, RowParts& out) {
  const std::size_t n = work.band->n_nodes;
  const std::size_t pairs = 2 * (n / 2);
  std::optional<Sums>& sums = part == 0 ? out.even : out.odd;
  sums.emplace(1, work.columns);
  add_nodes(work, range(part, pairs, 2), sums->everywhere());
  if (part == 0 && pairs < n) {
    out.last.emplace(1, work.columns);
    add_nodes(work, range(pairs, n), out.last->everywhere());
  }
}

Products combine_rows(const BandWork& work, const RowParts& parts) {
  Products out;
  const std::size_t columns = work.columns;
  for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
    out[p] = Mat(1, columns);
    for (std::size_t l = 0; l < columns; ++l) {
      double s = parts.even->data[p * columns + l] + parts.odd->data[p * columns + l];
      if (parts.last) s = s + parts.last->data[p * columns + l];
      out[p](0, l) = 0.0 + s;
    }
  }
  return out;
}

// R >= 2: blocks of nodes as matmul takes them; in a block, the paired rows
// sum the first 8 floor(kb/8) nodes at the orders below 4 floor(cols/4) in two
// parts (even, odd) that are then added; each block's sums are added to the
// products.
Products blocked(const BandWork& work) {
  const std::size_t n = work.band->n_nodes;
  const std::size_t rows = work.rows;
  const std::size_t columns = work.columns;
  const std::size_t block = matrix::depth_block(rows, n, columns);
  const std::size_t split = 4 * (columns / 4);
  Sums total(rows, columns);
  Sums first(rows, columns);
  Sums second(rows, columns);
  // In the paired part the odd nodes of the paired rows go to `second`. The
  // blocks start at multiples of 8, so a node's parity in its block is that
  // of its index.
  VANTOK_ASSERT(block >= n || block % 8 == 0);
  std::vector<double*> odd(first.pointers);
  for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
    for (std::size_t r = 0; r < rows; ++r) {
      if (matrix::paired_row(r, rows)) odd[p * rows + r] = second.pointers[p * rows + r];
    }
  }
  const Targets paired{{first.pointers.data(), odd.data()}, first.pointers.data(), split};
  for (std::size_t k0 = 0; k0 < n; k0 += block) {
    stop::check();
    const std::size_t kb = std::min(block, n - k0);
    const std::size_t peeled = kb & ~std::size_t{7};
    std::fill(first.data.begin(), first.data.end(), 0.0);
    std::fill(second.data.begin(), second.data.end(), 0.0);
    add_nodes(work, range(k0, k0 + peeled), paired);
    for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
      for (std::size_t r = 0; r < rows; ++r) {
        if (!matrix::paired_row(r, rows)) continue;
        double* s = first.pointers[p * rows + r];
        const double* o = second.pointers[p * rows + r];
        for (std::size_t l = 0; l < split; ++l) s[l] = s[l] + o[l];
      }
    }
    add_nodes(work, range(k0 + peeled, k0 + kb), first.everywhere());
    for (std::size_t i = 0; i < total.data.size(); ++i) total.data[i] = first.data[i] + total.data[i];
  }
  Products out;
  for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
    out[p] = Mat(rows, columns);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t l = 0; l < columns; ++l) out[p](r, l) = total.pointers[p * rows + r][l];
    }
  }
  return out;
}

// Small bands and single orders: the products of the stored matrices.
Products stored(const BandWork& work) {
  const std::array<Mat, 4> d = projection_matrices(*work.band);
  std::array<Mat, 4> e;
  for (std::size_t f = 0; f < 4; ++f) e[f] = magnitude(d[f]);
  Products out;
  for (std::size_t p = 0; p < PRODUCT_COUNT; ++p) {
    const ProductSpec& spec = PRODUCTS[p];
    out[p] = product(work.tables[spec.table], spec.magnitude ? e[spec.function] : d[spec.function]);
  }
  return out;
}

// The six value series and six error series from the twelve products.
std::pair<Series, Series> series(const Products& p) {
  Mat both = (p[8] + p[9]) * 0.5;
  return {{p[0], (p[2] + p[3]) * 0.5, (p[2] - p[3]) * 0.5, p[1], p[4], p[5]},
          {p[6], both, both, p[7], p[10], p[11]}};
}

}  // namespace

std::array<Mat, 4> projection_matrices(const Band& band) {
  const std::size_t n = band.n_nodes;
  const std::size_t columns = band.order + 1;
  std::array<Mat, 4> out;
  for (Mat& m : out) m = Mat(n, columns);
  const special::wigner::GreekWigner wigner(band.order);
  auto store = [&](const special::wigner::GreekBlock& block) {
    for (std::size_t f = 0; f < 4; ++f) {
      for (std::size_t l = block.l_begin; l < block.l_end; ++l) {
        const double f_l = static_cast<double>(2 * l + 1) * 0.5;
        for (std::size_t i = 0; i < block.lanes; ++i) {
          const std::size_t j = block.first + i;
          out[f](j, l) = (f_l * band.weights[j]) * block.row(f, i)[l - block.l_begin];
        }
      }
    }
  };
  auto done = wigner.evaluate(band.nodes, store);
  VANTOK_ASSERT(done.has_value());
  return out;
}

namespace {

// Every band's tables: per function the values and the error bounds of every
// distribution's columns, with the sums and the difference the products use.
std::vector<BandWork> band_works(std::span<const Band> bands, std::span<const DistributionSums> sums,
                                 std::size_t per) {
  auto value_column = [&](std::size_t q, std::size_t c) -> const std::vector<double>& {
    return c == 0 ? sums[q].values : sums[q].d[c - 1];
  };
  auto error_column = [&](std::size_t q, std::size_t c) -> const std::vector<double>& {
    return c == 0 ? sums[q].errors : sums[q].d_errors[c - 1];
  };
  std::vector<BandWork> work;
  work.reserve(bands.size());
  for (const Band& band : bands) {
    std::array<Mat, TABLE_COUNT> t;
    for (std::size_t k = 0; k < 4; ++k) {
      t[V0 + k] = table(band, k, sums.size(), per, value_column);
      t[G0 + k] = table(band, k, sums.size(), per, error_column);
    }
    t[V_SUM] = t[V0] + t[V2];
    t[V_DIFFERENCE] = t[V0] - t[V2];
    t[G_SUM] = t[G0] + t[G2];
    work.emplace_back(band, std::move(t));
  }
  return work;
}

// The products of every band in parallel, a single row in two parts joined
// afterwards.
std::vector<Products> band_products(const std::vector<BandWork>& work) {
  struct Task {
    std::size_t band;
    std::size_t part;
  };
  std::vector<Task> tasks;
  for (std::size_t b = 0; b < work.size(); ++b) {
    tasks.push_back({b, 0});
    if (work[b].kind() == matrix::ProductKind::RowVector) tasks.push_back({b, 1});
  }
  std::vector<RowParts> rows(work.size());
  std::vector<Products> products(work.size());
  pool::for_each_index(
      tasks.size(),
      [&](std::size_t i) {
        const Task& task = tasks[i];
        const BandWork& w = work[task.band];
        switch (w.kind()) {
          case matrix::ProductKind::RowVector:
            row_part(w, task.part, rows[task.band]);
            break;
          case matrix::ProductKind::Blocked:
            products[task.band] = blocked(w);
            break;
          default:
            products[task.band] = stored(w);
        }
      },
      pool::Grain::One);
  for (std::size_t b = 0; b < work.size(); ++b) {
    if (work[b].kind() == matrix::ProductKind::RowVector) products[b] = combine_rows(work[b], rows[b]);
  }
  return products;
}

// Adds one band's six series (values, errors and the p derivatives of each
// distribution, rows q (p + 1) on) to every distribution's coefficients.
void add_series(std::vector<GreekSet>& out, const Products& products, std::size_t p, std::size_t effective) {
  const std::size_t per = p + 1;
  const auto [values, errors] = series(products);
  for (std::size_t q = 0; q < out.size(); ++q) {
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

  const std::vector<BandWork> work = band_works(bands, sums, p + 1);
  const std::vector<Products> products = band_products(work);
  // The series are added in band order.
  for (const Products& band : products) add_series(out, band, p, effective);
  return out;
}

}  // namespace vantok::ensemble::engine
