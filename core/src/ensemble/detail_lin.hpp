#pragma once
// A quantity carried to first order: its value, an absolute error estimate, its
// derivatives with respect to the requested parameters and an error estimate of
// each derivative. The ensemble outputs are formed from such values by
// quotients, positive scalings and constants.

#include <cstddef>
#include <vector>

namespace vantok::ensemble::lin {

/// A value with its error and derivatives. `d` and `d_err` have one entry per
/// requested parameter, in request order.
struct Lin {
  double value = 0.0;
  double err = 0.0;
  std::vector<double> d;
  std::vector<double> d_err;

  /// The quotient *this / other, errors of the four operands taken as
  /// independent bounds that add. No test of other.value: a zero or non-finite
  /// denominator gives infinities or NaN in every field. Derivatives are kept
  /// for the shorter of the two derivative lists.
  Lin div(const Lin& other) const;

  /// The product with a positive constant s (the error is scaled by s itself).
  Lin scale(double s) const;

  /// A fixed value: zero error and n zero derivatives.
  static Lin constant(double v, std::size_t n);

  friend bool operator==(const Lin&, const Lin&) = default;
};

}  // namespace vantok::ensemble::lin
