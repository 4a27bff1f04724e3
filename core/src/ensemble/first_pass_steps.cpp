// The decision steps of the first pass, taken on the calling task from the
// sums of all panels: each part's tolerances (relative to its own integrals,
// scaled by rtol) and tail tests at the open ends, the panels to bisect (the
// largest error relative to its share of the tolerance first), and the
// bisection itself.
#include "ensemble/detail_first_pass_steps.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "ensemble/detail_kronrod.hpp"
#include "vantok/ensemble/distribution.hpp"

namespace vantok::ensemble::engine {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
using ensemble::detail::MIN_PANEL_WIDTH;

}  // namespace

namespace detail {

PartShape part_shape(const Part& part) {
  const double s = Density(*part.distribution).scale;
  return {std::holds_alternative<support::Smooth>(part.support), std::log(part.range.first),
          std::log(part.range.second), std::fmin(0.5 * s, 0.5), std::fmin(s, 0.5)};
}

namespace {

// A part's sums over its panels: the Kronrod estimates and errors of every
// entry, the integrals of the absolute values of block 0 and of the absolute
// derivatives of the distribution-parameter blocks.
struct PartTotals {
  std::vector<double> k_sum;
  std::vector<double> err;
  std::vector<double> a_sum;
  std::vector<double> b_sum;
};

PartTotals part_totals(std::span<const Panel> panels, std::size_t j, std::size_t q_count) {
  const std::size_t entries = panels.front().sums.value().at(j).kronrod.size();
  VANTOK_ASSERT(entries % q_count == 0);
  const std::size_t blocks = entries / q_count;
  PartTotals t;
  t.k_sum.assign(entries, 0.0);
  t.err.assign(entries, 0.0);
  t.a_sum.assign(q_count, 0.0);
  t.b_sum.assign((blocks - 1) * q_count, 0.0);
  for (const Panel& panel : panels) {
    VANTOK_ASSERT(panel.sums.has_value());
    const Sums1& s = panel.sums->at(j);
    VANTOK_ASSERT(s.kronrod.size() == entries && s.abs_derivatives.size() == t.b_sum.size());
    for (std::size_t i = 0; i < entries; ++i) {
      t.k_sum[i] += s.kronrod[i];
      t.err[i] += s.error[i];
    }
    for (std::size_t k = 0; k < q_count; ++k) t.a_sum[k] += s.abs_values[k];
    for (std::size_t i = 0; i < t.b_sum.size(); ++i) t.b_sum[i] += s.abs_derivatives[i];
  }
  return t;
}

// The tolerance of every entry for the interior errors and for the open ends.
void part_tolerances(const PartTotals& t, const FirstPassLayout& layout, double rtol, bool refine_backscatter,
                     std::vector<double>& tolerances, std::vector<double>& end_tolerances) {
  using V = FirstPassLayout;
  const std::size_t q_count = layout.size();
  const std::size_t entries = t.k_sum.size();
  const std::size_t blocks = entries / q_count;
  tolerances.assign(entries, INF);
  end_tolerances.assign(entries, INF);
  // Block 0: each value relative to its own integral; C_sca·g and C_back to
  // C_sca as well (both may vanish), C_abs and the Greek terms to C_ext and
  // C_sca; particle derivatives to the integral of their absolute value, the
  // absorption derivative to that of the extinction derivative.
  for (std::size_t k = 1; k < q_count; ++k) {
    double reference = 0.0;
    if (layout.is_derivative(k)) {
      reference = t.a_sum[layout.tolerance_entry(k)];
    } else if (k == V::EXTINCTION || k == V::ABSORPTION) {
      reference = std::fabs(t.k_sum[V::EXTINCTION]);
    } else if (k == V::BACKSCATTER) {
      reference = std::fmax(std::fabs(t.k_sum[V::BACKSCATTER]), std::fabs(t.k_sum[V::SCATTERING]));
    } else {
      reference = std::fabs(t.k_sum[V::SCATTERING]);
    }
    tolerances[k] = rtol * reference;
    end_tolerances[k] = tolerances[k];
  }
  // Distribution-parameter blocks: relative to the integral of the absolute
  // derivative integrand (C_abs to C_ext's); the number density and the
  // particle derivatives do not drive refinement.
  for (std::size_t d = 1; d < blocks; ++d) {
    for (std::size_t k = 1; k < layout.values(); ++k) {
      const std::size_t i = layout.in_block(d, k);
      const double b = t.b_sum[layout.in_block(d - 1, layout.tolerance_entry(k))];
      tolerances[i] = rtol * b;
      end_tolerances[i] = rtol * std::fmax(std::fabs(t.k_sum[i]), 0.001 * b);
    }
  }
  if (!refine_backscatter) {
    for (std::size_t d = 0; d < blocks; ++d) {
      tolerances[layout.in_block(d, V::BACKSCATTER)] = INF;
      end_tolerances[layout.in_block(d, V::BACKSCATTER)] = INF;
      for (std::size_t p = 0; p < layout.parameters(); ++p) {
        tolerances[layout.in_block(d, layout.derivative(p, V::BACKSCATTER))] = INF;
        end_tolerances[layout.in_block(d, layout.derivative(p, V::BACKSCATTER))] = INF;
      }
    }
  }
}

}  // namespace

PartStatus part_status(std::span<const Panel> panels, std::size_t j, const FirstPassLayout& layout, double rtol,
                       bool refine_backscatter, double tail_length) {
  VANTOK_ASSERT(!panels.empty());
  PartTotals totals = part_totals(panels, j, layout.size());
  const std::size_t entries = totals.k_sum.size();
  PartStatus status;
  std::vector<double> end_tolerances;
  part_tolerances(totals, layout, rtol, refine_backscatter, status.tolerances, end_tolerances);

  status.error_totals = std::move(totals.err);
  status.interior_ok = true;
  for (std::size_t i = 0; i < entries; ++i) {
    // A NaN total fails.
    if (!(status.tolerances[i] >= status.error_totals[i])) status.interior_ok = false;
  }
  // The integrand at an open end, over the length of one extension, must be
  // well within a tenth of the entry's tolerance.
  auto end_ok = [&](const std::vector<double>& values) {
    const std::size_t count = std::min(entries, values.size());
    for (std::size_t i = 0; i < count; ++i) {
      if (!(0.1 * end_tolerances[i] >= 2.0 * tail_length * std::fabs(values[i]))) return false;
    }
    return true;
  };
  status.low_ok = end_ok(panels.front().sums->at(j).first);
  status.high_ok = end_ok(panels.back().sums->at(j).last);
  return status;
}

std::vector<std::size_t> choose_bisections(std::span<const Panel> panels, std::span<const PartStatus> statuses,
                                           std::size_t max_panels) {
  const std::size_t n = panels.size();
  if (n >= max_panels) return {};
  const double count = static_cast<double>(n);
  struct Candidate {
    std::size_t index;
    double score;
  };
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < n; ++i) {
    const Panel& panel = panels[i];
    if (!(panel.b - panel.a > MIN_PANEL_WIDTH)) continue;
    VANTOK_ASSERT(panel.sums.has_value() && panel.sums->size() == statuses.size());
    double score = 0.0;
    for (std::size_t j = 0; j < statuses.size(); ++j) {
      const PartStatus& status = statuses[j];
      const std::vector<double>& error = (*panel.sums)[j].error;
      for (std::size_t e = 0; e < error.size(); ++e) {
        if (status.error_totals[e] > status.tolerances[e]) {
          score = std::fmax(score, error[e] * count / std::fmax(status.tolerances[e], DBL_MIN));
        }
      }
    }
    if (score > 1.0) candidates.push_back({i, score});
  }
  // Highest score first; equal scores keep their panel order.
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& x, const Candidate& y) {
    return total_order_key(x.score) > total_order_key(y.score);
  });
  const std::size_t take = std::min(candidates.size(), max_panels - n);
  std::vector<std::size_t> chosen;
  chosen.reserve(take);
  for (std::size_t c = 0; c < take; ++c) chosen.push_back(candidates[c].index);
  return chosen;
}

void bisect(std::vector<Panel>& panels, std::span<const std::size_t> chosen) {
  std::vector<bool> split(panels.size(), false);
  for (std::size_t i : chosen) split.at(i) = true;
  std::vector<Panel> next;
  next.reserve(panels.size() + chosen.size());
  for (std::size_t i = 0; i < panels.size(); ++i) {
    Panel& panel = panels[i];
    if (split[i]) {
      const double mid = (panel.a + panel.b) / 2.0;
      next.push_back({panel.a, mid, std::nullopt});
      next.push_back({mid, panel.b, std::nullopt});
    } else {
      next.push_back(std::move(panel));
    }
  }
  panels = std::move(next);
}

}  // namespace detail

}  // namespace vantok::ensemble::engine
