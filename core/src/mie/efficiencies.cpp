// Efficiencies of a sphere from its Mie coefficients and their Jacobian with
// respect to (x, Re m, Im m) (Bohren & Huffman 1983, eqs. 4.61, 4.62, 4.82).
// The sums are written once over lanes (spherical/sums_lanes.inc); here they run
// on one lane, a plain double.
#include "vantok/mie/efficiencies.hpp"

#include <array>

#include "vantok/error.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::mie {

namespace {

namespace one {
using V = double;
#include "spherical/sums_lanes.inc"
}  // namespace one

using one::sums::nonzero;

}  // namespace

namespace efficiencies {

ValueSums value_sums(std::span<const Complex<double>> a, std::span<const Complex<double>> b) {
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(b.size() >= n_terms);
  const one::sums::Sums s = one::sums::value_sums(a.data(), b.data(), static_cast<double>(n_terms), n_terms);
  return {s.backscatter, s.scattering, s.asymmetry};
}

std::array<double, 5> from_sums(const ValueSums& sums, double s_abs, double x) {
  const double u = 1.0 / x;
  const double s = u * u + u * u;
  const double q_sca = sums.scattering * s;
  const double q_abs = s * s_abs;
  const double q_back =
      u * u * (sums.backscatter.re * sums.backscatter.re + sums.backscatter.im * sums.backscatter.im);
  const double g = nonzero(sums.scattering) ? 2.0 * sums.asymmetry / sums.scattering : 0.0;
  return {q_abs + q_sca, q_sca, q_abs, q_back, g};
}

}  // namespace efficiencies

namespace coefficients {

std::array<double, 5> Coefficients::efficiencies() const {
  return efficiencies::from_sums(efficiencies::value_sums(a, b), s_abs, x);
}

std::array<double, 15> Coefficients::efficiencies_jacobian(const CoefficientDerivatives& d) const {
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(n_terms >= 1 && b.size() >= n_terms && d.da_dx.size() >= n_terms &&
                d.da_dm.size() >= n_terms && d.db_dx.size() >= n_terms &&
                d.db_dm.size() >= n_terms);
  const double terms = static_cast<double>(n_terms);
  const one::sums::Sums sums = one::sums::value_sums(a.data(), b.data(), terms, n_terms);
  const one::sums::Derivatives lanes{d.da_dx.data(), d.da_dm.data(), d.db_dx.data(), d.db_dm.data(),
                                     d.dabs_dx,      d.dabs_dre,     d.dabs_dim,     d.outer};
  return one::sums::jacobian(a.data(), b.data(), sums, lanes, x, s_abs, terms, n_terms);
}

}  // namespace coefficients

}  // namespace vantok::mie
