// Input checks and validated domain of a layered sphere.
#include "vantok/layered/check.hpp"

#include <cmath>

#include "vantok/format.hpp"

namespace vantok::layered {

using C = Complex<double>;

Result<void> check_layer_count(std::size_t x_count, std::size_t m_count) {
  if (x_count == 0 || m_count != x_count) {
    return std::unexpected(Error::invalid_input(
        "a layered sphere needs one size parameter and one refractive index per layer, got " +
        fmt::plain(static_cast<std::uint64_t>(x_count)) + " and " +
        fmt::plain(static_cast<std::uint64_t>(m_count))));
  }
  if (x_count > MAX_LAYERS) {
    return std::unexpected(Error::invalid_input(
        "at most " + fmt::plain(static_cast<std::uint64_t>(MAX_LAYERS)) + " layers are accepted, got " +
        fmt::plain(static_cast<std::uint64_t>(x_count))));
  }
  return {};
}

Result<std::size_t> check_inputs(std::span<const double> xs, std::span<const C> ms, const mie::SolveOptions& options) {
  VANTOK_CHECK(check_layer_count(xs.size(), ms.size()));
  const std::size_t layers = xs.size();
  for (std::size_t l = 0; l < layers; ++l) {
    if (!std::isfinite(xs[l])) {
      return std::unexpected(Error::invalid_input("the size parameter of layer " +
                                                  fmt::plain(static_cast<std::uint64_t>(l)) +
                                                  " must be finite, got " + fmt::exp(xs[l])));
    }
  }
  for (std::size_t l = 1; l < layers; ++l) {
    if (xs[l - 1] > xs[l]) {
      return std::unexpected(Error::invalid_input(
          "the size parameters must be nondecreasing from the core out, but layer " +
          fmt::plain(static_cast<std::uint64_t>(l)) + " has " + fmt::exp(xs[l]) + " < " +
          fmt::exp(xs[l - 1])));
    }
  }
  const double x_outer = xs[layers - 1];
  if (!(xs[0] >= 1e-30 && x_outer <= 1e6)) {
    return std::unexpected(Error::invalid_input("the size parameters must be in [" + fmt::exp(1e-30) +
                                                ", " + fmt::exp(1e6) + "], got " + fmt::exp(xs[0]) +
                                                " to " + fmt::exp(x_outer)));
  }
  for (std::size_t l = 0; l < layers; ++l) {
    VANTOK_CHECK(mie::check_index(ms[l], l));
  }
  const std::uint64_t d = mie::default_terms(x_outer);
  VANTOK_TRY(n, mie::term_count(options, d));
  if (!options.allow_unvalidated) {
    if (!domain::VALIDATED.contains(xs, ms)) {
      return std::unexpected(Error::outside_validated_domain(
          "a layered sphere of " + fmt::plain(static_cast<std::uint64_t>(layers)) + " layers with x_L = " +
          fmt::exp(x_outer) + " and m = " + fmt::debug_list(ms) + " is outside the validated domain " +
          domain::VALIDATED.to_string()));
    }
    VANTOK_CHECK(mie::check_truncation(n, d, "x_L", x_outer));
  }
  return static_cast<std::size_t>(n);
}

Result<void> check_derivative_limit(const mie::SolveOptions& options, bool derivatives,
                                    std::span<const double> xs) {
  if (derivatives && xs.size() > 1 && !options.allow_unvalidated) {
    const double x_outer = xs.back();
    if (!(x_outer <= domain::DERIVATIVE_X_MAX)) {
      return std::unexpected(Error::outside_validated_domain(
          "the derivatives are validated up to x_L = " + fmt::exp(domain::DERIVATIVE_X_MAX) +
          ", got " + fmt::exp(x_outer)));
    }
  }
  return {};
}

namespace domain {

bool ValidatedDomain::contains(std::span<const double> xs, std::span<const C> ms) const {
  if (xs.size() == 1 && ms.size() == 1) return mie::domain::VALIDATED.contains(xs[0], ms[0]);
  if (xs.empty() || ms.size() != xs.size()) return false;
  if (!(xs.size() <= max_layers)) return false;
  const double x_outer = xs.back();
  if (!(x_lo <= x_outer && x_outer <= x_hi)) return false;
  for (const C& m : ms) {
    if (!(std::hypot(m.re, m.im) * x_outer <= abs_x_hi)) return false;
  }
  for (const C& m : ms) {
    if (!(0.0 < m.re && m.re <= re_hi && 0.0 <= m.im && m.im <= im_hi &&
          std::hypot(m.re, m.im) >= abs_lo)) {
      return false;
    }
  }
  return true;
}

std::string ValidatedDomain::to_string() const {
  return "x_L in [" + fmt::exp(x_lo) + ", " + fmt::exp(x_hi) + "], every layer 0 < Re m <= " +
         fmt::plain(re_hi) + ", 0 <= Im m <= " + fmt::plain(im_hi) + ", |m| >= " + fmt::plain(abs_lo) +
         " and |m| x_L <= " + fmt::exp(abs_x_hi) + ", at most " +
         fmt::plain(static_cast<std::uint64_t>(max_layers)) + " layers";
}

}  // namespace domain

}  // namespace vantok::layered
