// Gauss-Legendre rules: Newton's method in double-double for n <= 100, the
// asymptotic expansions (gauss_legendre_asymptotic.cpp) above.
//
// Newton works on P_n / P_n' with P_n from its three-term recurrence and
//   P_n'(x) = n (P_{n-1}(x) - x P_n(x)) / ((1 - x)(1 + x)),
// and the weight is w = 2 / ((1 - x^2) P_n'(x)^2). In double-double the root
// is found to about 2^-90, so both round correctly (or within an ulp) to double.
#include "vantok/special/gauss_legendre.hpp"

#include "vantok/constants.hpp"
#include "vantok/format.hpp"
#include "vantok/scalar/scalars.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

namespace vantok::special::gauss_legendre {
namespace {

// Newton has converged after two consecutive updates at most this large.
constexpr double NEWTON_TOLERANCE = 0x1p-90;
constexpr int MAX_NEWTON_UPDATES = 100;
constexpr std::size_t MAX_NEWTON_POINTS = 100;

constexpr DoubleDouble dd(double v) { return DoubleDouble{v, 0.0}; }

// The nodes and weights in double: the Newton roots rounded from double-double
// (hi + lo), stored -x then +x so that the middle node of odd n ends as +0.0.
Result<void> newton_rule(std::size_t n, std::vector<double>& nodes, std::vector<double>& weights) {
  const Recurrence recurrence(n);
  for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
    VANTOK_TRY(root, recurrence.root_and_weight(n, i));
    const double x = root.first.hi + root.first.lo;
    const double w = root.second.hi + root.second.lo;
    nodes[i] = -x;
    nodes[n - 1 - i] = x;
    weights[i] = w;
    weights[n - 1 - i] = w;
  }
  return {};
}

// The Newton rules cost O(n^2) double-double operations each, more than the
// small spheres that ask for them, so each is made once per process and kept:
// at most 100 rules (n <= 100), 81 KB in all. A thread that finds no rule makes
// one and publishes it unless another thread was first (both have the same
// bits); nothing blocks. A failure is not kept.
struct NewtonRule {
  std::vector<double> nodes;
  std::vector<double> weights;
};

std::array<std::atomic<const NewtonRule*>, MAX_NEWTON_POINTS + 1> newton_rules{};

Result<const NewtonRule*> cached_newton_rule(std::size_t n) {
  std::atomic<const NewtonRule*>& slot = newton_rules[n];
  if (const NewtonRule* rule = slot.load(std::memory_order_acquire)) return rule;
  auto made = std::make_unique<NewtonRule>();
  made->nodes.assign(n, 0.0);
  made->weights.assign(n, 0.0);
  VANTOK_CHECK(newton_rule(n, made->nodes, made->weights));
  const NewtonRule* published = nullptr;
  if (slot.compare_exchange_strong(published, made.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return made.release();
  }
  return published;
}

}  // namespace

Recurrence::Recurrence(std::size_t n) : a_(n + 1, dd(0.0)), b_(n + 1, dd(0.0)) {
  for (std::size_t k = 1; k <= n; ++k) {
    const auto kf = static_cast<double>(k);
    a_[k] = DoubleDouble::div_f64(dd(static_cast<double>(2 * k - 1)), kf);
    b_[k] = DoubleDouble::div_f64(dd(static_cast<double>(k - 1)), kf);
  }
}

std::pair<DoubleDouble, DoubleDouble> Recurrence::legendre_and_derivative(DoubleDouble x,
                                                                          std::size_t n) const {
  VANTOK_ASSERT(n >= 1 && n < a_.size());
  DoubleDouble p_prev = dd(1.0);
  DoubleDouble p = x;
  for (std::size_t k = 2; k <= n; ++k) {
    const DoubleDouble p_next = (a_[k] * x) * p - b_[k] * p_prev;
    p_prev = p;
    p = p_next;
  }
  const DoubleDouble numerator = (p_prev - x * p) * static_cast<double>(n);
  const DoubleDouble denominator = (dd(1.0) - x) * (dd(1.0) + x);
  return {p, DoubleDouble::div_dd(numerator, denominator)};
}

Result<std::pair<DoubleDouble, DoubleDouble>> Recurrence::root_and_weight(std::size_t n,
                                                                         std::size_t i) const {
  DoubleDouble x = dd(0.0);
  if (2 * i + 1 != n) {
    // Tricomi's estimate x ~ (1 - (n-1)/(8n^3)) cos((4k-1) pi / (4n+2)), good to
    // O(n^-4): Newton then converges in a handful of steps.
    const auto k = static_cast<double>(i + 1);
    const double theta0 = ((4.0 * k - 1.0) * constants::PI) / static_cast<double>(4 * n + 2);
    const auto n64 = static_cast<std::uint64_t>(n);
    const double c = static_cast<double>(n - 1) / static_cast<double>(8 * n64 * n64 * n64);
    x = dd((1.0 - c) * DoubleDouble::cos(dd(theta0)).hi);
    bool previous_small = false;
    bool converged = false;
    double last = 0.0;
    for (int update = 0; update < MAX_NEWTON_UPDATES; ++update) {
      const auto [p, dp] = legendre_and_derivative(x, n);
      const DoubleDouble dx = DoubleDouble::div_dd(p, dp);
      x = x - dx;
      last = std::fabs(dx.hi);
      const bool small = last <= NEWTON_TOLERANCE;
      if (small && previous_small) {
        converged = true;
        break;
      }
      previous_small = small;
    }
    if (!converged) {
      return std::unexpected(
          Error::not_converged(std::isnan(last) ? INFINITY : last, NEWTON_TOLERANCE));
    }
  }
  // w = 2 / (P'^2 (1 - x)(1 + x))
  const auto [p, dp] = legendre_and_derivative(x, n);
  (void)p;
  const DoubleDouble q = (dd(1.0) - x) * (dd(1.0) + x);
  const DoubleDouble w = DoubleDouble::div_dd(dd(2.0), (q * dp) * dp);
  return std::pair{x, w};
}

template <class T>
Result<std::pair<std::vector<T>, std::vector<T>>> gauss_legendre(std::size_t n) {
  if (n == 0) return std::unexpected(Error::invalid_input("Gauss-Legendre rule needs n >= 1"));
  if (n > MAX_GAUSS_LEGENDRE_POINTS) {
    return std::unexpected(Error::invalid_input("Gauss-Legendre rule needs n <= " +
                                                fmt::plain(MAX_GAUSS_LEGENDRE_POINTS) +
                                                ", got " + fmt::plain(n)));
  }
  std::vector<double> nodes(n, 0.0);
  std::vector<double> weights(n, 0.0);
  if (n <= MAX_NEWTON_POINTS) {
    VANTOK_TRY(rule, cached_newton_rule(n));
    std::copy(rule->nodes.begin(), rule->nodes.end(), nodes.begin());
    std::copy(rule->weights.begin(), rule->weights.end(), weights.begin());
  } else {
    gauss_legendre_asymptotic::rule(n, nodes, weights);
  }
  if constexpr (std::is_same_v<T, double>) {
    return std::pair{std::move(nodes), std::move(weights)};
  } else {
    // The rule depends on nothing differentiated: zero duals carrying the values.
    std::vector<T> dual_nodes(n, scalar::constant<T>(0.0));
    std::vector<T> dual_weights(n, scalar::constant<T>(0.0));
    for (std::size_t k = 0; k < n; ++k) {
      dual_nodes[k].value = nodes[k];
      dual_weights[k].value = weights[k];
    }
    return std::pair{std::move(dual_nodes), std::move(dual_weights)};
  }
}

template Result<std::pair<std::vector<double>, std::vector<double>>> gauss_legendre<double>(std::size_t);
template Result<std::pair<std::vector<scalar::dual::Dual<double, 4>>,
                          std::vector<scalar::dual::Dual<double, 4>>>>
gauss_legendre<scalar::dual::Dual<double, 4>>(std::size_t);

}  // namespace vantok::special::gauss_legendre
