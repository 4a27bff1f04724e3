// Efficiencies of a sphere from its Mie coefficients and their Jacobian with
// respect to (x, Re m, Im m) (Bohren & Huffman 1983, eqs. 4.61, 4.62, 4.82).
#include "vantok/mie/efficiencies.hpp"

#include "mie/detail_complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok::mie {

using complex::conj;
using complex::norm_sqr;
using complex::scale;
using complex::times_i;
using mie::detail::re_conj;
using C = Complex<double>;

namespace {

// g is defined only when S_sca != 0; the test is written so that a NaN S_sca
// counts as non-zero and propagates.
inline bool nonzero(double v) { return v < 0.0 || v > 0.0 || v != v; }

}  // namespace

namespace efficiencies {

ValueSums value_sums(std::span<const C> a, std::span<const C> b) {
  const std::size_t n_terms = a.size();
  VANTOK_ASSERT(b.size() >= n_terms);
  ValueSums s{C{}, 0.0, 0.0};
  for (std::size_t i = 0; i < n_terms; ++i) {
    const std::size_t n = i + 1;
    const double nd = static_cast<double>(n);
    const double w = 2.0 * nd + 1.0;
    // The neighbour term of the asymmetry sum enters before the cross term.
    if (n < n_terms) {
      s.asymmetry += static_cast<double>(n * (n + 2)) / (nd + 1.0) *
                     (a[i].re * a[i + 1].re + a[i].im * a[i + 1].im + b[i].re * b[i + 1].re +
                      b[i].im * b[i + 1].im);
    }
    s.scattering += w * (norm_sqr(a[i]) + norm_sqr(b[i]));
    const C diff = a[i] - b[i];
    s.backscatter += n % 2 == 0 ? scale(w, diff) : scale(-w, diff);
    s.asymmetry += w / static_cast<double>(n * (n + 1)) * re_conj(a[i], b[i]);
  }
  return s;
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
  const double u = 1.0 / x;
  const efficiencies::ValueSums sums = efficiencies::value_sums(a, b);
  const bool has_g = nonzero(sums.scattering);
  const double g = has_g ? 2.0 * sums.asymmetry / sums.scattering : 0.0;

  // Accumulators per parameter p = x, Re m, Im m.
  C d_back[3] = {};
  double d_sca[3] = {};
  double d_asy[3] = {};
  // The coefficient derivatives of order index i for parameter p.
  auto da = [&](std::size_t p, std::size_t i) {
    return p == 0 ? d.da_dx[i] : p == 1 ? d.da_dm[i] : times_i(d.da_dm[i]);
  };
  auto db = [&](std::size_t p, std::size_t i) {
    return p == 0 ? d.db_dx[i] : p == 1 ? d.db_dm[i] : times_i(d.db_dm[i]);
  };
  for (std::size_t i = 0; i < n_terms; ++i) {
    const std::size_t n = i + 1;
    const double nd = static_cast<double>(n);
    const double w = 2.0 * nd + 1.0;
    const double sign_w = n % 2 == 0 ? w : -w;
    for (std::size_t p = 0; p < 3; ++p) {
      const C da_n = da(p, i);
      const C db_n = db(p, i);
      d_back[p] += scale(sign_w, da_n - db_n);
      d_sca[p] += 2.0 * w * (conj(a[i]) * da_n + conj(b[i]) * db_n).re;
      if (n < n_terms) {
        d_asy[p] += static_cast<double>(n * (n + 2)) / (nd + 1.0) *
                    (re_conj(da_n, a[i + 1]) + re_conj(a[i], da(p, i + 1)) +
                     re_conj(db_n, b[i + 1]) + re_conj(b[i], db(p, i + 1)));
      }
      d_asy[p] += w / static_cast<double>(n * (n + 1)) * (re_conj(da_n, b[i]) + re_conj(a[i], db_n));
    }
  }

  const double s = u * u + u * u;
  const double dabs[3] = {d.dabs_dx, d.dabs_dre, d.dabs_dim};
  const double back_sq = norm_sqr(sums.backscatter);
  std::array<double, 15> jac{};
  for (std::size_t p = 0; p < 3; ++p) {
    const bool explicit_x = p == 0 && d.outer;
    double dq_sca = s * d_sca[p];
    double dq_abs = s * dabs[p];
    double dq_back = 2.0 * (conj(sums.backscatter) * d_back[p]).re * (u * u);
    if (explicit_x) {
      // d(1/x^2)/dx = -2/x^3 on the normalising factors.
      dq_sca -= 2.0 * u * s * sums.scattering;
      dq_abs -= 2.0 * u * s * s_abs;
      dq_back -= 2.0 * back_sq * (u * u * u);
    }
    const double dg = has_g ? (2.0 * d_asy[p] - g * d_sca[p]) / sums.scattering : 0.0;
    jac[5 * p + 0] = dq_sca + dq_abs;
    jac[5 * p + 1] = dq_sca;
    jac[5 * p + 2] = dq_abs;
    jac[5 * p + 3] = dq_back;
    jac[5 * p + 4] = dg;
  }
  return jac;
}

}  // namespace coefficients

}  // namespace vantok::mie
