#pragma once
// The helicity tables of one azimuthal mode, formed entry by entry from its
// parity blocks where the coupling needs them (never stored): the blocks read
// as the four kind tables T^{ab}(n, n'), and their combinations H_t(m', n, n')
// for the projections +m and -m.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tmatrix/detail_coupling.hpp"
#include "vantok/complex.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::random {

/// Where each row (kind, n) of a mode sits: its parity block and index, per
/// kind and order.
struct RowPlace {
  std::uint8_t block = 2;  // 2: absent
  size_t index = 0;
};

/// The blocks of one mode read as the four kind tables T^{ab}(n, n').
template <class T>
class KindTables {
 public:
  KindTables(const SolvedMode<T>& mode, size_t n_max) : mode_(&mode) {
    for (auto& kind : places_) kind.assign(n_max + 1, RowPlace{});
    for (std::uint8_t p = 0; p < 2; ++p) {
      const auto& rows = mode.rows[p];
      const size_t k = rows.size();
      if (mode.t[p].size() != k * k) continue;  // not solved: zero
      for (size_t i = 0; i < k; ++i) {
        VANTOK_ASSERT(rows[i].first < 2 && rows[i].second <= n_max);
        places_[rows[i].first][rows[i].second] = {p, i};
      }
    }
  }

  /// T^{ab}(n, n'): the element coupling row (a, n) to column (b, n'), or 0
  /// when they are in different blocks.
  Complex<T> at(size_t a, size_t n, size_t b, size_t n2) const {
    const RowPlace& r = places_[a][n];
    const RowPlace& c = places_[b][n2];
    if (r.block == 2 || r.block != c.block) return {cst<T>(0.0), cst<T>(0.0)};
    const size_t k = mode_->rows[r.block].size();
    return mode_->t[r.block][r.index * k + c.index];
  }

 private:
  const SolvedMode<T>* mode_;
  std::array<std::vector<RowPlace>, 2> places_;
};

/// The helicity entries H_t(m', n, n'), t = 0..3, of the azimuthal
/// projections m' = +m and -m from the kind tables of mode m:
///   H = 0.5 (((T00 + s1 T01) + s2 T10) + s1 s2 T11)
/// with (s1, s2) per t and sign of m': index 0 for +m, 1 for -m, both from one
/// reading of the kind tables.
template <class T>
std::array<std::array<Complex<T>, 4>, 2> helicity_both(const KindTables<T>& kinds, size_t n, size_t n2) {
  const Complex<T> a = kinds.at(0, n, 0, n2);
  const Complex<T> b = kinds.at(0, n, 1, n2);
  const Complex<T> c = kinds.at(1, n, 0, n2);
  const Complex<T> d = kinds.at(1, n, 1, n2);
  // (s1, s2) of t = 0..3 for +m; -m takes the opposite of both.
  static constexpr int SIGNS[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
  const T half = cst<T>(0.5);
  std::array<std::array<Complex<T>, 4>, 2> out;
  for (size_t sign = 0; sign < 2; ++sign) {
    for (size_t t = 0; t < 4; ++t) {
      const int s1 = sign == 1 ? -SIGNS[t][0] : SIGNS[t][0];
      const int s2 = sign == 1 ? -SIGNS[t][1] : SIGNS[t][1];
      const Complex<T> sum = ((a + complex::scale(cst<T>(s1), b)) + complex::scale(cst<T>(s2), c)) +
                             complex::scale(cst<T>(static_cast<double>(s1 * s2)), d);
      out[sign][t] = complex::scale(half, sum);
    }
  }
  return out;
}

/// H of the one projection m' = -m (negative) or +m.
template <class T>
std::array<Complex<T>, 4> helicity(const KindTables<T>& kinds, size_t n, size_t n2, bool negative) {
  return helicity_both(kinds, n, n2)[negative ? 1 : 0];
}

}  // namespace vantok::tmatrix::random
