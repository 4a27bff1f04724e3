// Prefix and suffix sums of truncated series with magnitude bounds, and the
// two-form evaluation of the tail of a product of two series.
//
// With v = c (sum alpha)(sum beta), the tail W = c sum_{t+k>D} alpha_t beta_k
// equals both
//   direct:     c sum_t alpha_t S_{max(D-t+1, 0)}      (suffix sums of beta)
//   complement: v - c sum_{t<=D} alpha_t P_{min(D-t, N-1)} (prefix sums)
// and the terms of alpha beyond D contribute c (sum_{t>D} alpha_t) S_0 to the
// direct form. Each form's bound is the sum of the magnitudes it adds.

#include "vantok/tmatrix/regular.hpp"

#include <algorithm>
#include <tuple>

#include "tmatrix/detail_ops.hpp"
#include "vantok/error.hpp"

namespace vantok::tmatrix::regular {

using namespace detail;

namespace {

/// ||z|| = |Re z| + |Im z|, a bound on |z| without a square root.
template <class T>
T norm1(const Complex<T>& z) {
  return abs(z.re) + abs(z.im);
}

}  // namespace

template <class T>
SuffixSums<T> suffix(std::span<const T> a, std::size_t n) {
  VANTOK_ASSERT(n <= a.size());
  const T zero = constant<T>(0.0);
  SuffixSums<T> out{std::vector<T>(n + 1, zero), std::vector<T>(n + 1, zero)};
  for (std::size_t k = n; k-- > 0;) {
    out.sums[k] = out.sums[k + 1] + a[k];
    out.bounds[k] = abs(a[k]) + out.bounds[k + 1];
  }
  return out;
}

template <class T>
JTerms<T> sums(std::int64_t offset, std::span<const Complex<T>> beta) {
  const std::size_t n = beta.size();
  const T zero = constant<T>(0.0);
  const Complex<T> czero{zero, zero};
  JTerms<T> out;
  out.prefix_sums.resize(n);
  out.prefix_bounds.resize(n);
  Complex<T> p = czero;
  T b = zero;
  for (std::size_t k = 0; k < n; ++k) {
    p = p + beta[k];
    out.prefix_sums[k] = p;
    b = b + norm1(beta[k]);
    out.prefix_bounds[k] = b;
  }
  out.suffix_sums.assign(n + 1, czero);
  out.suffix_bounds.assign(n + 1, zero);
  Complex<T> s = czero;
  T cb = zero;
  for (std::size_t k = n; k-- > 0;) {
    s = s + beta[k];
    out.suffix_sums[k] = s;
    cb = cb + norm1(beta[k]);
    out.suffix_bounds[k] = cb;
  }
  out.offset = offset;
  return out;
}

template <class T>
std::pair<Complex<T>, T> tail(const JTerms<T>& j, std::int64_t alpha_offset, std::int64_t h,
                              std::span<const T> alpha, const T& c,
                              const SuffixSums<T>& alpha_suffix, std::int64_t idx,
                              const Complex<T>& v) {
  const auto big_n = static_cast<std::int64_t>(j.prefix_sums.size());
  const auto big_l = static_cast<std::int64_t>(alpha.size());
  VANTOK_ASSERT(j.suffix_sums.size() == j.prefix_sums.size() + 1 &&
                j.suffix_bounds.size() == j.suffix_sums.size() &&
                j.prefix_bounds.size() == j.prefix_sums.size() &&
                alpha_suffix.sums.size() == alpha.size() + 1 &&
                alpha_suffix.bounds.size() == alpha.size() + 1);

  // Cut-off in terms: the powers advance by two per term.
  const std::int64_t base = alpha_offset + j.offset + h;
  std::int64_t d = 0;
  std::int64_t count = 0;
  if (idx >= base) {
    d = (idx - base) / 2;
    count = std::min(big_l, d + 1);
  }
  // Prefix sums are read at min(N - 1, D - t): a non-empty beta is needed.
  VANTOK_ASSERT(count == 0 || big_n >= 1);

  const T zero = constant<T>(0.0);
  Complex<T> a_sum{zero, zero};
  Complex<T> b_sum{zero, zero};
  T a_bound = zero;
  T b_bound = zero;
  for (std::int64_t t = 0; t < count; ++t) {
    const T w = alpha[static_cast<std::size_t>(t)] * c;
    const T w_abs = abs(w);
    const auto i = static_cast<std::size_t>(std::min(big_n - 1, d - t));
    a_sum = a_sum + complex::scale(j.prefix_sums[i], w);
    a_bound = a_bound + j.prefix_bounds[i] * w_abs;
    const auto k = static_cast<std::size_t>(std::min(d - t + 1, big_n));
    b_sum = b_sum + complex::scale(j.suffix_sums[k], w);
    b_bound = b_bound + w_abs * j.suffix_bounds[k];
  }
  // alpha beyond the cut-off meets every term of beta.
  const auto rest = static_cast<std::size_t>(count);
  b_bound = b_bound + abs(c) * (j.suffix_bounds[0] * alpha_suffix.bounds[rest]);
  b_sum = b_sum + complex::scale(c * alpha_suffix.sums[rest], j.suffix_sums[0]);
  a_bound = a_bound + (abs(v.im) + abs(v.re));

  if (at_least(a_bound, b_bound)) return {b_sum, b_bound};
  return {v - a_sum, a_bound};
}

template <class T>
std::pair<Complex<T>, T> NodeSeries<T>::tail_forms(std::size_t product, std::size_t r,
                                                   std::size_t n, std::int64_t idx,
                                                   const Complex<T>& v, const T& c) const {
  VANTOK_ASSERT(product < PRODUCTS.size() && r < real_series.size() &&
                r < real_suffixes.size() && n < complex_series.size());
  const auto& [ri, ci, h] = PRODUCTS[product];
  const RealSeries<T>& alpha = real_series[r][static_cast<std::size_t>(ri)];
  return tail<T>(complex_series[n][static_cast<std::size_t>(ci)], alpha.offset, h,
                 alpha.coefficients, c, real_suffixes[r][static_cast<std::size_t>(ri)], idx, v);
}

template <class T>
std::vector<std::optional<Forms<T>>> NodeSeries<T>::forms_wanted(
    std::size_t n_max, std::size_t lower, std::span<const std::uint8_t> flags,
    std::span<const Complex<T>> values, const T& c1, const T& c2) const {
  const std::size_t orders = n_max + 1;
  const std::size_t grid = orders * orders;
  VANTOK_ASSERT(n_max < (std::size_t{1} << 28));
  VANTOK_ASSERT(values.size() >= PRODUCTS.size() * grid && (flags.empty() || flags.size() >= grid));
  const T zero = constant<T>(0.0);
  std::vector<std::optional<Forms<T>>> out;
  out.reserve(PRODUCTS.size() * grid);
  for (std::size_t t = 0; t < PRODUCTS.size(); ++t) {
    const T& c = t < 4 ? c1 : c2;
    for (std::size_t r = 0; r < orders; ++r) {
      for (std::size_t n = 0; n < orders; ++n) {
        const std::uint8_t flag = flags.empty() ? std::uint8_t{3} : flags[r * orders + n];
        if (r == 0 || n == 0 || n == r || r < lower || flag == 0) {
          out.emplace_back(std::nullopt);
          continue;
        }
        const Complex<T>& v = values[(t * orders + r) * orders + n];
        Forms<T> f{{zero, zero}, {zero, zero}, zero, zero};
        if ((flag & 2u) != 0) std::tie(f.value0, f.bound0) = tail_forms(t, r, n, 0, v, c);
        if ((flag & 1u) != 0) std::tie(f.value1, f.bound1) = tail_forms(t, r, n, -1, v, c);
        out.emplace_back(std::move(f));
      }
    }
  }
  return out;
}

#define VANTOK_TMATRIX_REGULAR(T)                                                          \
  template SuffixSums<T> suffix<T>(std::span<const T>, std::size_t);                       \
  template JTerms<T> sums<T>(std::int64_t, std::span<const Complex<T>>);                   \
  template std::pair<Complex<T>, T> tail<T>(const JTerms<T>&, std::int64_t, std::int64_t,  \
                                            std::span<const T>, const T&,                  \
                                            const SuffixSums<T>&, std::int64_t,            \
                                            const Complex<T>&);                            \
  template struct NodeSeries<T>;
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_REGULAR)
#undef VANTOK_TMATRIX_REGULAR

}  // namespace vantok::tmatrix::regular
