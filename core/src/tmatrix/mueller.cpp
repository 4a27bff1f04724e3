// The phase matrix of the orientation average from its 16 amplitude products
// per cosine: the products S_ab conj(S_cd) of the circular basis taken to
// the linear basis by A = h [[1, 1], [i, -i]] and B = A^H (h = 1/sqrt 2), six
// element sums per cosine in ascending order of the products.

#include "tmatrix/detail_mueller.hpp"

#include "tmatrix/detail_coupling.hpp"

namespace vantok::tmatrix::random {

template <class T>
std::array<std::vector<T>, 6> mueller(std::span<const Complex<T>> x, std::size_t q) {
  VANTOK_ASSERT(x.size() / 16 >= q && (q == 0 || x.size() >= 16 * q));
  const double h = 0.7071067811865476;
  // A = h [[1, 1], [i, -i]] and B = A^H, with the zero signs as written.
  const Complex<T> a[2][2] = {{{cst<T>(h), cst<T>(0.0)}, {cst<T>(h), cst<T>(0.0)}},
                              {{cst<T>(0.0), cst<T>(h)}, {cst<T>(-0.0), cst<T>(-h)}}};
  const Complex<T> b[2][2] = {{{cst<T>(h), cst<T>(0.0)}, {cst<T>(-0.0), cst<T>(-h)}},
                              {{cst<T>(h), cst<T>(0.0)}, {cst<T>(0.0), cst<T>(h)}}};
  // The weights (A_ia B_bj) conj(A_kc B_dl) of the six element sums, in
  // ascending q = 8a + 4b + 2c + d.
  static constexpr size_t SUMS[6][4] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {0, 1, 0, 1},
                                        {1, 0, 1, 0}, {1, 1, 0, 0}, {0, 1, 1, 0}};
  std::array<std::array<Complex<T>, 16>, 6> w;
  for (size_t s = 0; s < 6; ++s) {
    const auto [i, j, k, l] = SUMS[s];
    for (size_t qq = 0; qq < 16; ++qq) {
      const size_t ia = qq >> 3, ib = (qq >> 2) & 1, ic = (qq >> 1) & 1, id = qq & 1;
      w[s][qq] = (a[i][ia] * b[ib][j]) * complex::conj(a[k][ic] * b[id][l]);
    }
  }
  std::array<std::vector<T>, 6> f;
  for (auto& v : f) v.reserve(q);
  const T half = cst<T>(0.5);
  for (size_t u = 0; u < q; ++u) {
    std::array<Complex<T>, 6> e;
    for (size_t s = 0; s < 6; ++s) {
      Complex<T> sum{cst<T>(0.0), cst<T>(0.0)};
      for (size_t qq = 0; qq < 16; ++qq) sum = sum + w[s][qq] * x[qq * q + u];
      e[s] = sum;
    }
    const T& e1 = e[0].re;
    const T& e2 = e[1].re;
    const T& e3 = e[2].re;
    const T& e4 = e[3].re;
    const Complex<T>& z1 = e[4];
    const Complex<T>& z2 = e[5];
    f[0].push_back((((e1 + e2) + e3) + e4) * half);
    f[1].push_back((((e1 - e2) + e4) - e3) * half);
    f[2].push_back((((e1 + e2) - e4) - e3) * half);
    f[3].push_back(z1.re + z2.re);
    f[4].push_back((-z1.im) - z2.im);
    f[5].push_back(z1.re - z2.re);
  }
  return f;
}

template std::array<std::vector<double>, 6> mueller<double>(std::span<const Complex<double>>, std::size_t);
template std::array<std::vector<scalar::DualF64>, 6> mueller<scalar::DualF64>(
    std::span<const Complex<scalar::DualF64>>, std::size_t);

}  // namespace vantok::tmatrix::random
