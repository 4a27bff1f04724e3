// Phase matrix of a sphere from its amplitudes, and its derivatives by the
// product rule: with c the scale factor and S1, S2 the amplitudes,
//   dF11/dp = dc/dp (|S1|^2 + |S2|^2)/2 + c (Re(conj S1 dS1/dp) + Re(conj S2 dS2/dp)),
// and likewise for F12, F33, F34. For the normalised matrix c = 4/(x^2 Q_sca)
// and dc/dp = -c (dQ_sca/dp / Q_sca + [2/x for p = x]).
#include "vantok/mie/phase.hpp"

#include "mie/detail_complex.hpp"
#include "mie/detail_efficiencies.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/efficiencies.hpp"

#include <array>
#include <vector>

namespace vantok::mie::coefficients {

using amplitudes::AmplitudeBuffers;
using amplitudes::AngularTable;
using complex::norm_sqr;
using complex::times_i;
using mie::detail::im_conj;
using mie::detail::re_conj;
using phase::PhaseMatrixBuffers;
using phase::PhaseMatrixDerivativeBuffers;
using C = Complex<double>;

namespace {

Result<void> check_buffers(const char* what, std::size_t n_mu, const PhaseMatrixBuffers& out) {
  const std::array<std::size_t, 4> lengths{out.f11.size(), out.f12.size(), out.f33.size(),
                                           out.f34.size()};
  for (const std::size_t len : lengths) {
    if (len != n_mu) {
      return std::unexpected(Error::invalid_input(std::string("the ") + what +
                                                  " buffers must have one value per cosine (" +
                                                  fmt::plain(n_mu) + "), got " +
                                                  fmt::debug_list(std::span<const std::size_t>(lengths))));
    }
  }
  return {};
}

Result<void> check_all(std::size_t n_mu, const PhaseMatrixBuffers& values,
                       const PhaseMatrixDerivativeBuffers& derivatives) {
  VANTOK_CHECK(check_buffers("phase-matrix", n_mu, values));
  VANTOK_CHECK(check_buffers("derivative", n_mu, derivatives.x));
  VANTOK_CHECK(check_buffers("derivative", n_mu, derivatives.re_m));
  VANTOK_CHECK(check_buffers("derivative", n_mu, derivatives.im_m));
  return {};
}

// The four elements at one cosine.
inline void write_values(const C& s1, const C& s2, double c, const PhaseMatrixBuffers& out,
                         std::size_t j) {
  out.f11[j] = ((norm_sqr(s1) + norm_sqr(s2)) * 0.5) * c;
  out.f12[j] = ((norm_sqr(s2) - norm_sqr(s1)) * 0.5) * c;
  out.f33[j] = re_conj(s1, s2) * c;
  out.f34[j] = im_conj(s1, s2) * c;
}

// The derivatives of the four elements with respect to one parameter.
inline void write_derivatives(const C& s1, const C& s2, const C& ds1, const C& ds2, double c,
                              double dc, const PhaseMatrixBuffers& out, std::size_t j) {
  const double n1 = norm_sqr(s1);
  const double n2 = norm_sqr(s2);
  const double r1 = re_conj(s1, ds1);
  const double r2 = re_conj(s2, ds2);
  out.f11[j] = (dc * (n1 + n2)) * 0.5 + c * (r1 + r2);
  out.f12[j] = (dc * (n2 - n1)) * 0.5 + c * (r2 - r1);
  out.f33[j] = dc * re_conj(s1, s2) + c * (re_conj(ds1, s2) + re_conj(s1, ds2));
  out.f34[j] = dc * im_conj(s1, s2) + c * (im_conj(ds1, s2) + im_conj(s1, ds2));
}

}  // namespace

void Coefficients::phase_from_amplitudes(std::span<const C> s1, std::span<const C> s2, bool normalized,
                                         PhaseMatrixBuffers out) const {
  const std::size_t n_mu = s1.size();
  VANTOK_ASSERT(s2.size() == n_mu && out.f11.size() == n_mu && out.f12.size() == n_mu &&
                out.f33.size() == n_mu && out.f34.size() == n_mu);
  double c = 4.0 / (x * x);
  if (normalized) c = c / mie::detail::scattering_efficiency(*this);
  for (std::size_t j = 0; j < n_mu; ++j) write_values(s1[j], s2[j], c, out, j);
}

void Coefficients::phase_derivatives_from_amplitudes(const phase::AmplitudeSet& amps,
                                                     const CoefficientDerivatives& d, bool normalized,
                                                     PhaseMatrixBuffers values,
                                                     PhaseMatrixDerivativeBuffers derivatives) const {
  const std::size_t n_mu = amps.s1.size();
  VANTOK_ASSERT(amps.s2.size() == n_mu && amps.ds1_dx.size() == n_mu && amps.ds2_dx.size() == n_mu &&
                amps.ds1_dm.size() == n_mu && amps.ds2_dm.size() == n_mu);
  VANTOK_ASSERT(check_all(n_mu, values, derivatives).has_value());
  const std::array<double, 15> jacobian = efficiencies_jacobian(d);
  const double c0 = 4.0 / (x * x);
  double c = c0;
  double dc_dx = 0.0;
  double dc_dre = 0.0;
  double dc_dim = 0.0;
  if (normalized) {
    const double q_sca = mie::detail::scattering_efficiency(*this);
    c = c0 / q_sca;
    // The Q_sca column of the Jacobian, rows x, Re m, Im m.
    const double dq_dx = jacobian[0 * 5 + efficiencies::Q_SCA];
    const double dq_dre = jacobian[1 * 5 + efficiencies::Q_SCA];
    const double dq_dim = jacobian[2 * 5 + efficiencies::Q_SCA];
    dc_dx = d.outer ? -c * (dq_dx / q_sca + 2.0 / x) : -c * (dq_dx / q_sca);
    dc_dre = -c * dq_dre / q_sca;
    dc_dim = -c * dq_dim / q_sca;
  } else if (d.outer) {
    dc_dx = -2.0 * c / x;
  }
  for (std::size_t j = 0; j < n_mu; ++j) {
    const C& s1 = amps.s1[j];
    const C& s2 = amps.s2[j];
    write_values(s1, s2, c, values, j);
    write_derivatives(s1, s2, amps.ds1_dx[j], amps.ds2_dx[j], c, dc_dx, derivatives.x, j);
    write_derivatives(s1, s2, amps.ds1_dm[j], amps.ds2_dm[j], c, dc_dre, derivatives.re_m, j);
    write_derivatives(s1, s2, times_i(amps.ds1_dm[j]), times_i(amps.ds2_dm[j]), c, dc_dim,
                      derivatives.im_m, j);
  }
}

namespace {

// Checks the value buffers, has `fill` write S1 and S2 into scratch buffers
// (recurrence or table), then forms the four elements.
template <class Fill>
Result<void> phase_from_filled(const Coefficients& c, std::size_t n_mu, bool normalized,
                               const PhaseMatrixBuffers& out, Fill fill) {
  VANTOK_CHECK(check_buffers("phase-matrix", n_mu, out));
  std::vector<C> s1(n_mu, C{0.0, 0.0});
  std::vector<C> s2(n_mu, C{0.0, 0.0});
  VANTOK_CHECK(fill(AmplitudeBuffers{s1, s2}));
  c.phase_from_amplitudes(s1, s2, normalized, out);
  return {};
}

}  // namespace

Result<void> Coefficients::phase_matrix(std::span<const double> mu, bool normalized,
                                        PhaseMatrixBuffers out) const {
  return phase_from_filled(*this, mu.size(), normalized, out,
                           [&](AmplitudeBuffers s) { return amplitudes(mu, s); });
}

Result<void> Coefficients::phase_matrix_from_table(const AngularTable& table, bool normalized,
                                                   PhaseMatrixBuffers out) const {
  return phase_from_filled(*this, table.mu.size(), normalized, out,
                           [&](AmplitudeBuffers s) { return amplitudes_from_table(table, s); });
}

namespace {

// The six amplitude buffers of a derivative evaluation.
struct AmplitudeScratch {
  explicit AmplitudeScratch(std::size_t n_mu) {
    for (auto& v : buffers) v.assign(n_mu, C{0.0, 0.0});
  }
  std::array<std::vector<C>, 6> buffers;
  AmplitudeBuffers values() { return {buffers[0], buffers[1]}; }
  AmplitudeBuffers dx() { return {buffers[2], buffers[3]}; }
  AmplitudeBuffers dm() { return {buffers[4], buffers[5]}; }
  phase::AmplitudeSet set() const {
    return {buffers[0], buffers[1], buffers[2], buffers[3], buffers[4], buffers[5]};
  }
};

}  // namespace

Result<void> Coefficients::phase_matrix_with_derivatives(std::span<const double> mu,
                                                         const CoefficientDerivatives& d,
                                                         bool normalized, PhaseMatrixBuffers values,
                                                         PhaseMatrixDerivativeBuffers derivatives) const {
  VANTOK_CHECK(check_all(mu.size(), values, derivatives));
  AmplitudeScratch scratch(mu.size());
  VANTOK_CHECK(amplitudes_with_derivatives(d, mu, scratch.values(), scratch.dx(), scratch.dm()));
  phase_derivatives_from_amplitudes(scratch.set(), d, normalized, values, derivatives);
  return {};
}

Result<void> Coefficients::phase_matrix_with_derivatives_from_table(
    const AngularTable& table, const CoefficientDerivatives& d, bool normalized,
    PhaseMatrixBuffers values, PhaseMatrixDerivativeBuffers derivatives) const {
  VANTOK_CHECK(check_all(table.mu.size(), values, derivatives));
  AmplitudeScratch scratch(table.mu.size());
  VANTOK_CHECK(amplitudes_with_derivatives_from_table(d, table, scratch.values(), scratch.dx(),
                                                      scratch.dm()));
  phase_derivatives_from_amplitudes(scratch.set(), d, normalized, values, derivatives);
  return {};
}

}  // namespace vantok::mie::coefficients
