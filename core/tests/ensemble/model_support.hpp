#pragma once
// Builders of ensemble requests, and a solved sphere, for the ensemble tests.

#include <cstddef>
#include <utility>
#include <vector>

#include "vantok/ensemble/ensemble.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok::test::ensemble {

using namespace ::vantok::ensemble;

inline SizeDistribution lognormal(double median, double width) { return {Lognormal{median, width}}; }
inline SizeDistribution gamma(double radius, double variance) { return {Gamma{radius, variance}}; }
inline SizeDistribution modified_gamma(double alpha, double b, double g) { return {ModifiedGamma{alpha, b, g}}; }
inline SizeDistribution power_law(double e, double lo, double hi) { return {PowerLaw{e, lo, hi}}; }
inline SizeDistribution monodisperse(double r) { return {Monodisperse{r}}; }
inline SizeDistribution tabulated(std::vector<double> radii, std::vector<double> densities) {
  return {Tabulated{std::move(radii), std::move(densities)}};
}
inline SizeDistribution multimodal(std::vector<Mode> modes) { return {Multimodal{std::move(modes)}}; }

/// A sphere with `count` refractive indices 1.5 + 0.01i.
inline Particle sphere(std::size_t count) { return {Sphere{std::vector<Complex<double>>(count, {1.5, 0.01})}}; }

/// A layered sphere with the given fractions, one layer more than fractions,
/// `count` indices 1.4 per layer.
inline Particle layered(std::vector<double> fractions, std::size_t count) {
  std::vector<std::vector<Complex<double>>> layers(fractions.size() + 1,
                                                   std::vector<Complex<double>>(count, {1.4, 0.0}));
  return {LayeredSphere{std::move(fractions), std::move(layers)}};
}

inline EnsembleOptions options(double rtol = 1e-6, std::size_t max_panels = 100) {
  EnsembleOptions o;
  o.rtol = rtol;
  o.max_panels = max_panels;
  return o;
}

/// The sphere at (x, m) with its default number of terms.
struct SolvedSphere {
  SolvedSphere(double x, Complex<double> m, bool derivatives) : n_terms(*mie::check_inputs(x, m, {})) {
    state.prepare(n_terms, x, m);
    state.finish(n_terms, derivatives, x, m);
  }
  std::size_t n_terms;
  mie::kernel::State state;
};

}  // namespace vantok::test::ensemble
