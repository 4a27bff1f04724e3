// Greek coefficients by Gauss-Legendre projection of the phase matrix:
//   alpha1_l = (2l+1)/2 int F11 d^l_00,          alpha4_l = (2l+1)/2 int F33 d^l_00,
//   alpha2_l +- alpha3_l = (2l+1)/2 int (F11 +- F33) d^l_{2,+-2},
//   beta1_l = (2l+1)/2 int F12 d^l_02,           beta2_l = (2l+1)/2 int F34 d^l_02.
// The unnormalised phase matrix is a polynomial of degree 2N in the cosine, so
// a rule of N + L/2 + 1 nodes gives the coefficients up to rounding; orders
// above 2N vanish and are not projected.
#include "vantok/mie/greek.hpp"

#include "mie/detail_efficiencies.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/lanes.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner_greek.hpp"

#include <algorithm>

namespace vantok::mie {

namespace greek {

template <class T>
GreekCoefficients<T> GreekCoefficients<T>::zeros(std::size_t len) {
  const T zero = scalar::constant<T>(0.0);
  return {std::vector<T>(len, zero), std::vector<T>(len, zero), std::vector<T>(len, zero),
          std::vector<T>(len, zero), std::vector<T>(len, zero), std::vector<T>(len, zero)};
}

template <class T>
void GreekCoefficients<T>::pad(std::size_t len) {
  for (std::vector<T>* v : vectors()) v->resize(len, scalar::constant<T>(0.0));
}

template <class T>
std::array<std::vector<T>*, 6> GreekCoefficients<T>::vectors() {
  return {&alpha1, &alpha2, &alpha3, &alpha4, &beta1, &beta2};
}

template <class T>
std::array<const std::vector<T>*, 6> GreekCoefficients<T>::vectors() const {
  return {&alpha1, &alpha2, &alpha3, &alpha4, &beta1, &beta2};
}

std::string debug(const GreekCoefficients<double>& greek) {
  const char* names[6] = {"alpha1", "alpha2", "alpha3", "alpha4", "beta1", "beta2"};
  std::string out = "GreekCoefficients { ";
  const auto vectors = greek.vectors();
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0) out += ", ";
    out += names[i];
    out += ": ";
    out += fmt::debug_list(std::span<const double>(*vectors[i]));
  }
  out += " }";
  return out;
}

namespace {

using scalar::lanes::Width;

// The weighted phase matrix of one node: F11 w, F33 w, their sum and
// difference, F12, F34 and the weight.
struct NodeFactors {
  double big_a;
  double big_b;
  double sum;
  double difference;
  double f12;
  double f34;
  double w;
};

// The six sums of one table set.
struct Sums {
  double* alpha1;
  double* alpha2;
  double* alpha3;
  double* alpha4;
  double* beta1;
  double* beta2;
};

#define VANTOK_LANES_BODY "mie/detail_greek_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

}  // namespace

Result<std::vector<GreekCoefficients<double>>> GreekProjector::project(
    std::span<const PhaseMatrixTable> tables, Width width) const {
  const std::size_t n_nodes = nodes.size();
  VANTOK_ASSERT(!tables.empty() && tables.size() <= 4 && weights.size() == n_nodes);
  for (const PhaseMatrixTable& t : tables) {
    const std::array<std::size_t, 4> lengths{t.f11.size(), t.f12.size(), t.f33.size(), t.f34.size()};
    for (const std::size_t len : lengths) {
      if (len != n_nodes) {
        return std::unexpected(Error::invalid_input(
            "phase-matrix tables must have one value per node (" + fmt::plain(n_nodes) + "), got " +
            fmt::debug_list(std::span<const std::size_t>(lengths))));
      }
    }
  }
  const std::size_t len = effective_order + 1;
  std::vector<GreekCoefficients<double>> out(tables.size(), GreekCoefficients<double>::zeros(len));
  // The weighted phase matrix of every node and set, formed once.
  std::vector<NodeFactors> factors(tables.size() * n_nodes);
  for (std::size_t s = 0; s < tables.size(); ++s) {
    const PhaseMatrixTable& t = tables[s];
    for (std::size_t k = 0; k < n_nodes; ++k) {
      const double w = weights[k];
      const double big_a = t.f11[k] * w;
      const double big_b = t.f33[k] * w;
      factors[s * n_nodes + k] = {big_a, big_b, big_a + big_b, big_a - big_b, t.f12[k], t.f34[k], w};
    }
  }
  // The four Wigner functions arrive in blocks of degrees, the nodes of each
  // block in ascending order, so every sum over the nodes keeps that order.
  // alpha2 and alpha3 hold the sums S+ and S- until the end.
  width = scalar::lanes::resolve(width);
  VANTOK_ASSERT(width == Width::Two || scalar::lanes::has_avx2());
  const auto accumulate_block = width == Width::Four ? &four::accumulate : &two::accumulate;
  const special::wigner::GreekWigner wigner(effective_order);
  auto accumulate = [&](const special::wigner::GreekBlock& block) {
    for (std::size_t s = 0; s < tables.size(); ++s) {
      GreekCoefficients<double>& g = out[s];
      const Sums sums{g.alpha1.data(), g.alpha2.data(), g.alpha3.data(),
                      g.alpha4.data(), g.beta1.data(),  g.beta2.data()};
      accumulate_block(block, &factors[s * n_nodes + block.first], sums);
    }
  };
  VANTOK_CHECK(wigner.evaluate(nodes, accumulate, width));
  for (GreekCoefficients<double>& g : out) {
    for (std::size_t l = 0; l < len; ++l) {
      const double f = static_cast<double>(2 * l + 1) * 0.5;
      const double s_plus = g.alpha2[l];
      const double s_minus = g.alpha3[l];
      g.alpha1[l] = g.alpha1[l] * f;
      g.alpha4[l] = g.alpha4[l] * f;
      g.beta1[l] = g.beta1[l] * f;
      g.beta2[l] = g.beta2[l] * f;
      g.alpha2[l] = ((s_plus + s_minus) * f) * 0.5;
      g.alpha3[l] = (f * 0.5) * (s_plus - s_minus);
    }
  }
  return out;
}

template struct GreekCoefficients<double>;
template struct GreekCoefficients<scalar::DualF64>;

}  // namespace greek

namespace coefficients {

using greek::GreekCoefficients;
using greek::GreekProjector;
using greek::PhaseMatrixTable;
using mie::detail::scattering_efficiency;

namespace {

// Four vectors of one value per node, and the table view of them.
struct NodeTable {
  explicit NodeTable(std::size_t n) : f11(n, 0.0), f12(n, 0.0), f33(n, 0.0), f34(n, 0.0) {}
  std::vector<double> f11, f12, f33, f34;
  phase::PhaseMatrixBuffers buffers() { return {f11, f12, f33, f34}; }
  PhaseMatrixTable table() const { return {f11, f12, f33, f34}; }
};

}  // namespace

Result<GreekProjector> Coefficients::greek_projector(std::size_t n_terms, std::size_t order) {
  if (order > MAX_GREEK_ORDER) {
    return std::unexpected(Error::invalid_input("the Greek order must be at most " +
                                                fmt::plain(MAX_GREEK_ORDER) + ", got " +
                                                fmt::plain(order)));
  }
  const std::size_t effective = std::min(sat_mul<std::size_t>(2, n_terms), order);
  const std::size_t n_nodes = sat_add<std::size_t>(sat_add<std::size_t>(n_terms, effective / 2), 1);
  if (n_nodes > MAX_GAUSS_LEGENDRE_POINTS) {
    return std::unexpected(Error::invalid_input(
        "the Greek coefficients of a sphere with " + fmt::plain(n_terms) + " terms up to order " +
        fmt::plain(effective) + " need " + fmt::plain(n_nodes) + " quadrature nodes, more than " +
        fmt::plain(MAX_GAUSS_LEGENDRE_POINTS)));
  }
  VANTOK_TRY(rule, special::gauss_legendre::gauss_legendre<double>(n_nodes));
  return GreekProjector{order, std::move(rule.first), std::move(rule.second), effective};
}

void Coefficients::normalize(GreekCoefficients<double>& coefficients, bool normalized) const {
  VANTOK_ASSERT(!coefficients.alpha1.empty());
  const double a0 = coefficients.alpha1[0];
  // A sphere that scatters nothing (S_sca = 0, for instance m = 1 in the ratio
  // regime) projects to all zeros: its unnormalised coefficients are those
  // zeros, not 0/0. The normalised ones stay undefined (NaN).
  if (!normalized && a0 == 0.0) return;
  for (std::vector<double>* v : coefficients.vectors()) {
    for (double& e : *v) e = e / a0;
  }
  coefficients.alpha1[0] = 1.0;
  if (!normalized) {
    const double q_sca = scattering_efficiency(*this);
    for (std::vector<double>* v : coefficients.vectors()) {
      for (double& e : *v) e = e * q_sca;
    }
  }
}

Result<GreekCoefficients<double>> Coefficients::greek(std::size_t order, bool normalized) const {
  VANTOK_TRY(projector, greek_projector(a.size(), order));
  NodeTable values(projector.nodes.size());
  VANTOK_CHECK(phase_matrix(projector.nodes, false, values.buffers()));
  const PhaseMatrixTable tables[1] = {values.table()};
  VANTOK_TRY(sets, projector.project(tables));
  GreekCoefficients<double> result = std::move(sets[0]);
  normalize(result, normalized);
  result.pad(order + 1);
  return result;
}

Result<greek::GreekWithDerivatives> Coefficients::greek_with_derivatives(
    std::size_t order, const CoefficientDerivatives& d, bool normalized) const {
  const std::array<double, 15> jacobian = efficiencies_jacobian(d);
  VANTOK_TRY(projector, greek_projector(a.size(), order));
  const std::size_t n_nodes = projector.nodes.size();
  NodeTable values(n_nodes), dx(n_nodes), dre(n_nodes), dim(n_nodes);
  VANTOK_CHECK(phase_matrix_with_derivatives(projector.nodes, d, false, values.buffers(),
                                             {dx.buffers(), dre.buffers(), dim.buffers()}));
  const PhaseMatrixTable tables[4] = {values.table(), dx.table(), dre.table(), dim.table()};
  VANTOK_TRY(sets, projector.project(tables));
  greek::GreekWithDerivatives out{std::move(sets[0]), std::move(sets[1]), std::move(sets[2]),
                                  std::move(sets[3])};
  GreekCoefficients<double>* derivatives[3] = {&out.x, &out.re_m, &out.im_m};
  const double a0 = out.values.alpha1[0];
  // As in normalize: no scattering, no division (the projections are zeros).
  if (normalized || a0 != 0.0) {
    // Quotient rule for G / a0 with the raw projections G and dG/dp.
    normalize(out.values, true);
    for (GreekCoefficients<double>* dg : derivatives) {
      const double da0 = dg->alpha1[0];
      const auto dv = dg->vectors();
      const auto gv = out.values.vectors();
      for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t l = 0; l < dv[i]->size(); ++l) {
          (*dv[i])[l] = ((*dv[i])[l] - (*gv[i])[l] * da0) / a0;
        }
      }
    }
    if (!normalized) {
      const double q_sca = scattering_efficiency(*this);
      for (std::size_t p = 0; p < 3; ++p) {
        const double dq = jacobian[5 * p + efficiencies::Q_SCA];
        const auto dv = derivatives[p]->vectors();
        const auto gv = out.values.vectors();
        for (std::size_t i = 0; i < 6; ++i) {
          for (std::size_t l = 0; l < dv[i]->size(); ++l) {
            (*dv[i])[l] = (*dv[i])[l] * q_sca + (*gv[i])[l] * dq;
          }
        }
      }
      for (std::vector<double>* v : out.values.vectors()) {
        for (double& e : *v) e = e * q_sca;
      }
    }
  }
  out.values.pad(order + 1);
  for (GreekCoefficients<double>* dg : derivatives) dg->pad(order + 1);
  return out;
}

}  // namespace coefficients
}  // namespace vantok::mie
