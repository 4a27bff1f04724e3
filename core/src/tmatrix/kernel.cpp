// The pieces of the mode kernel around the quadrature: row lists, spheroid
// semi-axes, the variant record and negligible orders of a first pass, the
// refinement mask and the collection of solved blocks.

#include "tmatrix/detail_kernel.hpp"

#include <algorithm>
#include <cmath>

#include "tmatrix/detail_kernel_members.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/dd.hpp"

namespace vantok::tmatrix::kernel {

RowLists row_lists(std::size_t m, std::size_t nmax) {
  RowLists rows;
  const std::size_t m1 = std::max<std::size_t>(m, 1);
  if (m1 > nmax) return rows;
  rows[0].reserve(nmax - m1 + 1);
  rows[1].reserve(nmax - m1 + 1);
  for (std::size_t n = m1; n <= nmax; ++n) rows[n % 2].emplace_back(0, n);
  for (std::size_t n = m1; n <= nmax; ++n) rows[(n + 1) % 2].emplace_back(1, n);
  return rows;
}

template <class T>
std::pair<T, T> Axes<T>::min_max() const {
  return detail::Member<T>::semi_axes(a, b);
}

template <>
Axes<double> Axes<double>::create(double r, double eps) {
  const double a = r * scalar::math::cbrt(eps);
  return {a, a / eps};
}

template <>
Axes<DoubleDouble> Axes<DoubleDouble>::create(double r, double eps) {
  // cbrt_kernel from the C library seed within 2^-900 <= |eps| <= 2^1000,
  // cbrt_wide outside (NaN included): DoubleDouble::cbrt.
  const DoubleDouble c = DoubleDouble::cbrt(DoubleDouble(eps));
  const DoubleDouble a = DoubleDouble(r) * c;
  return {a, DoubleDouble::div_dd(a, DoubleDouble(eps))};
}

template <class T>
Choice Choice::of(std::span<const ModeMatrices<T>> modes, std::size_t nmax) {
  VANTOK_ASSERT(nmax < (std::size_t{1} << 31));
  const std::size_t orders = nmax + 1;
  Choice out;
  out.grid.assign(orders * orders, 0);
  out.per_mode.reserve(modes.size());
  for (const ModeMatrices<T>& mode : modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      const std::vector<Row>& rows = mode.rows[p];
      const std::vector<std::uint8_t>& codes = mode.choice[p];
      const std::size_t k = rows.size();
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
          const std::size_t idx = i * k + j;
          if (idx >= codes.size()) continue;
          const std::uint8_t c = codes[idx];
          if (c != 1 && c != 2) continue;
          const std::size_t ni = rows[i].second;
          const std::size_t nj = rows[j].second;
          VANTOK_ASSERT(ni < orders && nj < orders);
          out.grid[ni * orders + nj] |= c;
        }
      }
    }
    out.per_mode.push_back({mode.choice[0], mode.choice[1]});
  }
  return out;
}

std::size_t p_negligible_from(std::span<const ModeMatrices<double>> modes, std::size_t nmax) {
  std::size_t p = 1;
  for (const ModeMatrices<double>& mode : modes) {
    for (std::size_t s = 0; s < 2; ++s) {
      const std::size_t k = mode.rows[s].size();
      const std::vector<double>& rg = mode.rg_mag[s];
      const std::vector<double>& q = mode.q_mag[s];
      for (std::size_t i = 0; i < k; ++i) {
        VANTOK_ASSERT(rg.size() / k > i && q.size() / k > i);
        for (std::size_t j = 0; j < k; ++j) {
          if (rg[i * k + j] > 1e-12 * q[i * k + j]) {
            p = std::max(p, mode.rows[s][i].second + 1);
            break;
          }
        }
      }
    }
  }
  return std::min(nmax + 1, p);
}

std::optional<std::size_t> refinement_entry(std::size_t m, double e0, double e1, double thr,
                                            const RowLists& rows,
                                            const std::array<std::vector<double>, 2>& row_errors,
                                            std::size_t n_terms) {
  const double v = std::fmax(e0, e1);
  if (!(v > thr)) return std::nullopt;
  std::optional<std::size_t> n_from;
  for (std::size_t p = 0; p < 2; ++p) {
    const std::vector<double>& errors = row_errors[p];
    const std::size_t k = rows[p].size();
    const double limit = thr / (2.0 * static_cast<double>(k));
    for (std::size_t j = 0; j < std::min(k, errors.size()); ++j) {
      const std::size_t n = rows[p][j].second;
      if (errors[j] > limit) n_from = std::min(n_from.value_or(n), n);
    }
  }
  if (n_from) return n_from;
  const std::size_t m1 = std::max<std::size_t>(m, 1);
  return m1 + (n_terms >= m1 ? (n_terms - m1 + 1) / 4 : 0);
}

std::optional<std::size_t> refinement_mask(std::size_t m, const RefinementInputs& in) {
  VANTOK_ASSERT(m < in.block_errors.size());
  const auto [e0, e1] = in.block_errors[m];
  if (m > in.m_max) return std::nullopt;
  if (!(std::fmax(e0, e1) > in.tol * in.scale)) return std::nullopt;
  VANTOK_ASSERT(m < in.modes.size() && m < in.row_errors.size());
  return refinement_entry(m, e0, e1, in.tol * in.scale, in.modes[m].rows, in.row_errors[m],
                          in.n_terms);
}

std::vector<std::optional<std::size_t>> refinement_masks(const RefinementInputs& in) {
  std::vector<std::optional<std::size_t>> mask;
  mask.reserve(in.n_terms + 1);
  for (std::size_t m = 0; m <= in.n_terms; ++m) mask.push_back(refinement_mask(m, in));
  return mask;
}

std::vector<SolvedMode<double>> collect_modes(std::vector<Blocks<double>>&& t_blocks,
                                              std::vector<ModeMatrices<double>>&& modes) {
  const std::size_t count = std::min(t_blocks.size(), modes.size());
  std::vector<SolvedMode<double>> out;
  out.reserve(count);
  for (std::size_t m = 0; m < count; ++m) {
    out.push_back({std::move(t_blocks[m]), std::move(modes[m].rows)});
    modes[m] = ModeMatrices<double>{};
  }
  t_blocks.clear();
  modes.clear();
  return out;
}

template <class T>
std::size_t matrices_bytes(std::span<const ModeMatrices<T>> modes) {
  std::size_t bytes = 0;
  for (const ModeMatrices<T>& mode : modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t element = mode.q[p].size() * sizeof(Complex<T>) + mode.rg[p].size() * sizeof(Complex<T>) +
                                  mode.q_mag[p].size() * sizeof(T) + mode.rg_mag[p].size() * sizeof(T) +
                                  mode.choice[p].size();
      bytes = sat_add(bytes, element);
    }
  }
  return bytes;
}

#define VANTOK_TMATRIX_KERNEL(T)                                                      \
  template std::pair<T, T> Axes<T>::min_max() const;                                  \
  template Choice Choice::of<T>(std::span<const ModeMatrices<T>>, std::size_t);       \
  template std::size_t matrices_bytes<T>(std::span<const ModeMatrices<T>>);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_KERNEL)
#undef VANTOK_TMATRIX_KERNEL

}  // namespace vantok::tmatrix::kernel
