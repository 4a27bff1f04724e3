#pragma once
// The homogeneous-sphere kernel, which is also the last stage of the layered
// one. prepare fills the Riccati-Bessel ratio buffers; finish forms the Mie
// coefficients a_n, b_n, optionally their analytic derivatives with respect to
// x and m, and the absorption sum from the fields at the surface.
//
// Between the two calls the layered kernel may supply, per order, a correction
// or a replacement of the log-derivative D_n(m x) of the outer layer (the layer
// table) and, with derivatives, the chain-rule parts of its recursion (the
// chain table).
//
// Inputs are not checked here: check_inputs runs first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok::mie::kernel {

/// Per-order, per-side result of the layered recursion for the effective
/// log-derivative H of the outer layer: Shift(c) means H = D_n(m x) + c,
/// Replace(h) means H = h.
struct SideTerm {
  enum class Kind : std::uint8_t { Shift, Replace };
  Kind kind;
  Complex<double> v;

  static SideTerm shift(Complex<double> c) { return {Kind::Shift, c}; }
  static SideTerm replace(Complex<double> h) { return {Kind::Replace, h}; }
};

/// Layer-table record of one order: (term for a, term for b); absent means
/// H^a = H^b = D_n(m x).
using LayerRecord = std::optional<std::pair<SideTerm, SideTerm>>;

/// Chain-table record of one order: (phi^a, phi^b, omega^a, omega^b, dH^a/dm,
/// dH^b/dm) of the outer layer, from the layered derivative recursion.
using ChainRecord = std::array<Complex<double>, 6>;

/// Per-order values a layered solve with derivatives needs after finish:
/// X_n, Y_n, X_n xi_n(x), Y_n xi_n(x), E^a_n, E^b_n.
using LayerCacheEntry = std::array<Complex<double>, 6>;

/// Cut order k: orders n <= k take psi_n, xi_n by upward recurrence (stable
/// while n <= x), the others through ratios. k = min(N, floor(x)) for x >= 1,
/// else 0.
std::size_t cut_order(std::size_t n_terms, double x);

/// The reusable per-sphere work and result record. Vectors are cleared and
/// refilled by each call, keeping their capacity, so repeated solves of
/// similar size allocate nothing.
struct State {
  /// a_n at entry n-1.
  std::vector<Complex<double>> a;
  /// b_n at entry n-1.
  std::vector<Complex<double>> b;
  /// da_n/dx; empty without derivatives.
  std::vector<Complex<double>> da_dx;
  /// The complex derivative da_n/dm; empty without derivatives.
  std::vector<Complex<double>> da_dm;
  std::vector<Complex<double>> db_dx;
  std::vector<Complex<double>> db_dm;
  /// r_n(m x) at index n, N + 2 entries.
  std::vector<Complex<double>> ratio_mx;
  /// r_n(x) at index n for the orders the ratio regime needs (k+1 .. N+1),
  /// 0 elsewhere; N + 2 entries.
  std::vector<double> ratio_x;
  /// Real recurrence on Re m x, used when Im m == 0 and copied into ratio_mx.
  std::vector<double> ratio_mx_real;
  /// Filled by a layered solve with derivatives only.
  std::vector<LayerCacheEntry> layer_cache;
  double x = 0.0;
  double m_re = 0.0;
  double m_im = 0.0;
  /// S_abs = sum (2n+1) (-Im(E^a_n) |X_n|^2 - Im(E^b_n) |Y_n|^2); Q_abs = 2 S_abs / x^2.
  double absorption = 0.0;
  double dabs_dx = 0.0;
  double dabs_dre = 0.0;
  double dabs_dim = 0.0;
  bool derivatives = false;

  /// Fills ratio_mx and ratio_x (and ratio_mx_real for real m) for N terms.
  void prepare(std::size_t n_terms, double x, Complex<double> m);

  /// Forms a_n, b_n (n = 1 .. N), the absorption sum and, with derivatives,
  /// their derivatives. Must follow prepare with the same N, x and m. A layer
  /// table (entry n-1 for order n) modifies the outer log-derivatives; with
  /// derivatives a layer table needs its chain table. Tables shorter than N are
  /// a caller fault (InternalFailure).
  void finish(std::size_t n_terms, bool derivatives,
              std::optional<std::span<const LayerRecord>> layers,
              std::optional<std::span<const ChainRecord>> chain, double x, Complex<double> m);

  /// View of the coefficients; valid until the next prepare/finish.
  coefficients::Coefficients coefficients() const { return {a, b, x, absorption}; }

  /// View of the derivatives (empty spans without derivatives), outer = true;
  /// valid until the next prepare/finish.
  coefficients::CoefficientDerivatives coefficient_derivatives() const {
    return {da_dx, da_dm, db_dx, db_dm, dabs_dx, dabs_dre, dabs_dim, true};
  }
};

}  // namespace vantok::mie::kernel
