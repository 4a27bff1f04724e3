// The single entry of a spheroid solve: input checks in a fixed order, the
// validated domain, the caps of the truncation, convergence, the optional
// derivative solve, and the hand-over of the solved State to the caller's
// slot (replaced only on success).

#include "vantok/tmatrix/tmatrix.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "tmatrix/detail_convergence.hpp"
#include "tmatrix/detail_derivative_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"

namespace vantok::tmatrix {

namespace {

/// re, the sign of im, |im|, then "i": "1.5+0.01i" ("+0i" for Im m = -0.0).
std::string complex_text(Complex<double> m) {
  return fmt::plain(m.re) + (m.im < 0.0 ? "-" : "+") + fmt::plain(std::fabs(m.im)) + "i";
}

bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

Error invalid(std::string message) { return Error::invalid_input(std::move(message)); }

}  // namespace

bool ValidatedDomain::contains(const Spheroid& spheroid) {
  const auto& [x, eps, m] = spheroid;
  const double size = std::hypot(m.re, m.im) * x_max(x, eps);
  return eps >= 0.2 && eps <= 5.0 && x >= 0.3 && size <= 60.0 && m.re >= 1.3 && m.re <= 3.0 &&
         m.im >= 0.0 && m.im <= 0.5;
}

std::size_t start_terms(const Plan& plan, double x, double eps) {
  return plan.n_terms.value_or(std::min<std::size_t>(std::max<std::uint64_t>(n_w(x_max(x, eps)), 4), plan.max_terms));
}

Plan TMatrix::plan(const Spheroid& spheroid) const {
  const auto& [x, eps, m] = spheroid;
  using U = std::uint64_t;
  // The caps of the truncation, saturating for absurd sizes and shapes.
  const double size_max = x_max(x, eps);
  const U terms = sat_add<U>(sat_mul<U>(2, std::max<U>(n_w(std::max(std::hypot(m.re, m.im), 1.0) * size_max), 4)), 20);
  const U theta = sat_add<U>(sat_mul<U>(4, std::max<U>(n_f(eps, rtol), sat_mul<U>(2, std::max<U>(n_w(size_max), 4)))), 40);
  Plan p;
  p.n_terms = n_terms;
  p.n_theta = n_theta;
  p.greek_order = greek_order;
  p.rtol = rtol;
  p.max_terms = std::min<U>(max_terms.value_or(terms), MAX_TMATRIX_ORDER);
  p.max_theta = max_theta.value_or(theta);
  p.allow_unconverged = allow_unconverged;
  p.precision = precision;
  return p;
}

Result<TMatrixSolution> TMatrix::run(std::unique_ptr<State>& slot, const Spheroid& spheroid,
                                     WithDerivatives derivatives) const {
  const auto& [x, eps, m] = spheroid;
  if (!finite_positive(eps)) {
    return std::unexpected(invalid("the aspect ratio must be finite and positive, got " + fmt::plain(eps)));
  }
  if (!finite_positive(x)) {
    return std::unexpected(invalid("x must be finite and positive, got " + fmt::plain(x)));
  }
  if (!(finite_positive(m.re) && std::isfinite(m.im) && m.im >= 0.0)) {
    return std::unexpected(
        invalid("m must be finite with Re m > 0 and Im m \u2265 0, got " + complex_text(m)));
  }
  if (!(rtol > 0.0 && rtol < 1.0)) {
    return std::unexpected(invalid("rtol must be in (0, 1), got " + fmt::plain(rtol)));
  }
  if (!allow_unvalidated) {
    if (!ValidatedDomain::contains(spheroid)) {
      return std::unexpected(Error::outside_validated_domain(
          "aspect ratio " + fmt::plain(eps) + ", x = " + fmt::plain(x) + ", m = " + complex_text(m)));
    }
    if (rtol < 1e-12) {
      return std::unexpected(Error::outside_validated_domain("rtol " + fmt::exp(rtol) + " is below " +
                                                             fmt::exp(1e-12)));
    }
  }

  const Plan plan = this->plan(spheroid);

  if (n_terms && (*n_terms < 1 || *n_terms > MAX_TMATRIX_ORDER)) {
    return std::unexpected(invalid("N must be in 1..=" + fmt::plain(MAX_TMATRIX_ORDER) + ", got " +
                                   fmt::plain(*n_terms)));
  }
  if (n_theta && *n_theta == 0) return std::unexpected(invalid("n_theta must be at least 1"));
  if (greek_order && *greek_order > MAX_GREEK_ORDER) {
    return std::unexpected(invalid("the Greek order must be at most " + fmt::plain(MAX_GREEK_ORDER)));
  }

  VANTOK_TRY(converged, driver::converge(plan, spheroid));
  auto state = std::make_unique<State>();
  // The Greek check's coefficients of the result serve the outputs, unless
  // the derivative solve replaces the T blocks.
  std::optional<GreekCoefficients<double>> raw = std::exchange(converged.greek_raw, std::nullopt);
  if (raw && derivatives == WithDerivatives::No) {
    (void)state->greek.get_or_init([&] { return Result<GreekCoefficients<double>>(std::move(*raw)); });
  }
  if (derivatives == WithDerivatives::Yes) {
    const Solved& s = converged.solved;
    const Truncation truncation{s.modes.n_terms, s.n_theta, s.modes.modes.size() - 1};
    VANTOK_TRY(d, driver::solve_derivatives(spheroid, truncation, precision, rtol));
    converged.solved.modes = d.modes.values();
    converged.solved.paths = std::move(d.paths);
    converged.solved.err = d.err;
    state->derivatives = std::move(d.modes);
  }
  state->converged = std::move(converged);
  state->x = x;
  state->eps = eps;
  state->m = m;
  state->rtol = rtol;
  slot = std::move(state);
  return TMatrixSolution(*slot);
}

}  // namespace vantok::tmatrix
