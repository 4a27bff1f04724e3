// Prefix and suffix sums of truncated series with magnitude bounds, and the
// two-form evaluation of the tail of a product of two series (the definitions
// are shared with the mode kernels' node integrand: detail_series_tails.inc).

#include "tmatrix/detail_series_tails.hpp"

#include <algorithm>
#include <tuple>

#include "tmatrix/detail_ops.hpp"
#include "vantok/error.hpp"

namespace vantok::tmatrix::regular {

using namespace detail;

#include "tmatrix/detail_series_tails.inc"

template <class T>
std::pair<Complex<T>, T> NodeSeries<T>::tail_forms(std::size_t product, std::size_t r,
                                                   std::size_t n, std::int64_t idx,
                                                   const Complex<T>& v, const T& c) const {
  return regular::tail_forms<T>(*this, product, r, n, idx, v, c);
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
