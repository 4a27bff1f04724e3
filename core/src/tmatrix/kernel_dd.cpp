// The double-double member of the mode kernel: its Gauss-Legendre rule, built
// root by root by Newton's method in double-double for every size (the last
// few sizes kept), and the generic driver and integrand instantiated for
// DoubleDouble.

#include <deque>
#include <mutex>

#include "tmatrix/detail_kernel_impl.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"

namespace vantok::tmatrix::kernel {

namespace detail {

Result<Rule<DoubleDouble>> gauss_legendre_dd(std::size_t n) {
  if (n == 0) return std::unexpected(Error::invalid_input("Gauss-Legendre rule needs n >= 1"));
  if (n > MAX_GAUSS_LEGENDRE_POINTS) {
    return std::unexpected(Error::invalid_input("Gauss-Legendre rule needs n <= " +
                                                fmt::plain(MAX_GAUSS_LEGENDRE_POINTS) +
                                                ", got " + fmt::plain(n)));
  }
  std::vector<DoubleDouble> nodes(n);
  std::vector<DoubleDouble> weights(n);
  const std::size_t roots = n - n / 2;
  std::vector<std::optional<Error>> errors(roots);
  {
    const special::gauss_legendre::Recurrence recurrence(n);
    // Root i counted from the largest; each renormalised by two-sum of its
    // parts. Independent roots: any order of evaluation gives the same bits.
    work::parallel(roots, [&](std::size_t i) {
      auto root = recurrence.root_and_weight(n, i);
      if (!root) {
        errors[i] = std::move(root).error();
        return;
      }
      const DoubleDouble x = scalar::dd::detail::corrected(root->first.hi, root->first.lo);
      const DoubleDouble w = scalar::dd::detail::corrected(root->second.hi, root->second.lo);
      nodes[i] = -x;
      nodes[n - 1 - i] = x;
      weights[i] = w;
      weights[n - 1 - i] = w;
    });
  }
  for (auto& e : errors) {
    if (e) return std::unexpected(std::move(*e));
  }
  return Rule<DoubleDouble>{std::move(nodes), std::move(weights)};
}

Result<Rule<DoubleDouble>> gauss_legendre_dd_cached(std::size_t n) {
  // The last few rules by size: a convergence run asks for each size twice
  // or more (its trials and the solves at the final truncation).
  constexpr std::size_t KEEP = 4;
  static std::mutex mutex;
  static std::deque<std::pair<std::size_t, Rule<DoubleDouble>>> cache;
  {
    const std::lock_guard lock(mutex);
    for (const auto& [size, rule] : cache) {
      if (size == n) return rule;
    }
  }
  VANTOK_TRY(rule, gauss_legendre_dd(n));
  const std::lock_guard lock(mutex);
  cache.emplace_front(n, rule);
  if (cache.size() > KEEP) cache.pop_back();
  return rule;
}

template regular::Series<DoubleDouble> series_tables<DoubleDouble>(
    const functions::Scales<DoubleDouble>&, std::size_t, const DoubleDouble&, const DoubleDouble&,
    const Complex<DoubleDouble>&);
template Result<std::vector<ModeMatrices<DoubleDouble>>> run_kernel<DoubleDouble>(
    const KernelCall<DoubleDouble>&);

}  // namespace detail

Result<std::vector<ModeMatrices<DoubleDouble>>> all_modes_masked(
    const Axes<DoubleDouble>& spheroid, const Complex<DoubleDouble>& m, std::size_t nmax,
    std::size_t ngauss, Mask mask, const Choice* choice, std::size_t p, std::size_t held_bytes,
    bool magnitudes) {
  auto call = detail::kernel_call(spheroid, m, nmax, ngauss, mask, choice, p);
  call.held_bytes = held_bytes;
  call.magnitudes = magnitudes;
  return detail::run_kernel(call);
}

}  // namespace vantok::tmatrix::kernel
