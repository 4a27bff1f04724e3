// The Greek coefficients of the orientation average: the phase matrix at the
// nodes of a Gauss-Legendre rule exact for its products with the Wigner
// functions, projected onto d^l_00, d^l_22, d^l_2-2 and d^l_02 node by node
// in ascending order; alpha2 and alpha3 from the sums S+ and S-.

#include <algorithm>

#include "tmatrix/detail_coupling.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"
#include "vantok/tmatrix/random_orientation.hpp"

namespace vantok::tmatrix::random {

template <class T>
Result<GreekCoefficients<T>> greek_raw(const TMatrixModes<T>& modes, size_t order) {
  const size_t n_max = modes.n_terms;
  const size_t big_l = std::min(sat_mul<size_t>(2, n_max), order);
  if (big_l > MAX_GREEK_ORDER) {
    return std::unexpected(Error::invalid_input("the Greek order must be at most " +
                                                fmt::plain(MAX_GREEK_ORDER) + ", got " +
                                                fmt::plain(big_l)));
  }
  const size_t q = n_max + big_l / 2 + 1;
  VANTOK_TRY(rule, special::gauss_legendre::gauss_legendre<T>(q));
  const auto& [nodes, weights] = rule;
  const std::array<std::vector<T>, 6> f = random_orientation<T>(modes, nodes);
  for (const auto& v : f) VANTOK_ASSERT(v.size() == q);

  GreekCoefficients<T> g = GreekCoefficients<T>::zeros(big_l + 1);
  static constexpr std::int32_t MN[4][2] = {{0, 0}, {2, 2}, {2, -2}, {0, 2}};
  // Node i's terms, added in ascending l.
  const auto add_node = [&](size_t i, const std::array<std::vector<T>, 4>& d) {
    const T& wt = weights[i];
    const T f11 = wt * f[0][i];
    const T f12 = wt * f[1][i];
    const T f22 = wt * f[2][i];
    const T f33 = wt * f[3][i];
    const T f34 = wt * f[4][i];
    const T f44 = wt * f[5][i];
    for (size_t l = 0; l <= big_l; ++l) {
      g.alpha1[l] = g.alpha1[l] + d[0][l] * f11;
      g.alpha4[l] = g.alpha4[l] + d[0][l] * f44;
      g.alpha2[l] = g.alpha2[l] + d[1][l] * (f22 + f33);
      g.alpha3[l] = g.alpha3[l] + d[2][l] * (f22 - f33);
      g.beta1[l] = g.beta1[l] + d[3][l] * f12;
      g.beta2[l] = g.beta2[l] + d[3][l] * f34;
    }
  };
  // The Wigner functions of a block of nodes on the pool (about a million
  // values at most), then the sums over those nodes in node order; the first
  // failure in node and function order is the result.
  const size_t block = std::clamp<size_t>((size_t{1} << 20) / (4 * (big_l + 1)), 1, 64);
  std::vector<std::array<std::vector<T>, 4>> tables(std::min(block, q));
  for (auto& d : tables) {
    for (auto& v : d) v.assign(big_l + 1, cst<T>(0.0));
  }
  std::vector<Result<void>> formed(tables.size());
  for (size_t first = 0; first < q; first += block) {
    const size_t count = std::min(block, q - first);
    work::parallel(count, [&](size_t j) {
      formed[j] = {};
      for (size_t t = 0; t < 4 && formed[j]; ++t) {
        formed[j] = special::wigner::wigner_d<T>(MN[t][0], MN[t][1], nodes[first + j], tables[j][t]);
      }
    });
    for (size_t j = 0; j < count; ++j) VANTOK_CHECK(std::move(formed[j]));
    for (size_t j = 0; j < count; ++j) add_node(first + j, tables[j]);
  }
  // alpha2 and alpha3 from S+ = sum d22 (F22 + F33) and S- = sum d2-2 (F22 - F33).
  for (size_t l = 0; l <= big_l; ++l) {
    const double c_l = static_cast<double>(2 * l + 1) * 0.5;
    const T c = cst<T>(c_l);
    g.alpha1[l] = g.alpha1[l] * c;
    g.alpha4[l] = g.alpha4[l] * c;
    g.beta1[l] = g.beta1[l] * c;
    g.beta2[l] = g.beta2[l] * c;
    const T s_plus = g.alpha2[l];
    const T s_minus = g.alpha3[l];
    if constexpr (scalar::ScalarTraits<T>::is_dual) {
      const T c4 = cst<T>(static_cast<double>(2 * l + 1) * 0.25);
      g.alpha2[l] = (s_plus + s_minus) * c4;
      g.alpha3[l] = (s_plus - s_minus) * c4;
    } else {
      g.alpha2[l] = ((s_plus + s_minus) * c_l) * 0.5;
      g.alpha3[l] = ((s_plus - s_minus) * c_l) * 0.5;
    }
  }
  return g;
}

template Result<GreekCoefficients<double>> greek_raw<double>(const TMatrixModes<double>&, std::size_t);
template Result<GreekCoefficients<scalar::DualF64>> greek_raw<scalar::DualF64>(const TMatrixModes<scalar::DualF64>&,
                                                                             std::size_t);

}  // namespace vantok::tmatrix::random
