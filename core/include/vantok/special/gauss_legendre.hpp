#pragma once
// Gauss-Legendre quadrature on [-1, 1]. Up to 100 points every non-negative
// root of P_n is found by Newton's method in double-double arithmetic, which
// leaves nodes and weights correct to the last bit or so; above 100 points the
// nodes and weights come from iteration-free asymptotic expansions in double
// precision (O(n) work, accurate to about 1e-15).

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vantok/error.hpp"
#include "vantok/limits.hpp"
#include "vantok/scalar/dd.hpp"
#include "vantok/scalar/dual.hpp"

namespace vantok::special::gauss_legendre {

using scalar::dd::DoubleDouble;
using vantok::MAX_GAUSS_LEGENDRE_POINTS;

/// The n-point rule: nodes ascending (nodes[n-1-i] == -nodes[i] bit for bit, a
/// +0.0 middle node for odd n) and the matching weights. n must lie in
/// [1, 131072]. For dual numbers the values are those of double with all
/// partials zero.
template <class T>
Result<std::pair<std::vector<T>, std::vector<T>>> gauss_legendre(std::size_t n);

/// The three-term recurrence P_k(x) = a_k x P_{k-1}(x) - b_k P_{k-2}(x) of the
/// Legendre polynomials up to degree n, with a_k = (2k-1)/k and b_k = (k-1)/k
/// in double-double.
class Recurrence {
 public:
  explicit Recurrence(std::size_t n);

  /// (P_n(x), P_n'(x)) for 1 <= n <= the degree of the tables and |x| < 1.
  std::pair<DoubleDouble, DoubleDouble> legendre_and_derivative(DoubleDouble x, std::size_t n) const;

  /// The i-th non-negative root of P_n counted from the largest (i = 0 is the
  /// root nearest 1; for odd n, i = (n-1)/2 is the root 0) and its weight, for
  /// i < ceil(n/2). Newton's method until two consecutive updates are below
  /// 2^-90; NotConverged after 100 updates.
  Result<std::pair<DoubleDouble, DoubleDouble>> root_and_weight(std::size_t n, std::size_t i) const;

 private:
  std::vector<DoubleDouble> a_;
  std::vector<DoubleDouble> b_;
};

extern template Result<std::pair<std::vector<double>, std::vector<double>>> gauss_legendre<double>(
    std::size_t);
extern template Result<std::pair<std::vector<scalar::dual::Dual<double, 4>>,
                                  std::vector<scalar::dual::Dual<double, 4>>>>
gauss_legendre<scalar::dual::Dual<double, 4>>(std::size_t);

}  // namespace vantok::special::gauss_legendre

namespace vantok::special::gauss_legendre_asymptotic {

/// The n-point rule for n >= 101 by the asymptotic expansions of the nodes and
/// weights in powers of 1/(n + 1/2) about the zeros of J0 (Bogaert, SIAM J. Sci.
/// Comput. 36 (2014) A1008). Writes every node and weight; the middle node of
/// odd n is set to +0.0. nodes and weights hold n values.
void rule(std::size_t n, std::span<double> nodes, std::span<double> weights);

}  // namespace vantok::special::gauss_legendre_asymptotic
