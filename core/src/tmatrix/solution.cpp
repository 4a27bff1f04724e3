// The outputs of a solved spheroid in random orientation. Everything angular
// rests on one value computed once per state: the raw Greek coefficients at
// order 2N. The efficiencies take C_ext and C_sca from the T blocks directly
// (the optical theorem and the sum of |T_ij|^2), and Q_back and g from the
// Greek series; the phase matrix is the Greek series summed at each cosine.

#include "vantok/tmatrix/tmatrix.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/special/wigner.hpp"
#include "vantok/tmatrix/random.hpp"

namespace vantok::tmatrix {

Result<const GreekCoefficients<double>*> TMatrixSolution::greek_raw() const {
  const TMatrixModes<double>& modes = state_->converged.solved.modes;
  const Result<GreekCoefficients<double>>& cached = state_->greek.get_or_init(
      [&] { return random::greek_raw<double>(modes, 2 * modes.n_terms); });
  if (!cached) return std::unexpected(cached.error());
  return &*cached;
}

std::array<double, 5> TMatrixSolution::efficiencies() const {
  const auto raw = greek_raw();
  const auto [c_ext, c_sca] = state_->converged.solved.modes.cross_sections();
  const double x = state_->x;
  const double g_geo = (x * 3.141592653589793) * x;
  std::array<double, 5> q{c_ext / g_geo, c_sca / g_geo, (c_ext - c_sca) / g_geo,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::quiet_NaN()};
  if (raw) {
    const std::vector<double>& alpha = (*raw)->alpha1;
    // F11(pi) = sum (-1)^l alpha1_l, d^l_00(-1) = (-1)^l.
    double s = 0.0;
    for (std::size_t l = 0; l < alpha.size(); ++l) s = (l % 2 == 0) ? s + alpha[l] : s - alpha[l];
    q[3] = (s * 12.566370614359172) / g_geo;
    const double a1 = alpha.size() > 1 ? alpha[1] : 0.0;
    q[4] = alpha[0] > 0.0 ? a1 / (3.0 * alpha[0]) : 0.0;
  }
  return q;
}

Result<GreekCoefficients<double>> TMatrixSolution::greek(std::optional<std::size_t> order,
                                                         bool unnormalized) const {
  const std::size_t n2 = 2 * state_->converged.solved.modes.n_terms;
  const std::size_t big_l = order.value_or(n2);
  if (big_l > MAX_GREEK_ORDER) {
    return std::unexpected(
        Error::invalid_input("the Greek order must be at most " + fmt::plain(MAX_GREEK_ORDER)));
  }
  VANTOK_TRY(raw, greek_raw());
  GreekCoefficients<double> out = *raw;
  const std::size_t keep = std::min(n2 + 1, big_l + 1);
  const double x = state_->x;
  const double s = unnormalized ? 4.0 / (x * x) : 1.0 / raw->alpha1[0];
  for (std::vector<double>* v : out.vectors()) {
    v->resize(std::min(v->size(), keep));
    for (double& c : *v) c = c * s;
  }
  out.pad(big_l + 1);
  if (!unnormalized) out.alpha1[0] = 1.0;
  return out;
}

Result<void> TMatrixSolution::phase_matrix(std::span<const double> mu, bool unnormalized,
                                           PhaseBuffers out) const {
  const std::size_t q = mu.size();
  for (const auto& b : out) {
    if (b.size() != q) {
      std::array<std::size_t, 6> lengths;
      for (std::size_t i = 0; i < 6; ++i) lengths[i] = out[i].size();
      return std::unexpected(Error::invalid_input("phase-matrix buffers must have one value per cosine (" +
                                                  fmt::plain(q) + "), got " + fmt::debug_list(lengths)));
    }
  }
  VANTOK_TRY(g, greek(std::nullopt, unnormalized));
  const std::size_t len = g.alpha1.size();
  std::array<std::vector<double>, 4> d;
  for (std::size_t k = 0; k < q; ++k) {
    VANTOK_CHECK(wigner_tables(mu[k], len, d));
    double f11 = 0.0, f12 = 0.0, s_plus = 0.0, s_minus = 0.0, f34 = 0.0, f44 = 0.0;
    for (std::size_t l = 0; l < len; ++l) {
      f11 = f11 + g.alpha1[l] * d[0][l];
      f12 = f12 + g.beta1[l] * d[3][l];
      s_plus = s_plus + (g.alpha2[l] + g.alpha3[l]) * d[1][l];
      s_minus = s_minus + (g.alpha2[l] - g.alpha3[l]) * d[2][l];
      f34 = f34 + g.beta2[l] * d[3][l];
      f44 = f44 + g.alpha4[l] * d[0][l];
    }
    store(out, k, {f11, f12, (s_minus + s_plus) * 0.5, (s_plus - s_minus) * 0.5, f34, f44});
  }
  return {};
}

Result<void> wigner_tables(double x, std::size_t len, std::array<std::vector<double>, 4>& tables) {
  static constexpr std::int32_t MN[4][2] = {{0, 0}, {2, 2}, {2, -2}, {0, 2}};
  for (auto& t : tables) t.resize(len, 0.0);
  for (std::size_t t = 0; t < 4; ++t) {
    VANTOK_CHECK(special::wigner::wigner_d<double>(MN[t][0], MN[t][1], x, tables[t]));
  }
  return {};
}

void store(PhaseBuffers buffers, std::size_t k, const std::array<double, 6>& values) {
  for (std::size_t i = 0; i < 6; ++i) buffers[i][k] = values[i];
}

}  // namespace vantok::tmatrix
