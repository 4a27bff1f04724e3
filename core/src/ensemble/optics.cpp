// Particle optics at one radius on reusable solver buffers.
#include "vantok/ensemble/optics.hpp"

#include "vantok/layered/check.hpp"

namespace vantok::ensemble::particle {

Optics Optics::at(const ensemble::Particle& particle, std::size_t index) {
  if (const auto* sphere = particle.get_if<ensemble::Sphere>()) {
    VANTOK_ASSERT(index < sphere->m.size());
    return {Sphere{sphere->m[index]}};
  }
  const auto& layered = std::get<ensemble::LayeredSphere>(particle.kind);
  for (const auto& layer : layered.layers) VANTOK_ASSERT(index < layer.size());
  return {Layered{layered.radius_fractions, layered.layers, index}};
}

void Optics::layers(std::vector<double>& xs, std::vector<Complex<double>>& ms, double x) const {
  const auto* layered = std::get_if<Layered>(&kind);
  VANTOK_ASSERT(layered != nullptr);
  xs.clear();
  ms.clear();
  for (double fraction : layered->radius_fractions) xs.push_back(fraction * x);
  xs.push_back(x);
  for (const auto& layer : layered->layer_indices) ms.push_back(layer[layered->wavelength]);
}

Result<std::size_t> Optics::n_terms(const mie::SolveOptions& options, double x) const {
  if (const auto* sphere = std::get_if<Sphere>(&kind)) return mie::check_inputs(x, sphere->m, options);
  std::vector<double> xs;
  std::vector<Complex<double>> ms;
  layers(xs, ms, x);
  return layered::check_inputs(xs, ms, options);
}

Result<ParticleSolution> Solver::solve(const Optics& optics, const mie::SolveOptions& options, bool derivatives,
                                       double x) {
  views_.clear();
  if (const auto* sphere = std::get_if<Optics::Sphere>(&optics.kind)) {
    VANTOK_TRY(state, mie_.solve(options, derivatives, x, sphere->m));
    if (state->derivatives) views_.push_back(state->coefficient_derivatives());
    return ParticleSolution{views_, state->coefficients(), {}};
  }
  // The layered solver runs the layered checks, then the derivative limit on
  // x_L, then solves one layer as a homogeneous sphere or several by the
  // layered kernel, into the outermost layer's State.
  const auto& layered = std::get<Optics::Layered>(optics.kind);
  optics.layers(xs_, ms_, x);
  VANTOK_TRY(state, layered_.solve(options, derivatives, xs_, ms_));
  if (state->derivatives) {
    for (std::size_t l = 0; l < layered_.layers(); ++l) views_.push_back(layered_.layer_derivatives(l));
  }
  return ParticleSolution{views_, state->coefficients(), layered.radius_fractions};
}

StoredSolution::StoredSolution(const ParticleSolution& solution, const std::array<double, 5>& efficiencies)
    : efficiencies_(efficiencies),
      x_(solution.coefficients.x),
      s_abs_(solution.coefficients.s_abs),
      n_(solution.coefficients.a.size()),
      radius_fractions_(solution.radius_fractions) {
  const auto& c = solution.coefficients;
  VANTOK_ASSERT(c.b.size() == n_);
  data_.reserve((2 + 4 * solution.derivatives.size()) * n_);
  auto append = [&](std::span<const Complex<double>> v) {
    VANTOK_ASSERT(v.size() >= n_);
    data_.insert(data_.end(), v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n_));
  };
  append(c.a);
  append(c.b);
  for (const mie::coefficients::CoefficientDerivatives& d : solution.derivatives) {
    append(d.da_dx);
    append(d.da_dm);
    append(d.db_dx);
    append(d.db_dm);
  }
  // The views into data_, whose storage a move keeps.
  for (std::size_t l = 0; l < solution.derivatives.size(); ++l) {
    mie::coefficients::CoefficientDerivatives v = solution.derivatives[l];
    const Complex<double>* p = data_.data() + (2 + 4 * l) * n_;
    v.da_dx = {p, n_};
    v.da_dm = {p + n_, n_};
    v.db_dx = {p + 2 * n_, n_};
    v.db_dm = {p + 3 * n_, n_};
    views_.push_back(v);
  }
}

ParticleSolution StoredSolution::view() const noexcept {
  return {views_, {{data_.data(), n_}, {data_.data() + n_, n_}, x_, s_abs_}, radius_fractions_};
}

std::size_t StoredSolution::bytes(const ParticleSolution& solution) noexcept {
  const std::size_t values = (2 + 4 * solution.derivatives.size()) * solution.coefficients.a.size();
  return sizeof(StoredSolution) + values * sizeof(Complex<double>) +
         solution.derivatives.size() * sizeof(mie::coefficients::CoefficientDerivatives);
}

}  // namespace vantok::ensemble::particle
