// Input checks of layered spheres in the order of the checks (counts, then
// size parameters, then each layer's index in full, then terms, domain and
// truncation), and the validated domain.
#include "vantok/layered/check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/expect_error.hpp"
#include "vantok/mie/check.hpp"

using vantok::layered::check_inputs;
using vantok::layered::check_layer_count;
using vantok::mie::SolveOptions;
using C = vantok::Complex<double>;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto INVALID = vantok::Error::Kind::InvalidInput;
constexpr auto OUTSIDE = vantok::Error::Kind::OutsideValidatedDomain;
const std::string COUNT = "a layered sphere needs one size parameter and one refractive index per layer, got ";
const std::string DOMAIN = "x_L in [1e-6, 1e4], every layer 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1 and |m| x_L "
                           "<= 3e4, at most 16 layers";

TEST(LayeredCheck, RefusalsInOrder) {
  struct Case {
    std::vector<double> xs;
    std::vector<C> ms;
    SolveOptions options;
    vantok::Error::Kind kind;
    std::string message;
  };
  const C m{1.5, 0.0};
  const Case cases[] = {
      {{1.0}, {}, {}, INVALID, COUNT + "1 and 0"},
      {{}, {}, {}, INVALID, COUNT + "0 and 0"},
      {{1.0, 2.0}, {m}, {}, INVALID, COUNT + "2 and 1"},
      // 1025 layers fail before any value is read (these are NaN).
      {std::vector<double>(1025, NaN), std::vector<C>(1025, C{NaN, NaN}), {}, INVALID, "at most 1024 layers are accepted, got 1025"},
      {{2.0, NaN}, {m, m}, {}, INVALID, "the size parameter of layer 1 must be finite, got NaN"},
      {{2.0, 1.0}, {m, m}, {}, INVALID, "the size parameters must be nondecreasing from the core out, but layer 1 has 1e0 < 2e0"},
      {{0.0, 5.0}, {m, m}, {}, INVALID, "the size parameters must be in [1e-30, 1e6], got 0e0 to 5e0"},
      {{1.0, 2e6}, {m, m}, {}, INVALID, "the size parameters must be in [1e-30, 1e6], got 1e0 to 2e6"},
      {{1.0, 2.0}, {m, {-0.1, 0.0}}, {}, INVALID, "the refractive index of layer 1 must have Re m >= 0 and Im m >= 0 "
                                                   "(Im m < 0 is a gain medium), got -1e-1 + 0e0i"},
      {{1.0, 2.0}, {{NaN, 0.0}, {-0.1, 0.0}}, {}, INVALID, "the refractive index of layer 0 must be finite, got NaN + 0e0i"},
      {{1.0, 2.0}, {{0.0, 0.0}, {-0.1, 0.0}}, {}, INVALID, "|m| of layer 0 must be in [1e-6, 1e3], got 0e0"},
      {{1.0, 2.0}, {m, {2000.0, 0.0}}, {}, INVALID, "|m| of layer 1 must be in [1e-6, 1e3], got 2e3"},
      {{1.0, 2.0}, {m, {8.0, 0.0}}, {0, false}, INVALID, "the number of terms must be in [1, 1048576], got 0"},
      {{1000.0, 5000.0}, {m, {8.0, 0.0}}, {}, OUTSIDE, "a layered sphere of 2 layers with x_L = 5e3 and m = [Complex { re: "
                                                        "1.5, im: 0.0 }, Complex { re: 8.0, im: 0.0 }] is outside the "
                                                        "validated domain " + DOMAIN},
      // The debug form of small parts switches to the exponent layout.
      {{1.0, 2.0}, {{1.5, 1e-5}, {0.05, 0.001}}, {}, OUTSIDE, "a layered sphere of 2 layers with x_L = 2e0 and m = [Complex { "
                                                               "re: 1.5, im: 1e-5 }, Complex { re: 0.05, im: 0.001 }] is "
                                                               "outside the validated domain " + DOMAIN},
      {{0.5, 1.0}, {m, m}, {9, false}, OUTSIDE, "n_max = 9 is below the default truncation 10 for x_L = 1e0"},
  };
  for (const Case& c : cases) vantok::test::expect_error(check_inputs(c.xs, c.ms, c.options), c.kind, c.message);
  vantok::test::expect_error(check_layer_count(1025, 1025), INVALID, "at most 1024 layers are accepted, got 1025");
  EXPECT_TRUE(check_layer_count(1024, 1024).has_value());
}

// One layer takes the homogeneous limits; two layers stop at x_L = 1e4, and
// the domain ends at 16 layers; equal radii pass; allow_unvalidated lifts the
// domain (also for 1024 layers).
TEST(LayeredCheck, ValidatedDomainAndWhatPasses) {
  EXPECT_EQ(vantok::layered::domain::VALIDATED.to_string(), DOMAIN);
  const C m{1.5, 0.01};
  std::vector<double> xs(1024);
  for (std::size_t l = 0; l < xs.size(); ++l) xs[l] = 0.01 * static_cast<double>(l + 1);
  const std::pair<std::size_t, bool> stacks[] = {{16, true}, {17, false}, {1024, false}};
  for (const auto& [layers, ok] : stacks) {
    const std::vector<double> x(xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(layers));
    EXPECT_EQ(check_inputs(x, std::vector<C>(layers, m), {}).has_value(), ok) << layers;
    EXPECT_EQ(check_inputs(x, std::vector<C>(layers, m), {std::nullopt, true}), vantok::mie::default_terms(x.back()));
  }
  EXPECT_TRUE(check_inputs(std::vector<double>{15000.0}, std::vector<C>{m}, {}).has_value());
  EXPECT_FALSE(check_inputs(std::vector<double>{10.0, 15000.0}, std::vector<C>{m, m}, {}).has_value());
  EXPECT_TRUE(check_inputs(std::vector<double>{1.0, 1.0}, std::vector<C>{m, m}, {}).has_value());
  EXPECT_TRUE(check_inputs(std::vector<double>{1000.0, 5000.0}, std::vector<C>{m, {5.0, 0.0}}, {}).has_value());
}

}  // namespace
