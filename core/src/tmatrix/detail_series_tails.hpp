#pragma once
// Tails of products of two truncated even power series with magnitude bounds.
//
// At each quadrature node the mode kernels need, of a product
// c (sum_t alpha_t)(sum_k beta_k) of a real series alpha and a complex series
// beta, the tail W = c sum_{t + k > D} alpha_t beta_k beyond a cut-off. It can
// be summed directly from the suffix sums, or as the full product v less the
// truncated part; both are computed in one pass with the sums of the term
// magnitudes (|Re| + |Im| for complex values), and the form with the smaller
// bound is returned, so that neither cancellation nor a huge prefix goes
// unnoticed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::regular {

/// Suffix sums of a real series a of n terms: sums[k] = a[k] + ... + a[n-1],
/// bounds[k] = |a[k]| + ... + |a[n-1]|, both of length n + 1 ending in 0.
template <class T>
struct SuffixSums {
  std::vector<T> sums;
  std::vector<T> bounds;
};

/// Prefix and suffix sums of a complex series beta of n terms, with bounds.
template <class T>
struct JTerms {
  /// beta[0] + ... + beta[k] (inclusive), n entries.
  std::vector<Complex<T>> prefix_sums;
  /// ||beta[0]|| + ... + ||beta[k]||, n entries.
  std::vector<T> prefix_bounds;
  /// beta[k] + ... + beta[n-1], n + 1 entries, the last 0.
  std::vector<Complex<T>> suffix_sums;
  /// ||beta[k]|| + ... + ||beta[n-1]||, n + 1 entries, the last 0.
  std::vector<T> suffix_bounds;
  /// Index offset of the series, stored unchanged.
  std::int64_t offset = 0;
};

/// A real series with its index offset.
template <class T>
struct RealSeries {
  std::int64_t offset = 0;
  std::vector<T> coefficients;
};

/// The two evaluated tails of one product: at the order shift 0 (value0,
/// bound0: the kernels' variant 2) and at the shift -1 (value1, bound1: their
/// variant 1). A form not asked for stays 0 with bound 0.
template <class T>
struct Forms {
  Complex<T> value0{};
  Complex<T> value1{};
  T bound0{};
  T bound1{};
};

/// The coefficient tables from which the node routines build a node's series:
/// per order a real list (`irregular`, the outgoing side) and a complex list
/// (`regular`), with the length scale `rmin` and the complex scale `m`.
template <class T>
struct Series {
  std::vector<std::vector<T>> irregular;
  std::vector<std::vector<Complex<T>>> regular;
  T rmin{};
  Complex<T> m{};
};

/// One node's series: per real order three real series and their suffix
/// sums, per complex order three complex series.
template <class T>
struct NodeSeries {
  std::vector<std::array<RealSeries<T>, 3>> real_series;
  std::vector<std::array<SuffixSums<T>, 3>> real_suffixes;
  std::vector<std::array<JTerms<T>, 3>> complex_series;
  /// The term lists the complex series are summed from, kept (like every
  /// list here) for their storage when the node routines refill the series.
  std::array<std::vector<Complex<T>>, 3> terms;

  /// The products formed by `forms_wanted`: (real series index, complex series
  /// index, power shift h), in product order 0..7.
  static constexpr std::array<std::array<std::int64_t, 3>, 8> PRODUCTS{{
      {0, 0, 2}, {0, 1, 2}, {1, 0, 2}, {1, 1, 2}, {0, 2, 4}, {1, 2, 4}, {2, 0, 4}, {2, 1, 4}}};

  /// The tail W(idx) of product `product` at orders (r, n) and its bound, given
  /// the product's full value v and scalar c: the direct sum of the terms
  /// beyond the cut-off, or v less the truncated product, whichever has the
  /// smaller bound (a tie takes the direct sum, a NaN bound the complement).
  std::pair<Complex<T>, T> tail_forms(std::size_t product, std::size_t r, std::size_t n,
                                      std::int64_t idx, const Complex<T>& v, const T& c) const;

  /// For the 8 products and every (r, n), r, n = 0..n_max, in that order: None
  /// for r = 0, n = 0, n = r, r < lower or a flag byte of 0 (flags indexed
  /// r (n_max+1) + n, all 3 when empty); otherwise the forms asked for by the
  /// flag bits (2: index 0, 1: index -1) with the full value from `values`
  /// (indexed (product (n_max+1) + r)(n_max+1) + n, like the result) and c1
  /// for products 0-3, c2 for 4-7.
  std::vector<std::optional<Forms<T>>> forms_wanted(std::size_t n_max, std::size_t lower,
                                                    std::span<const std::uint8_t> flags,
                                                    std::span<const Complex<T>> values,
                                                    const T& c1, const T& c2) const;
};

/// Suffix sums and bounds of the first n terms of a.
template <class T>
SuffixSums<T> suffix(std::span<const T> a, std::size_t n);

/// Prefix and suffix sums and bounds of a complex series with its offset.
template <class T>
JTerms<T> sums(std::int64_t offset, std::span<const Complex<T>> beta);

/// The tail c sum_{t + k > D} alpha_t beta_k, D = (idx - base)/2 with
/// base = alpha_offset + j.offset + h (every pair when idx < base), in the
/// better of its two forms; v is the full product c (sum alpha)(sum beta).
template <class T>
std::pair<Complex<T>, T> tail(const JTerms<T>& j, std::int64_t alpha_offset, std::int64_t h,
                              std::span<const T> alpha, const T& c,
                              const SuffixSums<T>& alpha_suffix, std::int64_t idx,
                              const Complex<T>& v);

#define VANTOK_TMATRIX_REGULAR(T)                                                           \
  extern template SuffixSums<T> suffix<T>(std::span<const T>, std::size_t);                 \
  extern template JTerms<T> sums<T>(std::int64_t, std::span<const Complex<T>>);             \
  extern template std::pair<Complex<T>, T> tail<T>(                                         \
      const JTerms<T>&, std::int64_t, std::int64_t, std::span<const T>, const T&,           \
      const SuffixSums<T>&, std::int64_t, const Complex<T>&);                               \
  extern template struct NodeSeries<T>;
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_REGULAR)
#undef VANTOK_TMATRIX_REGULAR

}  // namespace vantok::tmatrix::regular
