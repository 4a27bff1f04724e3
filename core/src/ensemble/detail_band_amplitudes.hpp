#pragma once
// Fast phase products: the amplitudes of all 15 size nodes of a panel, and of
// their parameter derivatives, at every cosine of a Greek band, from two dense
// products. With the band's half tables E (functions even in mu) and O (odd),
// and per node the coefficient columns C_e (paired with the even functions) and
// C_o (with the odd ones),
//   S1(+-mu) = E C_e +- O C_o,   S2(+-mu) = E C_o +- O C_e,
// since S1 = sum c_k (a_k pi_k + b_k tau_k) and S2 = sum c_k (b_k pi_k + a_k tau_k)
// and pi_k, tau_k have opposite parities that alternate with k. The products
// E [C] and O [C] over all columns of a panel are computed once; the phase
// matrix at +mu and -mu is then read from them.

#include <cstddef>
#include <span>

#include "ensemble/detail_bands.hpp"
#include "ensemble/detail_matrix.hpp"
#include "vantok/complex.hpp"

namespace vantok::ensemble::fast {

/// Size nodes per panel.
inline constexpr std::size_t PANEL_NODES = 15;

/// The products of one panel with a band of key K, kept in a worker's scratch.
/// Per node j the coefficient columns come in blocks of four, B per node:
/// block 0 the values, then one block per complex parameter (d/dm of each
/// layer), then one per real parameter (x d/dx_f of each radius fraction). In
/// the row of term k a block holds (Re, Im) of the coefficient paired with the
/// even function and (Re, Im) of the one paired with the odd function: (a_k,
/// b_k) for odd k, (b_k, a_k) for even k.
struct PanelProducts {
  /// K x 15 B.
  matrix::Mat coefficients;
  /// H x 15 B: band.even * coefficients and band.odd * coefficients.
  matrix::Mat even_products;
  matrix::Mat odd_products;
  /// S_c and S_r.
  std::size_t complex_blocks = 0;
  std::size_t real_blocks = 0;
  /// The rows the products read: min(n_panel, K).
  std::size_t terms = 0;

  /// B = 4 + 4 (S_c + S_r).
  std::size_t block_columns() const noexcept { return 4 + 4 * (complex_blocks + real_blocks); }

  /// Sizes the buffers for a panel of the band with S_c complex and S_r real
  /// blocks (0 and 0 without particle derivatives), whose products will run
  /// over the first min(n_panel, K) terms. Storage is kept while the shapes
  /// stay the same.
  void prepare(const engine::Band& band, std::size_t complex, std::size_t real,
               std::size_t n_panel = static_cast<std::size_t>(-1));

  /// Writes block `block` of node j: for the terms k = 1 .. min(n_panel, K)
  /// (the rows the products read), the pairs of factor a_k and factor b_k
  /// (factor times each part), zero beyond the N terms given. N above that is
  /// an internal failure.
  void set_block(std::size_t node, std::size_t block, std::span<const Complex<double>> a,
                 std::span<const Complex<double>> b, double factor = 1.0);

  /// The two products over the first min(n_panel, K) terms, n_panel being the
  /// panel's largest term count.
  void multiply(const engine::Band& band, std::size_t n_panel);

  /// The phase matrix of node j at half-table row i with sign s (+1: the
  /// cosine mu_i, -1: -mu_i), written at index u of the band block (F11, F12,
  /// F33, F34 at u, n + u, 2n + u, 3n + u), times the weight factor omega:
  ///   F11 = omega (|S1|^2 + |S2|^2)/2,  F12 = omega (|S2|^2 - |S1|^2)/2,
  ///   F33 = omega Re(S1 conj S2),       F34 = omega Im(conj S1 S2).
  /// Slot 2c and 2c + 1 get the derivatives with respect to Re m_c and Im m_c
  /// of complex block c, slot 2 S_c + f the derivative of real block f. Fewer
  /// than 2 S_c + S_r slots is an internal failure.
  void phase(std::size_t node, std::size_t row, double sign, std::size_t u, std::size_t n,
             double omega, std::span<double> block, std::span<const std::span<double>> slots) const;

  /// Every cosine of the band for node j: row i gives the node floor(n/2) + i
  /// with s = +1 and, unless it is the node mu = 0 of an odd n, its mirror
  /// n - 1 - (floor(n/2) + i) with s = -1. `block` and each slot are the band's
  /// 4 n entries of the node's quantity vectors.
  void node_phase(const engine::Band& band, std::size_t node, double omega, std::span<double> block,
                  std::span<const std::span<double>> slots) const;
};

}  // namespace vantok::ensemble::fast
