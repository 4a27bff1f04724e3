// First-order propagation of errors and derivatives through a quotient and a
// positive scaling.
#include "ensemble/detail_lin.hpp"

#include <algorithm>
#include <cmath>

namespace vantok::ensemble::lin {

// q = a/b with e = (|q| err(b) + err(a))/|b|, and d_k = (a_k - q b_k)/b. The
// error of d_k adds, as independent bounds, those of a_k, of b_k (times |q|),
// of the divisor b (times |d_k|) and of q (times |b_k|):
//   e_k = (((err(a_k) + |q| err(b_k)) + |d_k| err(b)) + |b_k| e)/|b|.
Lin Lin::div(const Lin& other) const {
  const std::size_t n = std::min(d.size(), other.d.size());
  const double q = value / other.value;
  const double abs_b = std::fabs(other.value);
  const double e = (std::fabs(q) * other.err + err) / abs_b;
  Lin out{q, e, std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t k = 0; k < n; ++k) {
    const double dk = (d[k] - q * other.d[k]) / other.value;
    out.d[k] = dk;
    out.d_err[k] = (((d_err[k] + std::fabs(q) * other.d_err[k]) + std::fabs(dk) * other.err) +
                    std::fabs(other.d[k]) * e) /
                   abs_b;
  }
  return out;
}

Lin Lin::scale(double s) const {
  Lin out{value * s, err * s, std::vector<double>(d.size()), std::vector<double>(d_err.size())};
  for (std::size_t k = 0; k < d.size(); ++k) out.d[k] = d[k] * s;
  for (std::size_t k = 0; k < d_err.size(); ++k) out.d_err[k] = d_err[k] * s;
  return out;
}

Lin Lin::constant(double v, std::size_t n) {
  return Lin{v, 0.0, std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
}

}  // namespace vantok::ensemble::lin
