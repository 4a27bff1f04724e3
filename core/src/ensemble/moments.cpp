// Moments of a size distribution by adaptive G7-K15 quadrature in t = ln r
// (dr = r dt), and the mean powers <r²>, <r³> with first-order error
// propagation.
//
// Entries per panel: M0, M2, M3, then D_j,0, D_j,2, D_j,3 for each requested
// parameter j. A panel's error is |K15 - G7| per entry; a derivative entry's
// tolerance is relative to the integral of its integrand's absolute value,
// because the integral itself may vanish by cancellation.
#include "ensemble/detail_moments.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::ensemble::moments {

namespace {

using detail::MIN_PANEL_WIDTH;
// The powers of r of the three value entries.
constexpr std::size_t POWERS = 3;

struct Panel {
  Panel(double lower, double upper) : a(lower), b(upper) {}
  double a;
  double b;
  // K15 sums, |K15 - G7| and the K15 sums of |integrand| (derivative entries
  // only), once evaluated.
  bool evaluated = false;
  std::vector<double> kronrod;
  std::vector<double> error;
  std::vector<double> absolute;
};

class Integrator {
 public:
  Integrator(const SizeDistribution& distribution, std::span<const std::size_t> slots)
      : density_(distribution),
        slots_(slots),
        entries_(POWERS * (slots.size() + 1)),
        derivatives_(distribution.parameter_names().size()),
        gauss_(entries_) {
    for (std::size_t slot : slots) VANTOK_ASSERT(slot < derivatives_.size());
  }

  std::size_t entries() const { return entries_; }

  void evaluate(Panel& panel) {
    panel.kronrod.assign(entries_, 0.0);
    panel.absolute.assign(entries_, 0.0);
    std::fill(gauss_.begin(), gauss_.end(), 0.0);
    const detail::PanelRule rule(panel.a, panel.b);
    for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
      const detail::KronrodNode node = rule.node(i);
      const double r = std::exp(node.t);
      const double n = density_.eval(r, derivatives_);
      const double nr = n * r;
      const double r2 = r * r;
      const double power[POWERS] = {1.0, r2, r2 * r};
      for (std::size_t k = 0; k < POWERS; ++k) {
        panel.kronrod[k] += node.kronrod * nr * power[k];
        gauss_[k] += node.gauss * nr * power[k];
      }
      for (std::size_t j = 0; j < slots_.size(); ++j) {
        for (std::size_t k = 0; k < POWERS; ++k) {
          const double delta = derivatives_[slots_[j]] * r * power[k];
          const std::size_t e = POWERS * (j + 1) + k;
          panel.kronrod[e] += node.kronrod * delta;
          gauss_[e] += node.gauss * delta;
          panel.absolute[e] += node.kronrod * std::fabs(delta);
        }
      }
    }
    panel.error.resize(entries_);
    for (std::size_t e = 0; e < entries_; ++e) panel.error[e] = std::fabs(panel.kronrod[e] - gauss_[e]);
    panel.evaluated = true;
  }

 private:
  Density density_;
  std::span<const std::size_t> slots_;
  std::size_t entries_;
  std::vector<double> derivatives_;
  std::vector<double> gauss_;
};

// The bytes of an evaluated panel of `entries` entries: its record and its
// three vectors of sums with their allocation overhead.
std::size_t panel_bytes(std::size_t entries) {
  return sat_add(sizeof(Panel), sat_mul(sat_add(sat_mul(entries, sizeof(double)), 2 * sizeof(void*)), std::size_t{3}));
}

constexpr const char* PANELS = "the quadrature panels of a size distribution's moments";

// Panels of width at most w between consecutive break values; the last end of
// each segment is computed like the others, not copied from the break value.
// They are counted first, and refused beyond the work budget before they are
// laid out: a tabulated distribution has a segment between each two radii.
std::vector<Panel> initial_panels(std::span<const double> breaks, double w, std::size_t entries) {
  auto count_of = [&](std::size_t i) {
    return std::max<std::size_t>(sat_cast<std::size_t>(std::ceil((breaks[i + 1] - breaks[i]) / w)), 1);
  };
  std::size_t total = 0;
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) total = sat_add(total, count_of(i));
  engine::require_bytes(sat_mul(total, panel_bytes(entries)), PANELS);
  std::vector<Panel> panels;
  panels.reserve(total);
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) {
    const double t0 = breaks[i];
    const double length = breaks[i + 1] - t0;
    const std::size_t n = count_of(i);
    const double count = static_cast<double>(n);
    for (std::size_t m = 0; m < n; ++m) {
      panels.emplace_back(t0 + static_cast<double>(m) * length / count,
                          t0 + static_cast<double>(m + 1) * length / count);
    }
  }
  return panels;
}

}  // namespace

Result<Averages> moments(const SizeDistribution& distribution, std::span<const std::size_t> slots,
                         std::span<const double> breakpoints, double lo, double hi, double tol, double tail) {
  Integrator integrator(distribution, slots);
  const std::size_t entries = integrator.entries();

  const double t_lo = std::log(lo);
  const double t_hi = std::log(hi);
  // Each break inside the range adds a segment of one panel at least.
  std::size_t inside = 0;
  for (double b : breakpoints) {
    const double t = std::log(b);
    inside += t_lo < t && t < t_hi ? 1 : 0;
  }
  engine::require_bytes(sat_mul(sat_add<std::size_t>(inside, 1), sat_add(sizeof(double), panel_bytes(entries))),
                        PANELS);
  std::vector<double> breaks = {t_lo};
  breaks.reserve(inside + 2);
  for (double b : breakpoints) {
    const double t = std::log(b);
    if (t_lo < t && t < t_hi) breaks.push_back(t);
  }
  breaks.push_back(t_hi);
  std::vector<Panel> panels = initial_panels(breaks, std::fmin(0.5 * Density(distribution).scale, 0.5), entries);

  std::vector<double> values(entries);
  std::vector<double> errors(entries);
  std::vector<double> absolute(entries);
  std::vector<double> tolerance(entries);
  for (;;) {
    // Every panel's sums are a function of its ends alone: panels kept from
    // the last cycle reuse theirs.
    for (std::size_t p = 0; p < panels.size(); ++p) {
      if (p % 256 == 0) stop::check();
      if (!panels[p].evaluated) integrator.evaluate(panels[p]);
    }
    std::fill(values.begin(), values.end(), 0.0);
    std::fill(errors.begin(), errors.end(), 0.0);
    std::fill(absolute.begin(), absolute.end(), 0.0);
    for (const Panel& panel : panels) {
      for (std::size_t e = 0; e < entries; ++e) {
        values[e] += panel.kronrod[e];
        errors[e] += panel.error[e];
        absolute[e] += panel.absolute[e];
      }
    }
    bool done = true;
    for (std::size_t e = 0; e < entries; ++e) {
      tolerance[e] = e < POWERS ? tol * std::fabs(values[e]) : tol * absolute[e];
      done = done && errors[e] <= tolerance[e];
    }
    if (done || panels.size() >= MAX_MOMENT_PANELS) break;

    // Bisect the panels carrying more than their share of a failing entry's
    // tolerance.
    const double n = static_cast<double>(panels.size());
    std::vector<Panel> next;
    next.reserve(2 * panels.size());
    bool bisected = false;
    for (Panel& panel : panels) {
      bool split = false;
      if (panel.b - panel.a > MIN_PANEL_WIDTH) {
        for (std::size_t e = 0; e < entries && !split; ++e) {
          split = n * panel.error[e] > tolerance[e] && errors[e] > tolerance[e];
        }
      }
      if (split) {
        const double mid = (panel.a + panel.b) * 0.5;
        next.emplace_back(panel.a, mid);
        next.emplace_back(mid, panel.b);
        bisected = true;
      } else {
        next.push_back(std::move(panel));
      }
    }
    if (!bisected) break;
    panels = std::move(next);
  }
  return averages(values, errors, slots.size(), tail);
}

Result<Averages> averages(std::span<const double> values, std::span<const double> errors, std::size_t count,
                          double tail) {
  VANTOK_ASSERT(values.size() == POWERS * (count + 1) && errors.size() == values.size());
  const double m0 = values[0];
  const double e0 = errors[0];
  if (!(std::isfinite(m0) && m0 > 0.0)) {
    return std::unexpected(
        Error::invalid_input("the size distribution has no finite positive mass on its range (got " + fmt::exp(m0) + ")"));
  }
  Averages out;
  out.m0 = m0;
  out.m0_err = e0;
  // q_k = M_k/M0 with err(q_k) = (E0·|q_k| + E_k)/M0 + tail·|q_k|.
  for (std::size_t k = 0; k < 2; ++k) {
    const double q = values[k + 1] / m0;
    out.means[k] = q;
    out.mean_errors[k] = (e0 * std::fabs(q) + errors[k + 1]) / m0 + tail * std::fabs(q);
  }
  // dq_k/dp = (D_k - q_k·D_0)/M0, its error propagated to first order from
  // every term of the quotient.
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t base = POWERS * (j + 1);
    const double d0 = values[base];
    const double d0_err = errors[base];
    std::array<double, 2> derivative{};
    std::array<double, 2> derivative_err{};
    for (std::size_t k = 0; k < 2; ++k) {
      const double q = out.means[k];
      const double dq = (values[base + k + 1] - q * d0) / m0;
      derivative[k] = dq;
      derivative_err[k] = tail * std::fabs(dq) + (std::fabs(d0) * out.mean_errors[k] + e0 * std::fabs(dq) +
                                                  errors[base + k + 1] + d0_err * std::fabs(q)) /
                                                     m0;
    }
    out.mean_derivatives.push_back(derivative);
    out.mean_derivative_errors.push_back(derivative_err);
    out.m0_derivatives.push_back(d0);
    out.m0_derivative_errors.push_back(d0_err);
  }
  return out;
}

}  // namespace vantok::ensemble::moments
