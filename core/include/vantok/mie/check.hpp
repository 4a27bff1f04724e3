#pragma once
// Input checks of a homogeneous sphere: the default truncation of the Mie
// series, the options every sphere solve takes, the check that fixes the
// number of terms, the steps of it that every layer of a layered sphere
// shares, and the validated domain of the solver.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/limits.hpp"

namespace vantok::mie {

/// The largest number of terms of one sphere.
using ::vantok::MAX_MIE_ORDER;

/// The options of every sphere and layered-sphere check and solve; built by
/// the caller, passed by reference and never kept.
struct SolveOptions {
  /// The number of terms N; absent means the default truncation.
  std::optional<std::size_t> n_max;
  /// Skip the validated-domain tests.
  bool allow_unvalidated = false;
};

/// Default number of terms, ceil(x + 6 x^(1/3) + 3) (Wiscombe's criterion),
/// saturating: NaN, infinities and values from 2^53 up give UINT64_MAX,
/// negative values give 0.
std::uint64_t default_terms(double x);

/// Checks x and m (in a fixed order, the first failure ends the check) and
/// returns the number of terms N.
Result<std::size_t> check_inputs(double x, Complex<double> m, const SolveOptions& options);

// The steps of check_inputs that the layered-sphere check takes as well. A
// sphere's messages speak of "the refractive index" and "|m|", a layered
// sphere's of "the refractive index of layer 3" and "|m| of layer 3".

/// Re m and Im m finite, neither below 0 (-0 passes), then 1e-6 <= |m| <= 1000;
/// the first failure. layer (0 the core) names the layer in the messages.
Result<void> check_index(Complex<double> m, std::optional<std::size_t> layer);

/// N = n_max, or the default truncation d when n_max is absent; refused
/// outside [1, MAX_MIE_ORDER].
Result<std::uint64_t> term_count(const SolveOptions& options, std::uint64_t d);

/// Refuses N below the default truncation d of the size parameter x, named
/// x_name ("x" or "x_L") in the message.
Result<void> check_truncation(std::uint64_t n, std::uint64_t d, std::string_view x_name, double x);

namespace domain {

/// The box of (x, m) within which the homogeneous-sphere results are validated.
struct ValidatedDomain {
  double x_lo;
  double x_hi;
  double re_hi;
  double im_hi;
  double abs_lo;

  /// x_lo <= x <= x_hi, 0 < Re m <= re_hi, 0 <= Im m <= im_hi, |m| >= abs_lo;
  /// any NaN gives false.
  bool contains(double x, Complex<double> m) const;
  /// "x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1"
  std::string to_string() const;
};

/// The validated domain of the homogeneous-sphere solver.
inline constexpr ValidatedDomain VALIDATED{1e-6, 20000.0, 10.0, 10.0, 0.1};

}  // namespace domain

}  // namespace vantok::mie
