// Size distributions: checks, parameter tables and the number density.
//
// The density of each smooth kind is exp(L(r)) with L formed relative to the
// kind's reference radius a (its mode where it has one), so that n stays near 1
// at the peak and neither overflows nor underflows over the integration range.
#include "vantok/ensemble/distribution.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "ensemble/detail_overload.hpp"
#include "vantok/format.hpp"

namespace vantok::ensemble {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

constexpr std::array<std::string_view, 2> LOGNORMAL_NAMES = {"median_radius", "width"};
constexpr std::array<std::string_view, 2> GAMMA_NAMES = {"effective_radius", "effective_variance"};
constexpr std::array<std::string_view, 3> MODIFIED_GAMMA_NAMES = {"alpha", "b", "gamma"};
constexpr std::array<std::string_view, 1> POWER_LAW_NAMES = {"exponent"};
constexpr std::array<std::string_view, 1> MONODISPERSE_NAMES = {"radius"};

using detail::Overload;

Result<void> invalid(std::string message) { return std::unexpected(Error::invalid_input(std::move(message))); }

// "{} must be finite and > 0, got {}": a positive subnormal passes, ±0 fails.
Result<void> check_positive(std::string_view name, double v) {
  if (std::isfinite(v) && v > 0.0) return {};
  return invalid(std::string(name) + " must be finite and > 0, got " + fmt::plain(v));
}

Result<void> check_kind(const Lognormal& d) {
  VANTOK_CHECK(check_positive("median_radius", d.median_radius));
  if (!(std::isfinite(d.width) && d.width > 1.0)) {
    return invalid("the lognormal width must be finite and > 1, got " + fmt::plain(d.width));
  }
  return {};
}

Result<void> check_kind(const Gamma& d) {
  VANTOK_CHECK(check_positive("effective_radius", d.effective_radius));
  const double v = d.effective_variance;
  if (!(v > 0.0 && v < 0.5)) return invalid("effective_variance must be in (0, 0.5), got " + fmt::plain(v));
  return {};
}

Result<void> check_kind(const ModifiedGamma& d) {
  if (!(std::isfinite(d.alpha) && d.alpha > -1.0)) {
    return invalid("alpha must be finite and > -1, got " + fmt::plain(d.alpha));
  }
  VANTOK_CHECK(check_positive("b", d.b));
  return check_positive("gamma", d.gamma);
}

Result<void> check_kind(const PowerLaw& d) {
  if (!std::isfinite(d.exponent)) return invalid("exponent must be finite, got " + fmt::plain(d.exponent));
  VANTOK_CHECK(check_positive("min_radius", d.min_radius));
  VANTOK_CHECK(check_positive("max_radius", d.max_radius));
  if (!(d.min_radius < d.max_radius)) {
    return invalid("min_radius must be < max_radius, got " + fmt::plain(d.min_radius) + " and " +
                   fmt::plain(d.max_radius));
  }
  return {};
}

Result<void> check_kind(const Monodisperse& d) { return check_positive("radius", d.radius); }

Result<void> check_kind(const Tabulated& d) {
  const auto [n, densities] = d.unread_lengths.value_or(std::pair{d.radii.size(), d.densities.size()});
  if (n < 2 || densities != n) {
    return invalid("a tabulated distribution needs at least 2 points and as many densities as radii, got " +
                   fmt::plain(static_cast<std::uint64_t>(n)) + " radii and " +
                   fmt::plain(static_cast<std::uint64_t>(densities)) + " densities");
  }
  // A table is left unread only when its lengths are refused.
  VANTOK_ASSERT(!d.unread_lengths);
  for (double r : d.radii) VANTOK_CHECK(check_positive("radius", r));
  for (std::size_t i = 1; i < n; ++i) {
    if (!(d.radii[i] > d.radii[i - 1])) return invalid("tabulated radii must increase");
  }
  // -0 counts as 0 and passes.
  for (double v : d.densities) {
    if (!(std::isfinite(v) && v >= 0.0)) return invalid("tabulated densities must be finite and >= 0");
  }
  if (std::all_of(d.densities.begin(), d.densities.end(), [](double v) { return v == 0.0; })) {
    return invalid("tabulated densities must not all be 0");
  }
  return {};
}

Result<void> check_kind(const Multimodal& d) {
  if (d.modes.empty()) return invalid("a multimodal distribution needs a mode");
  for (std::size_t i = 0; i < d.modes.size(); ++i) {
    const std::string index = fmt::plain(static_cast<std::uint64_t>(i));
    VANTOK_CHECK(check_positive("the weight of mode " + index, d.modes[i].weight));
    // The mode's whole text ("invalid input: ...") is embedded.
    if (auto inner = d.modes[i].distribution.validate(); !inner) {
      return invalid("mode " + index + ": " + inner.error().to_string());
    }
  }
  return {};
}

}  // namespace

Result<void> SizeDistribution::validate() const {
  return std::visit([](const auto& d) { return check_kind(d); }, kind);
}

std::span<const std::string_view> SizeDistribution::parameter_names() const {
  return std::visit(
      Overload{[](const Lognormal&) { return std::span<const std::string_view>(LOGNORMAL_NAMES); },
               [](const Gamma&) { return std::span<const std::string_view>(GAMMA_NAMES); },
               [](const ModifiedGamma&) { return std::span<const std::string_view>(MODIFIED_GAMMA_NAMES); },
               [](const PowerLaw&) { return std::span<const std::string_view>(POWER_LAW_NAMES); },
               [](const Monodisperse&) { return std::span<const std::string_view>(MONODISPERSE_NAMES); },
               [](const Tabulated&) { return std::span<const std::string_view>(); },
               [](const Multimodal&) { return std::span<const std::string_view>(); }},
      kind);
}

std::optional<std::size_t> parameter_slot(const SizeDistribution& distribution, std::string_view name) {
  const auto names = distribution.parameter_names();
  const auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end()) return std::nullopt;
  return static_cast<std::size_t>(it - names.begin());
}

Density::Density(const SizeDistribution& d) : distribution(&d), reference(1.0), scale(INF) {
  std::visit(Overload{[&](const Lognormal& k) {
                        reference = k.median_radius;
                        scale = std::log(k.width);
                      },
                      [&](const Gamma& k) {
                        // The mode a_e(1 - 3v) when the density has an interior
                        // maximum; formed as (a_e·((1 - 3v)/v))·v from the
                        // exponent the density uses.
                        const double v = k.effective_variance;
                        const double exponent = (1.0 - 3.0 * v) / v;
                        reference = exponent > 0.0 ? (k.effective_radius * exponent) * v : k.effective_radius;
                        scale = std::sqrt(v / (1.0 - 2.0 * v));
                      },
                      [&](const ModifiedGamma& k) {
                        // The mode (alpha/(b gamma))^(1/gamma) for alpha >= 1.
                        reference = std::pow(std::fmax(k.alpha, 1.0) / (k.b * k.gamma), 1.0 / k.gamma);
                        scale = k.alpha > 0.0 ? 1.0 / std::sqrt(k.alpha * k.gamma) : 1.0 / k.gamma;
                      },
                      [&](const PowerLaw& k) { reference = k.exponent >= 0.0 ? k.min_radius : k.max_radius; },
                      [](const Monodisperse&) {}, [](const Tabulated&) {}, [](const Multimodal&) {}},
             d.kind);
}

namespace {

// n = exp(L) and out[k] = n·dL/dp_k for the slots the slice holds (at most
// three; a slot the kind lacks is written as n·0).
double from_log(double log_n, std::span<double> out, std::array<double, 3> dlog) {
  const double n = std::exp(log_n);
  const std::size_t count = std::min<std::size_t>(out.size(), 3);
  for (std::size_t k = 0; k < count; ++k) out[k] = n * dlog[k];
  return n;
}

void zero(std::span<double> out) { std::fill(out.begin(), out.end(), 0.0); }

}  // namespace

double Density::eval(double r, std::span<double> out) const {
  const double a = reference;
  return std::visit(
      Overload{
          [&](const Lognormal& k) {
            // L = -u²/(2s²) - ln s - ℓ with u = ln r - ln r_m (a difference of
            // logarithms) and ℓ = ln(r/a).
            const double s = scale;
            const double u = std::log(r) - std::log(k.median_radius);
            const double l = std::log(r / a);
            const double log_n = -(u * u) / (2.0 * s * s) - std::log(s) - l;
            return from_log(log_n, out,
                            {u / (s * s * k.median_radius), (u * u / (s * s * s) - 1.0 / s) / k.width, 0.0});
          },
          [&](const Gamma& k) {
            // L = ((1 - 3v)/v)·ℓ - (r - a)/(a_e·v).
            const double ae = k.effective_radius;
            const double v = k.effective_variance;
            const double l = std::log(r / a);
            const double log_n = (1.0 - 3.0 * v) / v * l - (r - a) / (ae * v);
            return from_log(log_n, out, {(r - a) / (ae * ae * v), (r - a) / (ae * v * v) - l / (v * v), 0.0});
          },
          [&](const ModifiedGamma& k) {
            // L = alpha·ℓ - b·(r^gamma - a^gamma).
            const double l = std::log(r / a);
            const double rg = std::pow(r, k.gamma);
            const double ag = std::pow(a, k.gamma);
            const double log_n = k.alpha * l - k.b * (rg - ag);
            if (out.size() < 3) return from_log(log_n, out, {l, -(rg - ag), 0.0});
            return from_log(log_n, out, {l, -(rg - ag), -k.b * (rg * std::log(r) - ag * std::log(a))});
          },
          [&](const PowerLaw& k) {
            // Both ends belong to the range.
            if (r < k.min_radius || r > k.max_radius) {
              zero(out);
              return 0.0;
            }
            const double l = std::log(r / a);
            return from_log(-k.exponent * l, out, {-l, 0.0, 0.0});
          },
          [&](const Monodisperse&) { return from_log(0.0, out, {0.0, 0.0, 0.0}); },
          [&](const Tabulated& k) {
            // Linear in r on the densities themselves, 0 outside the table.
            zero(out);
            const std::vector<double>& x = k.radii;
            const std::size_t n = x.size();
            if (r < x.front() || r > x.back()) return 0.0;
            const std::size_t j = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), r) - x.begin());
            const std::size_t i = std::clamp<std::size_t>(j, 1, n - 1);
            const double w = (r - x[i - 1]) / (x[i] - x[i - 1]);
            return k.densities[i - 1] + (k.densities[i] - k.densities[i - 1]) * w;
          },
          [](const Multimodal&) -> double {
            throw InternalFailure("internal error: entered unreachable code: multimodal distributions are split");
          }},
      distribution->kind);
}

}  // namespace vantok::ensemble
