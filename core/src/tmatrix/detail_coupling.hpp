#pragma once
// The Clebsch-Gordan coupling of the orientation average (coupling.cpp): the
// helicity tables of every mode coupled over the azimuthal order m into the
// tables B_t(n, n', L); and the small rules the coupling and the collapse of
// the average share (constants as T, the zero test of an entry, parity signs,
// the coefficient lists of mirrored arguments).

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tmatrix/detail_raw_array.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::random {

using std::int64_t;
using std::size_t;

template <class T>
T cst(double v) {
  return scalar::constant<T>(v);
}

/// Zero in the leading parts of the values of both parts (NaN is not zero).
/// The partials of a dual entry are not examined: an entry of value 0 is
/// skipped whole.
template <class T>
bool negligible(const Complex<T>& z) {
  return scalar::ScalarTraits<T>::is_zero(z.re) && scalar::ScalarTraits<T>::is_zero(z.im);
}

/// (-1)^v for a possibly negative v.
inline double parity_sign(int64_t v) { return (v & 1) != 0 ? -1.0 : 1.0; }

/// Clebsch-Gordan coefficients (f64 values) as T: with zero partials for a
/// dual (the dual recurrence runs on constants and gives exactly these
/// values).
template <class T>
void as_scalar(const std::vector<double>& f64, std::vector<T>& out) {
  out.clear();
  for (const double c : f64) out.push_back(cst<T>(c));
}

/// <l1 -m1 l2 -m2 | L -M> = (-1)^(l1 + l2 - L) <l1 m1 l2 m2 | L M>: the list
/// of the mirrored arguments from that of (m1, m2), L = l_min, l_min + 1, ...
/// (l_sum = l1 + l2). The recurrence gives exactly these values: its
/// coefficients b_L change sign with (m1, m2) and its values alternate.
/// The entries whose L = l_min + i has l_sum - L odd are every other one,
/// from i = 1 when l_sum - l_min is even, else from i = 0.
inline void mirror_signs(std::vector<double>& list, int64_t l_sum, int64_t l_min) {
  for (auto i = static_cast<size_t>((l_sum - l_min + 1) & 1); i < list.size(); i += 2) list[i] = -list[i];
}

/// The coupled tables B_t(n, n'), each a vector over L = |n - n'| .. n + n'
/// at consecutive positions, n-major.
template <class T>
struct Coupled {
  size_t n_max = 0;
  std::vector<size_t> offset;  // (N + 1)^2 + 1 entries
  std::array<RawArray<Complex<T>>, 4> b;  // each pair's entries set by its task

  size_t pair(size_t n, size_t n2) const { return n * (n_max + 1) + n2; }
  const Complex<T>* at(size_t t, size_t n, size_t n2) const { return b[t].data() + offset[pair(n, n2)]; }
};

/// The coupled tables of the modes, parallel over the order n:
///   B_t(n, n')[L - |n - n'|] = sum over m ascending of
///     (-1)^(n' - m) <n m n' -m | L 0> H_t(m, n, n').
template <class T>
Coupled<T> coupled_tables(const TMatrixModes<T>& modes);

extern template Coupled<double> coupled_tables<double>(const TMatrixModes<double>&);
extern template Coupled<scalar::DualF64> coupled_tables<scalar::DualF64>(const TMatrixModes<scalar::DualF64>&);

}  // namespace vantok::tmatrix::random
