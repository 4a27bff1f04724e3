// The solved T-matrix of a spheroid as its outputs read it: the cross
// sections of the randomly oriented particle from the T blocks (the optical
// theorem and the sum of |T_ij|^2), the plain blocks of a dual T-matrix and
// the largest element.

#include "vantok/tmatrix/state.hpp"

#include <cmath>
#include <vector>

#include "tmatrix/detail_truncation.hpp"
#include "vantok/constants.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix {

template <class T>
std::pair<T, T> TMatrixModes<T>::cross_sections() const {
  const T zero = scalar::constant<T>(0.0);
  if (modes.empty()) return {zero, zero};
  T ext = zero;
  T sca = zero;
  for (std::size_t m = 0; m < modes.size(); ++m) {
    const T w = scalar::constant<T>(m == 0 ? 1.0 : 2.0);
    for (std::size_t p = 0; p < 2; ++p) {
      const std::vector<Complex<T>>& t = modes[m].t[p];
      const std::size_t k = modes[m].rows[p].size();
      if (t.empty() || k == 0) continue;
      VANTOK_ASSERT(t.size() / k >= k);
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
          const Complex<T>& v = t[i * k + j];
          sca = sca + w * (v.re * v.re + v.im * v.im);
        }
        ext = ext - w * t[i * k + i].re;
      }
    }
  }
  const T two_pi = scalar::constant<T>(constants::TWO_PI);
  return {two_pi * ext, two_pi * sca};
}

TMatrixModes<double> value_modes(const TMatrixModes<scalar::DualF64>& modes) {
  TMatrixModes<double> out;
  out.n_terms = modes.n_terms;
  out.modes.reserve(modes.modes.size());
  for (const SolvedMode<scalar::DualF64>& mode : modes.modes) {
    SolvedMode<double> plain;
    for (std::size_t p = 0; p < 2; ++p) {
      plain.t[p].reserve(mode.t[p].size());
      for (const auto& z : mode.t[p]) plain.t[p].push_back({z.re.value, z.im.value});
    }
    plain.rows = mode.rows;
    out.modes.push_back(std::move(plain));
  }
  return out;
}

double largest_element(const SolvedMode<double>& mode) {
  double top = 0.0;
  for (const auto& block : mode.t) {
    for (const Complex<double>& v : block) top = run_max_modulus(top, v.re, v.im);
  }
  return top;
}

double largest_element(const TMatrixModes<double>& modes) {
  // The largest of the modes' own largest moduli: NaN is skipped and every
  // modulus is at least +0, so the split by mode gives the same value as one
  // pass over every element. The hypot calls, a few milliseconds for all the
  // modes of a large spheroid, are spread over the pool.
  std::vector<double> tops(modes.modes.size(), 0.0);
  pool::for_each_index(modes.modes.size(), [&](std::size_t m) { tops[m] = largest_element(modes.modes[m]); },
                       pool::Grain::One);
  double top = 0.0;
  for (const double t : tops) top = run_max(top, t);
  return top;
}

#define VANTOK_TMATRIX_STATE(T) template std::pair<T, T> TMatrixModes<T>::cross_sections() const;
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_STATE)
#undef VANTOK_TMATRIX_STATE

}  // namespace vantok::tmatrix
