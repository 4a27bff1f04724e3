// The outputs of a solved spheroid in random orientation. Everything angular
// rests on one value computed once per state: the raw Greek coefficients at
// order 2N. The efficiencies take C_ext and C_sca from the T blocks directly
// (the optical theorem and the sum of |T_ij|^2), and Q_back and g from the
// Greek series; the phase matrix is the Greek series summed at each cosine.
// A state solved with derivatives gives the same outputs over Dual<double, 4>
// from its dual T blocks, with x seeded where the outputs are scaled by it
// (the geometric cross section, 4 / x^2).

#include "vantok/tmatrix/tmatrix.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "vantok/constants.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/wigner.hpp"
#include "vantok/tmatrix/random_orientation.hpp"

namespace vantok::tmatrix {

namespace {

using scalar::DualF64;

template <class T>
T cst(double v) {
  return scalar::constant<T>(v);
}

/// The Greek order asked for, 2N when absent, at most MAX_GREEK_ORDER.
Result<std::size_t> greek_order(std::optional<std::size_t> order, std::size_t n2) {
  const std::size_t big_l = order.value_or(n2);
  if (big_l > MAX_GREEK_ORDER) {
    return std::unexpected(
        Error::invalid_input("the Greek order must be at most " + fmt::plain(MAX_GREEK_ORDER)));
  }
  return big_l;
}

/// The four Wigner tables d^l_00, d^l_22, d^l_2-2, d^l_02 at x, each resized
/// to len values (l = 0..len-1); the first error of wigner_d is returned, the
/// later tables left as they were.
Result<void> wigner_tables(double x, std::size_t len, std::array<std::vector<double>, 4>& tables) {
  static constexpr std::int32_t MN[4][2] = {{0, 0}, {2, 2}, {2, -2}, {0, 2}};
  for (auto& t : tables) t.resize(len, 0.0);
  for (std::size_t t = 0; t < 4; ++t) {
    VANTOK_CHECK(special::wigner::wigner_d<double>(MN[t][0], MN[t][1], x, tables[t]));
  }
  return {};
}

/// Writes value i to buffer i at index k.
void store(PhaseBuffers buffers, std::size_t k, const std::array<double, 6>& values) {
  for (std::size_t i = 0; i < 6; ++i) buffers[i][k] = values[i];
}

/// Raw Greek coefficients scaled to the order L: each series cut to at most
/// L + 1 entries, multiplied by 4 / (x x) (unnormalized) or by 1 / alpha1_0,
/// and padded with zeros to exactly L + 1 entries. Over duals x is the seeded
/// size parameter, so that the x partials include those of 4 / x^2.
template <class T>
GreekCoefficients<T> greek_of(const GreekCoefficients<T>& raw, const T& x, std::size_t order,
                              bool unnormalized) {
  VANTOK_ASSERT(unnormalized || !raw.alpha1.empty());
  const std::size_t keep = sat_add<std::size_t>(order, 1);
  const T s = unnormalized ? cst<T>(4.0) / (x * x) : scalar::recip(raw.alpha1[0]);
  GreekCoefficients<T> out = raw;
  for (std::vector<T>* v : out.vectors()) {
    v->resize(std::min(v->size(), keep));
    for (T& c : *v) c = c * s;
  }
  out.pad(keep);
  return out;
}

/// Every buffer of a group holds one value per cosine, else the error naming
/// the group's six lengths.
Result<void> check_buffers(std::size_t q, const PhaseBuffers& out) {
  for (const auto& b : out) {
    if (b.size() != q) {
      std::array<std::size_t, 6> lengths;
      for (std::size_t i = 0; i < 6; ++i) lengths[i] = out[i].size();
      return std::unexpected(Error::invalid_input("phase-matrix buffers must have one value per cosine (" +
                                                  fmt::plain(q) + "), got " + fmt::debug_list(lengths)));
    }
  }
  return {};
}

/// The six Greek series at each cosine k in order, handed to put(k, F): F11 =
/// sum alpha1 d00, F12 = sum beta1 d02, S+ = sum (alpha2 + alpha3) d22, S- =
/// sum (alpha2 - alpha3) d2-2, F22 = (S- + S+) / 2, F33 = (S+ - S-) / 2, F34 =
/// sum beta2 d02, F44 = sum alpha4 d00, l ascending (Wigner values enter a
/// dual series as constants). A cosine the Wigner functions refuse ends it.
template <class T, class Put>
Result<void> phase_series(const GreekCoefficients<T>& g, std::span<const double> mu, Put put) {
  const std::size_t len = g.alpha1.size();
  std::array<std::vector<double>, 4> d;
  for (std::size_t k = 0; k < mu.size(); ++k) {
    VANTOK_CHECK(wigner_tables(mu[k], len, d));
    T f11 = cst<T>(0.0), f12 = f11, s_plus = f11, s_minus = f11, f34 = f11, f44 = f11;
    for (std::size_t l = 0; l < len; ++l) {
      const T d00 = cst<T>(d[0][l]), d22 = cst<T>(d[1][l]), d2m2 = cst<T>(d[2][l]), d02 = cst<T>(d[3][l]);
      f11 = f11 + g.alpha1[l] * d00;
      f12 = f12 + g.beta1[l] * d02;
      s_plus = s_plus + (g.alpha2[l] + g.alpha3[l]) * d22;
      s_minus = s_minus + (g.alpha2[l] - g.alpha3[l]) * d2m2;
      f34 = f34 + g.beta2[l] * d02;
      f44 = f44 + g.alpha4[l] * d00;
    }
    const T half = cst<T>(0.5);
    put(k, std::array<T, 6>{f11, f12, (s_minus + s_plus) * half, (s_plus - s_minus) * half, f34, f44});
  }
  return {};
}

Error no_derivatives() {
  return Error::invalid_input("the solution was computed without derivatives (use compute_with_derivatives)");
}

}  // namespace

Result<const GreekCoefficients<double>*> TMatrixSolution::greek_raw() const {
  const TMatrixModes<double>& modes = state_->converged.solved.modes;
  const Result<GreekCoefficients<double>>& cached = state_->greek.get_or_init(
      [&] { return random::greek_raw<double>(modes, 2 * modes.n_terms); });
  if (!cached) return std::unexpected(cached.error());
  return &*cached;
}

std::array<double, 5> TMatrixSolution::efficiencies() const {
  // The cross sections, one chain of sums, beside the Greek coefficients'
  // parallel loops.
  std::optional<Result<const GreekCoefficients<double>*>> greek;
  std::pair<double, double> sections{0.0, 0.0};
  pool::for_each_index(2, [&](std::size_t i) {
    if (i == 0) {
      greek.emplace(greek_raw());
    } else {
      sections = state_->converged.solved.modes.cross_sections();
    }
  }, pool::Grain::One);
  const Result<const GreekCoefficients<double>*>& raw = *greek;
  const auto [c_ext, c_sca] = sections;
  const double x = state_->x;
  const double g_geo = (x * constants::PI) * x;
  std::array<double, 5> q{c_ext / g_geo, c_sca / g_geo, (c_ext - c_sca) / g_geo,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::quiet_NaN()};
  if (raw) {
    const std::vector<double>& alpha = (*raw)->alpha1;
    // F11(pi) = sum (-1)^l alpha1_l, d^l_00(-1) = (-1)^l.
    double s = 0.0;
    for (std::size_t l = 0; l < alpha.size(); ++l) s = (l % 2 == 0) ? s + alpha[l] : s - alpha[l];
    q[3] = (s * constants::FOUR_PI) / g_geo;
    const double a1 = alpha.size() > 1 ? alpha[1] : 0.0;
    q[4] = alpha[0] > 0.0 ? a1 / (3.0 * alpha[0]) : 0.0;
  }
  return q;
}

Result<GreekCoefficients<double>> TMatrixSolution::greek(std::optional<std::size_t> order,
                                                         bool unnormalized) const {
  VANTOK_TRY(big_l, greek_order(order, 2 * state_->converged.solved.modes.n_terms));
  VANTOK_TRY(raw, greek_raw());
  GreekCoefficients<double> out = greek_of<double>(*raw, state_->x, big_l, unnormalized);
  if (!unnormalized) out.alpha1[0] = 1.0;
  return out;
}

Result<void> TMatrixSolution::phase_matrix(std::span<const double> mu, bool unnormalized,
                                           PhaseBuffers out) const {
  VANTOK_CHECK(check_buffers(mu.size(), out));
  VANTOK_TRY(g, greek(std::nullopt, unnormalized));
  return phase_series<double>(g, mu, [&](std::size_t k, const std::array<double, 6>& f) { store(out, k, f); });
}

Result<const GreekCoefficients<DualF64>*> TMatrixSolution::greek_raw_dual() const {
  if (!state_->derivatives) return std::unexpected(no_derivatives());
  const TMatrixModes<DualF64>& modes = *state_->derivatives;
  const Result<GreekCoefficients<DualF64>>& cached = state_->greek_dual.get_or_init(
      [&] { return random::greek_raw<DualF64>(modes, 2 * modes.n_terms); });
  if (!cached) return std::unexpected(cached.error());
  return &*cached;
}

std::optional<EfficiencyJacobian> TMatrixSolution::efficiencies_jacobian() const {
  if (!state_->derivatives) return std::nullopt;
  const auto raw = greek_raw_dual();
  if (!raw) return std::nullopt;
  const auto [c_ext, c_sca] = state_->derivatives->cross_sections();
  // G = pi x^2 with x seeded: the x partials of the efficiencies carry -2Q/x.
  const DualF64 x = DualF64::variable(state_->x, 0);
  const DualF64 g_geo = (scalar::ScalarTraits<DualF64>::pi() * x) * x;
  const std::vector<DualF64>& alpha = (*raw)->alpha1;
  DualF64 s = cst<DualF64>(0.0);
  for (std::size_t l = 0; l < alpha.size(); ++l) s = (l % 2 == 0) ? s + alpha[l] : s - alpha[l];
  DualF64 g = cst<DualF64>(0.0);
  if (alpha[0].value > 0.0) {
    const DualF64 a1 = alpha.size() > 1 ? alpha[1] : cst<DualF64>(0.0);
    g = a1 / (cst<DualF64>(3.0) * alpha[0]);
  }
  const std::array<DualF64, 5> q{c_ext / g_geo, c_sca / g_geo, (c_ext - c_sca) / g_geo,
                                 (cst<DualF64>(constants::FOUR_PI) * s) / g_geo, g};
  EfficiencyJacobian out;
  for (std::size_t p = 0; p < 4; ++p) {
    for (std::size_t c = 0; c < 5; ++c) out[p][c] = q[c].partials[p];
  }
  return out;
}

Result<GreekWithDerivatives> TMatrixSolution::greek_with_derivatives(std::optional<std::size_t> order,
                                                                     bool unnormalized) const {
  VANTOK_TRY(big_l, greek_order(order, 2 * state_->converged.solved.modes.n_terms));
  VANTOK_TRY(raw, greek_raw_dual());
  GreekCoefficients<DualF64> scaled =
      greek_of<DualF64>(*raw, DualF64::variable(state_->x, 0), big_l, unnormalized);
  const std::size_t len = big_l + 1;
  GreekWithDerivatives out{GreekCoefficients<double>::zeros(len), {}};
  for (auto& d : out.second) d = GreekCoefficients<double>::zeros(len);
  const auto series = scaled.vectors();
  const auto values = out.first.vectors();
  for (std::size_t v = 0; v < 6; ++v) {
    for (std::size_t l = 0; l < len; ++l) {
      (*values[v])[l] = (*series[v])[l].value;
      for (std::size_t p = 0; p < 4; ++p) (*out.second[p].vectors()[v])[l] = (*series[v])[l].partials[p];
    }
  }
  if (!unnormalized) {
    out.first.alpha1[0] = 1.0;
    for (auto& d : out.second) d.alpha1[0] = 0.0;
  }
  return out;
}

Result<void> TMatrixSolution::phase_matrix_with_derivatives(
    std::span<const double> mu, bool unnormalized, PhaseBuffers values,
    const Derivatives<PhaseBuffers>& derivatives) const {
  VANTOK_CHECK(check_buffers(mu.size(), values));
  for (const PhaseBuffers& group : derivatives) VANTOK_CHECK(check_buffers(mu.size(), group));
  VANTOK_TRY(raw, greek_raw_dual());
  const GreekCoefficients<DualF64> scaled = greek_of<DualF64>(
      *raw, DualF64::variable(state_->x, 0), 2 * state_->derivatives->n_terms, unnormalized);
  return phase_series<DualF64>(scaled, mu, [&](std::size_t k, const std::array<DualF64, 6>& f) {
    std::array<double, 6> part;
    for (std::size_t i = 0; i < 6; ++i) part[i] = f[i].value;
    store(values, k, part);
    for (std::size_t p = 0; p < 4; ++p) {
      for (std::size_t i = 0; i < 6; ++i) part[i] = f[i].partials[p];
      store(derivatives[p], k, part);
    }
  });
}

}  // namespace vantok::tmatrix
