// Input checks of a homogeneous sphere, the default truncation and the
// validated domain.
#include "vantok/mie/check.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <optional>
#include <string_view>

#include "vantok/format.hpp"
#include "vantok/limits.hpp"

namespace vantok::mie {

std::uint64_t default_terms(double x) {
  // Grouped as ceil((cbrt(x) * 6 + x) + 3).
  const double v = std::ceil(std::cbrt(x) * 6.0 + x + 3.0);
  if (std::isnan(v) || std::isinf(v) || v >= 9007199254740992.0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  if (v < 0.0) return 0;
  return static_cast<std::uint64_t>(v);
}

Result<void> check_index(Complex<double> m, std::optional<std::size_t> layer) {
  // The messages are formed only on failure: the check runs for every sphere.
  auto subject = [&](const char* head) {
    std::string out = head;
    if (layer) out += " of layer " + fmt::plain(static_cast<std::uint64_t>(*layer));
    return out;
  };
  auto index_error = [&](const char* what) {
    return std::unexpected(Error::invalid_input(subject("the refractive index") + what + fmt::exp(m.re) +
                                                " + " + fmt::exp(m.im) + "i"));
  };
  if (!std::isfinite(m.re) || !std::isfinite(m.im)) return index_error(" must be finite, got ");
  // Written as "fails when 0 > part", so that -0.0 passes.
  if (0.0 > m.re || 0.0 > m.im) {
    return index_error(" must have Re m >= 0 and Im m >= 0 (Im m < 0 is a gain medium), got ");
  }
  constexpr double ABS_MIN = 1e-6;
  constexpr double ABS_MAX = 1000.0;
  const double abs_m = std::hypot(m.re, m.im);
  if (!(ABS_MIN <= abs_m && abs_m <= ABS_MAX)) {
    return std::unexpected(Error::invalid_input(subject("|m|") + " must be in [" + fmt::exp(ABS_MIN) +
                                                ", " + fmt::exp(ABS_MAX) + "], got " + fmt::exp(abs_m)));
  }
  return {};
}

Result<std::uint64_t> term_count(const SolveOptions& options, std::uint64_t d) {
  const std::uint64_t n = options.n_max ? static_cast<std::uint64_t>(*options.n_max) : d;
  if (n < 1 || n > MAX_MIE_ORDER) {
    return std::unexpected(Error::invalid_input("the number of terms must be in [1, " +
                                                fmt::plain(static_cast<std::uint64_t>(MAX_MIE_ORDER)) +
                                                "], got " + fmt::plain(n)));
  }
  return n;
}

Result<void> check_truncation(std::uint64_t n, std::uint64_t d, std::string_view x_name, double x) {
  if (n < d) {
    return std::unexpected(Error::outside_validated_domain(
        "n_max = " + fmt::plain(n) + " is below the default truncation " + fmt::plain(d) + " for " +
        std::string(x_name) + " = " + fmt::exp(x)));
  }
  return {};
}

Result<std::size_t> check_inputs(double x, Complex<double> m, const SolveOptions& options) {
  constexpr double X_MIN = 1e-30;
  constexpr double X_MAX = 1e6;

  if (!(X_MIN <= x && x <= X_MAX)) {
    return std::unexpected(Error::invalid_input("the size parameter x must be in [" + fmt::exp(X_MIN) +
                                                ", " + fmt::exp(X_MAX) + "], got " + fmt::exp(x)));
  }
  VANTOK_CHECK(check_index(m, std::nullopt));
  const std::uint64_t d = default_terms(x);
  VANTOK_TRY(n, term_count(options, d));
  if (!options.allow_unvalidated) {
    if (!domain::VALIDATED.contains(x, m)) {
      return std::unexpected(Error::outside_validated_domain(
          "x = " + fmt::exp(x) + ", m = " + fmt::exp(m.re) + " + " + fmt::exp(m.im) +
          "i is outside the validated domain " + domain::VALIDATED.to_string()));
    }
    VANTOK_CHECK(check_truncation(n, d, "x", x));
  }
  return static_cast<std::size_t>(n);
}

namespace domain {

bool ValidatedDomain::contains(double x, Complex<double> m) const {
  return x_lo <= x && x <= x_hi && 0.0 < m.re && m.re <= re_hi && 0.0 <= m.im && m.im <= im_hi &&
         std::hypot(m.re, m.im) >= abs_lo;
}

std::string ValidatedDomain::to_string() const {
  return "x in [" + fmt::exp(x_lo) + ", " + fmt::exp(x_hi) + "], 0 < Re m <= " + fmt::plain(re_hi) +
         ", 0 <= Im m <= " + fmt::plain(im_hi) + ", |m| >= " + fmt::plain(abs_lo);
}

}  // namespace domain

}  // namespace vantok::mie
