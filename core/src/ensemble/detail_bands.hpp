#pragma once
// Greek bands: the Gauss-Legendre cosines at which the second pass tabulates
// the phase matrix of every size node, grouped by term count. Term counts are
// rounded up to a few keys (factors of 1.25); the band of key K serves every
// node with at most K terms and carries
//  - the rule of n = K + floor(L_b/2) + 1 nodes, which integrates the products
//    of a K-term phase matrix with the Wigner functions up to order L_b
//    = min(2K, L) exactly;
//  - the angular functions at the nodes mu >= 0, split by parity in mu, from
//    which the amplitudes at +mu and -mu follow by two dense products
//    (detail_band_amplitudes.hpp);
// The projection onto the Greek coefficients (detail_projection.hpp) generates the
// Wigner functions of a band at its nodes where it needs them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_layouts.hpp"
#include "ensemble/detail_matrix.hpp"
#include "ensemble/detail_optics.hpp"
#include "ensemble/detail_parts.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/error.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine {

/// The band key of a term count: k = 1, then k = ceil(1.25 k) while k < N.
/// Keys 1, 2, 3, 4, 5, 7, 9, 12, 15, 19, 24, ...; N <= 1 gives 1.
std::size_t band_key(std::size_t n_terms);

/// The largest term count of the particle at the 15 Kronrod nodes of the panel
/// [t_lo, t_hi] (r = e^t, x = (r·2π)/λ), nodes in ascending t; the first
/// failing node ends the call with its error under `context`.
Result<std::size_t> panel_terms(const particle::Optics& optics, const mie::SolveOptions& options,
                                double t_lo, double t_hi, double wavelength);

/// The band keys of one wavelength, ascending and distinct: for each group in
/// order, the key of a Point group's term count, else the key of panel_terms
/// of every panel of its first-pass record (the group's first part's particle
/// at wavelength `index`). The first error ends the call.
Result<std::vector<std::size_t>> band_keys(std::span<const Part> parts,
                                           std::span<const std::vector<std::size_t>> groups,
                                           std::span<const Pass1> records, double wavelength,
                                           std::size_t index, const EnsembleOptions& options);

/// The Greek order limit L of a run: 2 n_max (n_max the largest term count of
/// the first pass) when all orders are requested, the requested order, or 0
/// when no Greek coefficients are requested.
std::size_t greek_order_limit(const GreekSelection& greek, std::size_t n_max);

/// One band of key K.
struct Band {
  /// The n Gauss-Legendre nodes, ascending, and their weights.
  std::vector<double> nodes;
  std::vector<double> weights;
  /// L_b = min(2K, L).
  std::size_t order = 0;
  /// H x K, H = ceil(n/2): row i is the node floor(n/2) + i (mu >= 0), column
  /// k-1 the term k. With c_k = (2k+1)/(k(k+1)), `even` holds c_k pi_k (odd k)
  /// and c_k tau_k (even k), the functions even in mu; `odd` the others.
  matrix::Mat even;
  matrix::Mat odd;
  /// n.
  std::size_t n_nodes = 0;
  /// K.
  std::size_t key = 0;
  /// The band's first entry in a node's quantity vector.
  std::size_t offset = 0;

  /// H, the rows of the half tables.
  std::size_t half() const noexcept { return n_nodes - n_nodes / 2; }
  /// The band's block of a node's quantity vector: F11, F12, F33, F34 at its
  /// n nodes.
  PhaseBlock phase() const noexcept { return {offset, n_nodes}; }
};

/// The bands of one wavelength, shared read-only by the whole second pass.
struct Layout {
  /// In ascending key order.
  std::vector<Band> bands;
  /// The requested cosines.
  std::span<const double> mu;
  /// The base range (base_quantities) and every band's block.
  std::size_t n_quantities = 0;

  /// The band of a key, or null.
  const Band* band(std::size_t key) const noexcept;
};

/// The limits of the bands of the given keys (strictly ascending) for the
/// order limit L, checked in key order: "the Greek order must be at most
/// 2097152, got {}", then the errors of the Gauss-Legendre rule (a band of
/// more than 131072 nodes). Returns the doubles all the bands hold
/// (band_storage summed, saturating).
Result<std::size_t> layout_storage(std::span<const std::size_t> keys, std::size_t order_limit);

/// The bands of the given keys (strictly ascending) for the order limit L,
/// their offsets starting after the base range 8 + 4 n_mu. Fails as
/// layout_storage does, checking every band before building any. Bands whose
/// storage would exceed the work budget are refused with memory::Refused
/// ("cannot allocate {} values for the angular tables of the Greek
/// quadrature: ...") before allocating. No keys give no band.
Result<Layout> layout(std::span<const std::size_t> keys, std::size_t order_limit,
                      std::span<const double> mu);

/// The nodes n = K + floor(L_b/2) + 1 of the band of key K under the order
/// limit L (L_b = min(2K, L)), saturating.
std::size_t band_nodes(std::size_t key, std::size_t order_limit);

/// The doubles a band of key K and order limit L holds (nodes, weights and
/// the two half tables), saturating.
std::size_t band_storage(std::size_t key, std::size_t order_limit);

/// "no projector band for {} terms": the keys come from the same term counts,
/// so this does not happen in a consistent run.
inline Error no_band(std::size_t terms) {
  return Error::invalid_input("no projector band for " + fmt::plain(static_cast<std::uint64_t>(terms)) + " terms");
}

}  // namespace vantok::ensemble::engine

