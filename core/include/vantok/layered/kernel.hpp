#pragma once
// The layered-sphere kernel: the effective log-derivatives H^a_n, H^b_n of a
// sphere of L >= 2 concentric layers carried from the core outward, one
// interface and one order at a time, handed to the outer layer's finish as its
// surface (mie::kernel::Surface). With derivatives the recursion is
// differentiated analytically with respect to every layer's x_l and m_l.
//
// The recursion is the one of Yang (2003, Appl. Opt. 42, 1710) for the ratio
// Q_n of Riccati-Bessel products across each layer, with the second solution
// chosen per layer (chi for weakly absorbing layers, xi otherwise) so that no
// running product overflows, and every interface step returning either a
// correction to D_n(m x) or the log-derivative itself, whichever loses fewer
// digits.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok::layered::kernel {

using mie::kernel::DerivativeRecord;
using mie::kernel::SurfaceTerm;

/// Running Riccati-Bessel data of one layer argument z, with S the layer's
/// second solution (chi, or xi when the layer absorbs strongly).
struct Arg {
  Complex<double> z{};
  Complex<double> inv_z{};
  /// psi_n(z) S_n(z)
  Complex<double> p{};
  /// S_{n+1}(z) / S_n(z)
  Complex<double> t{};
  /// S_n(z) / S_{n-1}(z)
  Complex<double> t_prev{};

  Arg() = default;
  /// The order-0 values: P = psi_0 S_0, T = S_1/S_0, T_prev = 0.
  Arg(bool weak, Complex<double> z);

  /// Advances to order n (w = 2n + 1, r_n = r_n(z)): T_prev = S_n/S_{n-1},
  /// P = psi_n S_n, T = S_{n+1}/S_n by the upward recurrence of S in ratio
  /// form. Returns 1/T_prev, which the interface ratio needs as well.
  Complex<double> advance(double w, const Complex<double>& r_n);
};

/// Derivative parts of one interface step for one side.
struct SideDerivatives {
  /// The step's H.
  Complex<double> h;
  /// dH_l/dW_l, W_l the log-derivative at the inner surface of layer l.
  Complex<double> tau;
  /// s W - z1 F(z1; W), F(z; y) = n(n+1)/z^2 - 1 - y^2.
  Complex<double> nu;
  /// F(z2; H)
  Complex<double> phi;
  /// H + z2 F(z2; H)
  Complex<double> omega;
};

/// Per-order data of one interface, as side() reads it. z1 = m_l x_{l-1},
/// z2 = m_l x_l.
struct SideData {
  /// r_{n+1}(m_{l-1} x_{l-1})
  Complex<double> r_prev;
  /// r_{n+1}(z1)
  Complex<double> r_z1;
  /// D1_n(z1) = (n+1)/z1 - r_{n+1}(z1)
  Complex<double> d1_z1;
  /// D2_n(z1) = (n+1)/z1 - T(z1)
  Complex<double> d2_z1;
  /// D1_n(z2)
  Complex<double> d1_z2;
  /// D2_n(z2)
  Complex<double> d2_z2;
  /// P_n(z2)
  Complex<double> p_s;
  /// 1/P_n(z2), shared by the two sides.
  Complex<double> inv_p_s;
  /// Qs_n = psi_n(z1) S_n(z2)^2 / S_n(z1)
  Complex<double> q_s;
  /// S = chi (Wronskian constant K = -1) rather than xi (K = i).
  bool weak;
  std::size_t n;
  /// r_{n+1}(z2)
  Complex<double> r_z2;
  /// S_n(z2) / S_n(z1); 0 without derivatives.
  Complex<double> sigma;
  const Arg* arg_z1;
  const Arg* arg_z2;
  bool derivatives;
};

struct SideResult {
  SurfaceTerm term;
  Complex<double> h;
  std::optional<SideDerivatives> d;
};

/// One interface step for one side (a_side true: flag 1, the a coefficients).
/// prev_term and prev_h are the previous step's result for this side (the core
/// enters as Shift(0) with H = D1_n(m_0 x_0)); a: mu1 = m_l, mu2 = m_{l-1},
/// extra = c_l (n+1)/x_{l-1}; b: mu1 = m_{l-1}, mu2 = m_l, extra = 0.
SideResult side(const SurfaceTerm& prev_term, Complex<double> prev_h, const SideData& data,
                bool a_side, Complex<double> mu1, Complex<double> mu2, Complex<double> extra);

/// The working set of the layered recursion; buffers keep their capacity
/// between solves. Nothing is allocated before the first solve.
class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(Kernel&&) noexcept;
  Kernel& operator=(Kernel&&) noexcept;

  /// Solves a sphere of L = xs.size() >= 2 layers with N terms into the outer
  /// layer's State and, with derivatives, the L-1 inner-layer records. The
  /// inputs must have passed check_inputs.
  void solve(mie::kernel::State& outer, std::span<const double> xs, std::span<const Complex<double>> ms,
             std::size_t n_terms, bool derivatives);

  /// Derivative records (outer = false) of the inner layers 0 .. L-2 of the
  /// last solve with derivatives.
  std::span<const DerivativeRecord> records() const;

  /// Releases the inner-layer records (a one-layer solve has none).
  void clear_records();

 private:
  // The recursion's buffers (the kernel over one lane, see kernel.cpp).
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace vantok::layered::kernel
