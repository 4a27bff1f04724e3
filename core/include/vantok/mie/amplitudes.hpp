#pragma once
// Scattering amplitudes of a sphere,
//   S1(mu) = sum_n w_n (a_n pi_n(mu) + b_n tau_n(mu)),
//   S2(mu) = sum_n w_n (a_n tau_n(mu) + b_n pi_n(mu)),  w_n = (2n+1)/(n(n+1)),
// with the angular functions pi_n, tau_n from their upward recurrences
// (Bohren & Huffman 1983, eqs. 4.74, 4.47). The recurrences are either run per
// cosine, or tabulated once in an AngularTable shared by many spheres at the
// same cosines; both give the same bits. The routines themselves are methods
// of coefficients::Coefficients.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok::mie::amplitudes {

/// w_n pi_n(mu_j) and w_n tau_n(mu_j) for n = 1..n_orders at a set of cosines,
/// order-major: entry (n-1) n_mu + j.
struct AngularTable {
  std::vector<double> mu;
  std::vector<double> pi;
  std::vector<double> tau;
  std::size_t n_orders = 0;

  /// Checks the cosines (finite, in [-1, 1]) and n_orders (1..1048576), then
  /// tabulates. A table too large to allocate is an InvalidInput error.
  static Result<AngularTable> create(std::span<const double> mu, std::size_t n_orders);
};

/// The angular functions of one cosine, advanced order by order: the one
/// place the products w_n pi_n and w_n tau_n are formed, so that every
/// amplitude sum over them (tables, recurrences, the ensemble's node sums)
/// sees the same bits.
struct Angular {
  double mu;
  double pi_prev = 0.0;
  double pi = 1.0;

  /// (w_n pi_n, w_n tau_n) at order n, then advance to order n + 1; n must
  /// follow the previous call's order, starting at 1.
  std::pair<double, double> next(std::size_t n) {
    const auto nf = static_cast<double>(n);
    const auto n1 = static_cast<double>(n + 1);
    const auto two_n1 = static_cast<double>(2 * n + 1);
    const double w = two_n1 / static_cast<double>(n * (n + 1));
    const double p = w * pi;
    const double t = w * ((nf * mu) * pi - n1 * pi_prev);
    const double pi_next = ((two_n1 * mu) * pi - n1 * pi_prev) / nf;
    pi_prev = pi;
    pi = pi_next;
    return {p, t};
  }
};

/// The two output buffers of S1 and S2 (or of one pair of their derivatives),
/// one value per cosine.
struct AmplitudeBuffers {
  std::span<Complex<double>> s1;
  std::span<Complex<double>> s2;
};

/// The refusal of a cosine outside [-1, 1] (or not finite) that every angular
/// routine of the sphere solvers shares; the first bad cosine, or nothing.
Result<void> check_cosines(std::span<const double> mu);

}  // namespace vantok::mie::amplitudes
