#pragma once
// The second pass's quantities at one size node: the particle solved (or its
// first-pass solution taken), then the cross sections, r², r³ and the phase
// matrix at the requested cosines and at a Greek band's cosines, with their
// derivatives with respect to the particle parameters and to the radius; or,
// with the fast products, the node's coefficient columns for them.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "ensemble/detail_band_amplitudes.hpp"
#include "ensemble/detail_bands.hpp"
#include "ensemble/detail_layouts.hpp"
#include "ensemble/detail_optics.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine {

/// Buffers of one worker's node evaluations, reused from node to node.
struct NodeScratch {
  particle::Solver solver;
  /// The amplitude sums of a set of cosines: S1, S2, then per layer dS1/dx,
  /// dS2/dx, dS1/dm, dS2/dm.
  std::vector<Complex<double>> amplitudes;
  /// The phase-matrix derivatives of every layer at those cosines.
  std::vector<double> phase;
  /// Per layer: the efficiency Jacobian.
  std::vector<std::array<double, 15>> jacobians;
};

/// Node j of a panel whose fast products are in use.
struct ProductsAt {
  fast::PanelProducts* products = nullptr;
  std::size_t node = 0;
};

/// Evaluates one size node of radius r: fills the base range of q (and, when
/// no products are given and the layout has bands, the block of the band of
/// key band_key(max(n_min, N))), writes the node's coefficient columns of the
/// products when given, and on request the derivatives of the same entries
/// with respect to every particle-parameter slot (per layer Re m, Im m, core
/// first, then the radius fractions) and with respect to r. Phase entries are
/// π r² times the unnormalised phase matrix. Empty `slots` or `radius_slot`
/// means not requested. Returns the node's term count N; errors carry the
/// wavelength and radius. A `given` solution (of this node, with derivatives
/// when slots are requested) stands for the solve and its efficiencies.
Result<std::size_t> quantities2(NodeScratch& scratch, const particle::Optics& optics,
                                const mie::SolveOptions& options, const Layout& layout, std::span<double> q,
                                std::span<const std::span<double>> slots, std::span<double> radius_slot,
                                std::size_t n_min, ProductsAt products, double r, double wavelength,
                                const particle::NodeSolution* given = nullptr);

}  // namespace vantok::ensemble::engine
