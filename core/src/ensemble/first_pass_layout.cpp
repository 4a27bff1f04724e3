// The first pass's start layout of panels over ln r: split at the breakpoints,
// each panel at most as wide as the parts' windows allow and 20 wide in size
// parameter, or, beyond the panel limit, each segment its share of it.
#include "ensemble/detail_first_pass.hpp"

#include <algorithm>
#include <cmath>

#include "vantok/numeric.hpp"

namespace vantok::ensemble::engine {

std::vector<std::pair<double, double>> initial_panels(std::span<const double> breakpoints,
                                                      const std::function<double(double)>& width,
                                                      std::size_t max_panels, double t_lo, double t_hi,
                                                      double wavelength) {
  std::vector<double> points = {t_lo};
  for (double r : breakpoints) {
    const double t = std::log(r);
    if (t_lo < t && t < t_hi) points.push_back(t);
  }
  points.push_back(t_hi);

  // Width-driven layout: at each lower end t the panel is at most width(t)
  // wide and spans at most 20 in size parameter, x·(e^w - 1) <= 20, and the
  // rest of the segment is split evenly so that no sliver is left at its end.
  std::vector<std::pair<double, double>> panels;
  bool over = false;
  for (std::size_t p = 0; p + 1 < points.size() && !over; ++p) {
    const double b = points[p + 1];
    double t = points[p];
    if (!(b > t)) continue;
    for (;;) {
      const double x = size_parameter(std::exp(t), wavelength);
      const double w = std::fmin(width(t), std::log(1.0 + 20.0 / x));
      const std::size_t m = std::max<std::size_t>(sat_cast<std::size_t>(std::ceil((b - t) / w)), 1);
      double next = b;
      if (m > 1) {
        const double step = t + (b - t) / static_cast<double>(m);
        if (step > t) next = step;
      }
      panels.emplace_back(t, next);
      if (panels.size() > max_panels) {
        over = true;
        break;
      }
      if (!(next < b)) break;
      t = next;
    }
  }
  if (!over) return panels;

  // Proportional layout: each segment its share of max_panels, at least one.
  panels.clear();
  for (std::size_t p = 0; p + 1 < points.size(); ++p) {
    const double a = points[p];
    const double b = points[p + 1];
    if (!(b > a)) continue;
    const double share = (b - a) / (t_hi - t_lo) * static_cast<double>(max_panels);
    const std::size_t k = std::max<std::size_t>(sat_cast<std::size_t>(std::floor(share)), 1);
    const double h = (b - a) / static_cast<double>(k);
    for (std::size_t j = 0; j < k; ++j) {
      panels.emplace_back(a + static_cast<double>(j) * h, a + static_cast<double>(j + 1) * h);
    }
  }
  return panels;
}

}  // namespace vantok::ensemble::engine
