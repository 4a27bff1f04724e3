// The steps the solves share for blocks in the kernel's log-scaled basis: the
// log scales of the outgoing scale factors, the finiteness check of a block,
// the LU of Q^T with partial pivoting and one substitution per right-hand
// side -RgQ_j over double-double or dual double-double, the removal of the
// order scaling, and the work-memory check of a double-double pass.

#include "tmatrix/detail_scaled_solve.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/numeric.hpp"

namespace vantok::tmatrix::driver {

namespace {

using CDD = Complex<DoubleDouble>;

/// z f over each scalar: the f64 product, the double-double times f64 product,
/// the dual product with the constant f.
Complex<double> times(const Complex<double>& z, double f) { return {z.re * f, z.im * f}; }
CDD times(const CDD& z, double f) { return {z.re * f, z.im * f}; }
Complex<DualDD> times(const Complex<DualDD>& z, double f) {
  const DualDD c = DualDD::constant(DoubleDouble(f));
  return {z.re * c, z.im * c};
}

template <class S>
Complex<S> unscale_any(const Complex<S>& z, double d) {
  const double f = std::exp(d);
  if (std::isfinite(f)) return times(z, f);
  // exp(d) overflows (or d is NaN). A scaled element that has underflowed to
  // exactly 0 belongs to a physical value of at most about 2^-1074 e^d: it
  // stays 0 rather than 0 inf = NaN. Otherwise the factor is applied in two
  // halves, so that a product within range is still formed.
  using Traits = scalar::ScalarTraits<S>;
  if (Traits::is_exact_zero(z.re) && Traits::is_exact_zero(z.im)) return z;
  const double h = std::exp(0.5 * d);
  return times(times(z, h), h);
}

/// What a work-budget refusal of a block's solve names.
std::string block_what(std::string_view what, std::size_t k, std::size_t n) {
  return std::string(what) + " of a block of " + fmt::plain(k) + " rows (N = " + fmt::plain(n) + ")";
}

}  // namespace

template <class S>
Result<void> solve_blocks(const std::vector<kernel::ModeMatrices<S>>& matrices, std::size_t m_max,
                          std::span<const double> log_scale, std::size_t lu_bytes, std::size_t t_bytes,
                          std::string_view what, const BlockDone<S>& done) {
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  std::size_t k = 0;
  std::size_t elements = 0;
  for (std::size_t m = 0; m <= m_max && m < matrices.size(); ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t rows = matrices[m].rows[p].size();
      if (rows == 0) continue;
      blocks.emplace_back(m, p);
      k = std::max(k, rows);
      elements = sat_add(elements, rows * rows);
    }
  }
  const std::size_t held = sat_add(kernel::matrices_bytes<S>(matrices), sat_mul(elements, t_bytes));
  std::vector<Result<void>> outcomes(blocks.size());
  work::for_each_leased(blocks.size(), k * k, sat_mul(k * k, lu_bytes), held,
                        block_what(what, k, matrices.size() - 1), [&](std::size_t index) {
    const auto [m, p] = blocks[index];
    outcomes[index] = [&]() -> Result<void> {
      const kernel::ModeMatrices<S>& mode = matrices[m];
      const std::size_t size = mode.rows[p].size();
      const std::span<const Complex<S>> q = mode.q[p];
      const std::span<const Complex<S>> rg = mode.rg[p];
      VANTOK_CHECK(require_finite<S>(size, {q, rg}));
      VANTOK_TRY(t, lu_factor_solve<S>(size, q, rg, mode.rows[p], log_scale));
      return done(m, p, t);
    }();
  });
  for (Result<void>& o : outcomes) VANTOK_CHECK(std::move(o));
  return {};
}

Complex<double> unscale(const Complex<double>& z, double d) { return unscale_any(z, d); }
CDD unscale(const CDD& z, double d) { return unscale_any(z, d); }
Complex<DualDD> unscale(const Complex<DualDD>& z, double d) { return unscale_any(z, d); }

template <class S>
std::optional<std::size_t> non_finite_column(std::span<const Complex<S>> block, std::size_t k) {
  using Traits = scalar::ScalarTraits<S>;
  VANTOK_ASSERT(block.size() >= k * k);
  std::optional<std::size_t> first;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < (first ? *first : k); ++j) {
      const Complex<S>& z = block[i * k + j];
      if (!Traits::all_finite(z.re) || !Traits::all_finite(z.im)) {
        first = j;
        break;
      }
    }
  }
  return first;
}

template <class S>
Result<void> require_finite(std::size_t k,
                            std::initializer_list<std::span<const Complex<S>>> blocks) {
  for (const auto& block : blocks) {
    if (const auto c = non_finite_column<S>(block, k)) {
      return std::unexpected(Error::invalid_input(
          "the EBCM matrix is singular or not finite at column " + fmt::plain(*c)));
    }
  }
  return {};
}

std::vector<double> log_scales(std::span<const double> outgoing) {
  std::vector<double> l;
  l.reserve(outgoing.size());
  double acc = 0.0;
  for (const double o : outgoing) {
    acc += std::log(o);
    l.push_back(acc);
  }
  return l;
}

std::vector<double> log_scales(std::span<const DoubleDouble> outgoing) {
  std::vector<double> l;
  l.reserve(outgoing.size());
  double acc = 0.0;
  for (const DoubleDouble& o : outgoing) {
    acc += std::log(o.hi);
    l.push_back(acc);
  }
  return l;
}

template <class S>
Result<std::vector<Complex<S>>> lu_factor_solve(std::size_t k, std::span<const Complex<S>> q,
                                                std::span<const Complex<S>> rg,
                                                std::span<const Row> rows,
                                                std::span<const double> log_scale) {
  VANTOK_ASSERT(rows.size() >= k);
  for (std::size_t i = 0; i < k; ++i) VANTOK_ASSERT(rows[i].second < log_scale.size());
  VANTOK_TRY(solved, solve::solve_block<S>(q, rg, k));
  std::vector<Complex<S>>& x = solved.solution;
  for (std::size_t i = 0; i < k; ++i) {
    const double li = log_scale[rows[i].second];
    for (std::size_t j = 0; j < k; ++j) {
      x[i * k + j] = unscale(x[i * k + j], li - log_scale[rows[j].second]);
    }
  }
  return std::move(x);
}

#define VANTOK_TMATRIX_DRIVER(S)                                                                \
  template std::optional<std::size_t> non_finite_column<S>(std::span<const Complex<S>>,        \
                                                           std::size_t);                        \
  template Result<void> require_finite<S>(std::size_t,                                          \
                                          std::initializer_list<std::span<const Complex<S>>>);
VANTOK_TMATRIX_DRIVER(double)
VANTOK_TMATRIX_DRIVER(DoubleDouble)
VANTOK_TMATRIX_DRIVER(DualDD)
#undef VANTOK_TMATRIX_DRIVER

template Result<std::vector<Complex<DoubleDouble>>> lu_factor_solve<DoubleDouble>(
    std::size_t, std::span<const Complex<DoubleDouble>>, std::span<const Complex<DoubleDouble>>,
    std::span<const Row>, std::span<const double>);
template Result<std::vector<Complex<DualDD>>> lu_factor_solve<DualDD>(
    std::size_t, std::span<const Complex<DualDD>>, std::span<const Complex<DualDD>>,
    std::span<const Row>, std::span<const double>);
template Result<void> solve_blocks<DoubleDouble>(const std::vector<kernel::ModeMatrices<DoubleDouble>>&, std::size_t,
                                                 std::span<const double>, std::size_t, std::size_t,
                                                 std::string_view, const BlockDone<DoubleDouble>&);
template Result<void> solve_blocks<DualDD>(const std::vector<kernel::ModeMatrices<DualDD>>&, std::size_t,
                                           std::span<const double>, std::size_t, std::size_t, std::string_view,
                                           const BlockDone<DualDD>&);

}  // namespace vantok::tmatrix::driver
