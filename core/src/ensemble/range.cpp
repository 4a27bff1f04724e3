// Radius-range cutoffs of a smooth size distribution.
//
// Two fronts march outward from the start radius in steps h of ln r. Each step
// integrates r^k n(r) dr = r^(k+1) n dt by the 15-point Kronrod rule; once the
// steps of a side shrink by a ratio q < 1, the rest of that tail is at most the
// geometric sum I/(1 - q), and the side closes when that is within tol of the
// running total (shared by both sides). Sweep 0 never closes, so each side
// takes at least two steps.
#include "ensemble/detail_range.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "ensemble/detail_kronrod.hpp"
#include "vantok/format.hpp"
#include "vantok/pool.hpp"

namespace vantok::ensemble::range {

namespace {

constexpr std::size_t MAX_SWEEPS = 400;
constexpr std::size_t MAX_EXPONENTS = 3;

// r^k by repeated multiplication (k < 0 as the reciprocal of r^|k|).
double int_power(double r, std::int32_t k) {
  double p = 1.0;
  const std::int64_t n = k < 0 ? -static_cast<std::int64_t>(k) : k;
  for (std::int64_t i = 0; i < n; ++i) p *= r;
  return k < 0 ? 1.0 / p : p;
}

}  // namespace

Result<std::pair<double, double>> cutoffs(const Density& density, std::span<const std::int32_t> exponents,
                                          double start, double tol) {
  VANTOK_ASSERT(!exponents.empty() && exponents.size() <= MAX_EXPONENTS);
  constexpr double INF = std::numeric_limits<double>::infinity();
  const std::size_t count = exponents.size();
  const double h = std::fmin(0.5 * density.scale, 0.5);
  std::array<double, 2> front = {std::log(start), std::log(start)};
  std::array<double, MAX_EXPONENTS> total{};
  std::array<std::array<double, MAX_EXPONENTS>, 2> previous{};
  for (auto& p : previous) p.fill(INF);
  std::array<bool, 2> closed = {false, false};

  for (std::size_t sweep = 0;; ++sweep) {
    if (sweep == MAX_SWEEPS) {
      return std::unexpected(Error::invalid_input("the size distribution is too broad: its tails do not decay within e^" +
                                                  fmt::plain(static_cast<double>(MAX_SWEEPS) * h) + " of r = " +
                                                  fmt::exp(start)));
    }
    stop::check();
    for (std::size_t side = 0; side < 2; ++side) {
      if (closed[side]) continue;
      const double direction = side == 0 ? -1.0 : 1.0;
      const double t_new = front[side] + direction * h;
      const detail::PanelRule rule(std::fmin(front[side], t_new), std::fmax(front[side], t_new));
      std::array<double, MAX_EXPONENTS> step{};
      for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
        const detail::KronrodNode node = rule.node(i);
        const double r = std::exp(node.t);
        const double n = density.eval(r, {});
        for (std::size_t j = 0; j < count; ++j) step[j] += int_power(r, exponents[j]) * (node.kronrod * r * n);
      }
      for (std::size_t j = 0; j < count; ++j) {
        if (!std::isfinite(step[j])) {
          return std::unexpected(Error::invalid_input("the size distribution's density is not finite near r = " +
                                                      fmt::exp(std::exp(t_new))));
        }
      }
      // The front advances whatever the test says.
      front[side] = t_new;
      bool pass = true;
      for (std::size_t j = 0; j < count; ++j) {
        total[j] += step[j];
        const double q = step[j] / previous[side][j];
        previous[side][j] = step[j];
        const bool decays = step[j] == 0.0 || (q < 1.0 && tol * total[j] >= step[j] / (1.0 - q));
        pass = pass && decays;
      }
      closed[side] = sweep != 0 && pass;
    }
    if (closed[0] && closed[1]) return std::pair{std::exp(front[0]), std::exp(front[1])};
  }
}

}  // namespace vantok::ensemble::range
