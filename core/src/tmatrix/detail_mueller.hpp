#pragma once
// The change from the circular (helicity) basis of the averaged amplitude
// products to the linear basis of the phase matrix (mueller.cpp).

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::random {

/// The six elements F11, F12, F22, F33, F34, F44 of the averaged phase matrix,
/// one value per cosine each, from the 16 products per cosine: X(q, u) at
/// q Q + u, q = 8a + 4b + 2c + d the average of S_ab conj(S_cd) at cosine u.
template <class T>
std::array<std::vector<T>, 6> mueller(std::span<const Complex<T>> x, std::size_t q);

extern template std::array<std::vector<double>, 6> mueller<double>(std::span<const Complex<double>>, std::size_t);
extern template std::array<std::vector<scalar::DualF64>, 6> mueller<scalar::DualF64>(
    std::span<const Complex<scalar::DualF64>>, std::size_t);

}  // namespace vantok::tmatrix::random
