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
