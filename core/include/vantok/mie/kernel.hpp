#pragma once
// The homogeneous-sphere kernel, which is also the last stage of the layered
// one. prepare fills the Riccati-Bessel ratio buffers; finish forms the Mie
// coefficients a_n, b_n, optionally their analytic derivatives with respect to
// x and m, and the absorption sum from the fields at the surface.
//
// A sphere whose interior is not homogeneous enters finish through a Surface:
// per order, the log-derivatives H^a_n, H^b_n of the field just inside the
// surface, stated relative to the homogeneous sphere's D_n(m x), and with
// derivatives their slopes. finish then keeps per order the surface values
// from which the derivatives with respect to any parameter of the interior
// follow (through_surface). The layered kernel fills the Surface from its
// recursion over the inner layers.
//
// Inputs are not checked here: check_inputs runs first. One State serves any
// number of solves in turn: its vectors are cleared and refilled, keeping
// their capacity, so that repeated solves of similar size allocate nothing.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok::mie::kernel {

/// A log-derivative H of the field just inside a surface of argument z,
/// stated relative to D_n(z): Shift(c) means H = D_n(z) + c, which keeps the
/// digits of H when it lies close to D_n(z); Replace(h) means H = h.
struct SurfaceTerm {
  enum class Kind : std::uint8_t { Shift, Replace };
  Kind kind;
  Complex<double> v;

  static SurfaceTerm shift(Complex<double> c) { return {Kind::Shift, c}; }
  static SurfaceTerm replace(Complex<double> h) { return {Kind::Replace, h}; }
};

/// One order of a surface: H^a (for a_n) and H^b (for b_n).
struct SurfaceOrder {
  SurfaceTerm a;
  SurfaceTerm b;
};

/// The slopes of one order's surface log-derivatives, for derivatives, with
/// F(z; y) = n(n+1)/z^2 - 1 - y^2 at the surface argument z = m x.
struct SurfaceSlopes {
  /// F(z; H^a), F(z; H^b): dH/dz with the interior held fixed.
  Complex<double> phi_a;
  Complex<double> phi_b;
  /// H^a + z F(z; H^a), H^b + z F(z; H^b).
  Complex<double> omega_a;
  Complex<double> omega_b;
  /// dH^a/dm, dH^b/dm through the interior alone (m enters the interior's
  /// outer boundary as well as z).
  Complex<double> dm_a;
  Complex<double> dm_b;
};

/// The interior of a sphere that is not homogeneous, as finish reads it:
/// entry n-1 for order n, at least N entries; slopes only with derivatives.
struct Surface {
  std::span<const SurfaceOrder> orders;
  std::span<const SurfaceSlopes> slopes;
};

/// Per-order values of a finish with a surface and derivatives, from which
/// the derivatives with respect to a parameter of the interior follow:
/// X_n = 1/(T^a_n xi_n - xi_{n-1}), Y_n likewise, X_n xi_n(x), Y_n xi_n(x),
/// E^a_n = H^a_n/m and E^b_n = m H^b_n.
struct SurfaceValues {
  Complex<double> big_x;
  Complex<double> big_y;
  Complex<double> x_xi;
  Complex<double> y_xi;
  Complex<double> e_a;
  Complex<double> e_b;
};

/// Derivatives of the coefficients and of the absorption sum with respect to
/// one size parameter and one refractive index (complex derivatives d/dm),
/// for a parameter pair other than the sphere's own (x, m). The vectors keep
/// their capacity between solves.
struct DerivativeRecord {
  std::vector<Complex<double>> da_dx;
  std::vector<Complex<double>> da_dm;
  std::vector<Complex<double>> db_dx;
  std::vector<Complex<double>> db_dm;
  double dabs_dx = 0.0;
  double dabs_dre = 0.0;
  double dabs_dim = 0.0;

  /// Empties the vectors (keeping their capacity) and zeroes the sums.
  void clear() {
    da_dx.clear();
    da_dm.clear();
    db_dx.clear();
    db_dm.clear();
    dabs_dx = 0.0;
    dabs_dre = 0.0;
    dabs_dim = 0.0;
  }

  /// The view with the given outer flag; valid until the record changes.
  coefficients::CoefficientDerivatives view(bool outer) const {
    return {da_dx, da_dm, db_dx, db_dm, dabs_dx, dabs_dre, dabs_dim, outer};
  }
};

/// Cut order k: orders n <= k take psi_n, xi_n by upward recurrence (stable
/// while n <= x), the others through ratios. k = min(N, floor(x)) for x >= 1,
/// else 0.
std::size_t cut_order(std::size_t n_terms, double x);

/// The reusable per-sphere work and result record.
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
  /// Filled by a finish with a surface and derivatives only (entry n-1).
  std::vector<SurfaceValues> surface_values;
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

  /// Forms a_n, b_n (n = 1 .. N) of a homogeneous sphere, the absorption sum
  /// and, with derivatives, their derivatives. Must follow prepare with the
  /// same N, x and m.
  void finish(std::size_t n_terms, bool derivatives, double x, Complex<double> m);

  /// The same for a sphere whose interior the surface describes; with
  /// derivatives also fills surface_values. A surface shorter than N (or
  /// without slopes, with derivatives) is a caller fault (InternalFailure).
  void finish(std::size_t n_terms, bool derivatives, double x, Complex<double> m, const Surface& surface);

  /// The derivatives with respect to a parameter pair (p_x, p_m) of the
  /// interior, which reach the coefficients only through the surface, from
  /// dH^a_n/dp_x, dH^a_n/dp_m, dH^b_n/dp_x and dH^b_n/dp_m (entry n-1, N
  /// entries each). Must follow a finish with a surface and derivatives.
  void through_surface(std::span<const Complex<double>> dha_dx, std::span<const Complex<double>> dha_dm,
                       std::span<const Complex<double>> dhb_dx, std::span<const Complex<double>> dhb_dm,
                       DerivativeRecord& out) const;

  /// The number of terms of the last finish.
  std::size_t n_terms() const { return a.size(); }

  /// View of the coefficients; valid until the next prepare/finish.
  coefficients::Coefficients coefficients() const { return {a, b, x, absorption}; }

  /// View of the derivatives (empty spans without derivatives), outer = true;
  /// valid until the next prepare/finish.
  coefficients::CoefficientDerivatives coefficient_derivatives() const {
    return {da_dx, da_dm, db_dx, db_dm, dabs_dx, dabs_dre, dabs_dim, true};
  }
};

}  // namespace vantok::mie::kernel
