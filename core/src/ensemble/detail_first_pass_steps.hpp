#pragma once
// The decision steps of the first pass, taken on the calling task from the
// sums of all panels: per-part tolerances and tail tests, the choice of the
// panels to bisect, and the bisection itself.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ensemble/detail_first_pass.hpp"

namespace vantok::ensemble::engine::detail {

/// A key whose integer order is the total order of doubles.
inline std::int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::int64_t>(v);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

/// What the first pass keeps per part: whether its range ends are open (a
/// smooth distribution), its window [lo, hi) in t with the widest start panel
/// there, and the length by which an end is extended.
struct PartShape {
  bool open;
  double window_lo;
  double window_hi;
  double window_width;
  double tail_length;
};

PartShape part_shape(const Part& part);

/// Part j's tolerances, error totals and tests from every panel's sums (all
/// panels evaluated).
PartStatus part_status(std::span<const Panel> panels, std::size_t j, const FirstPassLayout& layout, double rtol,
                       bool refine_backscatter, double tail_length);

/// The panels to bisect, best first: candidates are wider than
/// MIN_PANEL_WIDTH and score above 1, the score being the largest error·n/tol
/// over the entries of any part whose total error exceeds its tolerance. At
/// most max_panels - n are chosen; none when there is no candidate or no room.
std::vector<std::size_t> choose_bisections(std::span<const Panel> panels, std::span<const PartStatus> statuses,
                                           std::size_t max_panels);

/// Replaces each chosen panel by its two unevaluated halves, in place.
void bisect(std::vector<Panel>& panels, std::span<const std::size_t> chosen);

}  // namespace vantok::ensemble::engine::detail
