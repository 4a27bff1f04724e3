#pragma once
// The checks a homogeneous sphere and every layer of a layered sphere share,
// with their messages. A sphere's messages speak of "the refractive index" and
// "|m|", a layered sphere's of "the refractive index of layer 3" and "|m| of
// layer 3".

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::mie::detail {

/// Re m and Im m finite, neither below 0 (-0 passes), then 1e-6 <= |m| <= 1000;
/// the first failure. layer (0 the core) names the layer in the messages.
Result<void> check_index(Complex<double> m, std::optional<std::size_t> layer);

/// N = n_max, or the default truncation d when n_max is absent; refused
/// outside [1, MAX_MIE_ORDER].
Result<std::uint64_t> term_count(const SolveOptions& options, std::uint64_t d);

/// Refuses N below the default truncation d of the size parameter x, named
/// x_name ("x" or "x_L") in the message.
Result<void> check_truncation(std::uint64_t n, std::uint64_t d, std::string_view x_name, double x);

}  // namespace vantok::mie::detail
