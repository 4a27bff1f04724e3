#pragma once
// Per-node functions of the spheroid EBCM integrands, generic over the scalar
// (double, DoubleDouble, Dual<double, 4>, Dual<DoubleDouble, 4>):
// - Scales: per-order scale factors, the moduli of ratios of outgoing
//   spherical Hankel functions h_k(x)/h_{k-1}(x) and the capped small-argument
//   ratios |z|/(2k+1) of regular spherical Bessel functions;
// - Angular: the Wigner functions d^n_0m(t) with m d/sin t and d/dt d;
// - exps_scaled: exp(+-i z) exp(-s), free of overflow for s >= |Im z|.

#include <cstddef>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::functions {

/// The scale factors of the orders 0..n+1 of one spheroid.
template <class T>
struct Scales {
  /// a_0 = 1/x, a_k = |h_k(x)/h_{k-1}(x)| (k >= 1), so a_0 ... a_k = |h_k(x)|.
  std::vector<T> outgoing;
  /// b_0 = 1/|z|, b_k = min(|z|/(2k+1), 1) (k >= 1).
  std::vector<T> regular;
  /// |Im z|, the shift that keeps exps_scaled from overflowing.
  T im_abs{};

  Scales() = default;
  /// Scales of the orders 0..n+1 for the smaller semi-axis x and z = m r_max
  /// (both in units of 1/k). No failure: x = 0 or z = 0 give non-finite
  /// entries.
  Scales(std::size_t n, const T& x, const Complex<T>& z);
};

/// Workspace of the angular functions of one order m at one polar angle t,
/// indexed by the degree n = 0..n_max; refilled in place by `compute`.
template <class T>
struct Angular {
  /// d^n_0m(t), without the Condon-Shortley phase.
  std::vector<T> d0m;
  /// m d^n_0m(t) / sin t
  std::vector<T> pi_mn;
  /// d/dt d^n_0m(t)
  std::vector<T> tau_mn;

  /// Refills the three vectors with n_max + 1 entries for the order m at
  /// cos t = cos_t, sin t = sin_t (the caller passes sin_t > 0). All zero when
  /// m > n_max.
  void compute(std::size_t m, std::size_t n_max, const T& cos_t, const T& sin_t);

 private:
  /// The factors of the recurrences that depend on m and n alone (the square
  /// roots of integers and the start product), kept for the next call with
  /// the same m and n_max: the kernels call compute node after node for one
  /// order.
  struct Factors {
    std::size_t m = static_cast<std::size_t>(-1);
    std::size_t n_max = 0;
    T start{};
    T first{};
    /// At n: sqrt(n^2 - m^2), sqrt((n+1)^2 - m^2), sqrt((m+n)(n-m)).
    std::vector<T> down, up, tau;
  };
  Factors factors_;
  const Factors& factors(std::size_t m, std::size_t n_max);
};

/// (E+, E-) = (exp(i z) exp(-s), exp(-i z) exp(-s))
///          = (exp(-Im z - s) (cos Re z, sin Re z), exp(Im z - s) (cos Re z, -sin Re z)).
/// Neither overflows when s >= |Im z| (not checked).
template <class T>
std::pair<Complex<T>, Complex<T>> exps_scaled(const Complex<T>& z, const T& s);

#define VANTOK_TMATRIX_FUNCTIONS(T)                                                      \
  extern template struct Scales<T>;                                                      \
  extern template struct Angular<T>;                                                     \
  extern template std::pair<Complex<T>, Complex<T>> exps_scaled<T>(const Complex<T>&, const T&);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_FUNCTIONS)
#undef VANTOK_TMATRIX_FUNCTIONS

}  // namespace vantok::tmatrix::functions
