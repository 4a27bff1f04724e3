#pragma once
// The projection of the second pass's per-node phase-matrix tables onto the
// Greek coefficients of every output distribution, with errors and
// derivatives. Per band, the tables of all distributions and all derivative
// columns are stacked as the rows of one matrix per phase element, so that
// each coefficient series is one dense product with the band's projection
// matrices:
//   alpha1 = F11 d00,  alpha4 = F33 d00,  beta1 = F12 d02,  beta2 = F34 d02,
//   alpha2 +- alpha3 = (F11 +- F33) d2,+-2.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "ensemble/detail_bands.hpp"
#include "ensemble/detail_lin.hpp"
#include "ensemble/detail_matrix.hpp"

namespace vantok::ensemble::engine {

/// The second pass's sums of one output distribution: a value column and P
/// derivative columns over the quantity vector, each with its error column.
struct DistributionSums {
  std::vector<double> values;
  std::vector<double> errors;
  /// One column per requested parameter, each as long as `values`.
  std::vector<std::vector<double>> d;
  std::vector<std::vector<double>> d_errors;
};

/// The Greek series of one distribution: alpha1, alpha2, alpha3, alpha4,
/// beta1, beta2, each indexed by the order l.
using GreekSet = std::array<std::vector<lin::Lin>, 6>;

/// The projection matrices of a band, n x (L_b + 1) each: at node j and order
/// l, (2l+1)/2 w_j d^l_mn(mu_j) for (m, n) = (0, 0), (2, 2), (2, -2), (0, 2),
/// the Wigner values those of wigner_d. `project` forms its products with them
/// as matmul would, mostly without storing them.
std::array<matrix::Mat, 4> projection_matrices(const Band& band);

/// One GreekSet per distribution, in order, each series of L_eff + 1 entries,
/// L_eff the largest band order (0 without bands). Each band adds to the
/// orders 0 .. min(2K, L) of its own matrices, bands in the order given. The
/// number P of derivatives is that of the first distribution; columns shorter
/// than a band's tables are an internal failure.
std::vector<GreekSet> project(std::span<const Band> bands, std::size_t order_limit,
                              std::span<const DistributionSums> sums);

}  // namespace vantok::ensemble::engine
