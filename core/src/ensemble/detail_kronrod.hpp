#pragma once
// The 7-point Gauss / 15-point Kronrod rule (G7-K15) on one panel [a, b] of
// t = ln r, shared by every size integral of the ensemble code (range cutoffs,
// moments, both engine passes), so that all of them place and weigh their
// nodes alike.
//
// Abscissae and weights of the published rule (Kronrod extension of the
// 7-point Gauss-Legendre rule), rounded to double; K15 is exact for
// polynomials of degree 22 on [-1, 1], G7 for degree 13.

#include <array>
#include <cstddef>

namespace vantok::ensemble::detail {

inline constexpr std::size_t KRONROD_NODES = 15;

/// Panels no wider than this in t are never bisected (the moments' and the
/// first pass's adaptive integrations alike).
inline constexpr double MIN_PANEL_WIDTH = 1e-10;

// Abscissae, descending; the last is the centre.
inline constexpr std::array<double, 8> KRONROD_XI = {
    0.9914553711208126, 0.9491079123427585, 0.8648644233597691, 0.7415311855993945,
    0.5860872354676911, 0.4058451513773972, 0.20778495500789848, 0.0};
inline constexpr std::array<double, 8> KRONROD_W = {
    0.022935322010529224, 0.06309209262997856, 0.10479001032225019, 0.14065325971552592,
    0.1690047266392679,   0.19035057806478542, 0.20443294007529889, 0.20948214108472782};
// The embedded Gauss rule: zero at the Kronrod-only abscissae.
inline constexpr std::array<double, 8> GAUSS_W = {
    0.0, 0.1294849661688697, 0.0, 0.27970539148927664,
    0.0, 0.3818300505051189, 0.0, 0.4179591836734694};

/// One node: its position in t and its weights scaled by the half-width.
struct KronrodNode {
  double t;
  double kronrod;
  double gauss;
};

/// The rule on [a, b]: centre c = (a + b)·0.5, half-width h = (b − a)·0.5.
class PanelRule {
 public:
  PanelRule(double a, double b) : c_((a + b) * 0.5), h_((b - a) * 0.5) {}

  /// Node i in ascending t: c − h·ξ for the seven left abscissae (largest ξ
  /// first), c, then c + h·ξ (smallest ξ first). Gauss weights are non-zero at
  /// the odd indices only.
  KronrodNode node(std::size_t i) const {
    if (i < 7) return at(c_ - h_ * KRONROD_XI[i], i);
    if (i == 7) return at(c_, 7);
    const std::size_t j = 14 - i;
    return at(c_ + h_ * KRONROD_XI[j], j);
  }

 private:
  KronrodNode at(double t, std::size_t j) const { return {t, h_ * KRONROD_W[j], h_ * GAUSS_W[j]}; }

  double c_;
  double h_;
};

}  // namespace vantok::ensemble::detail
