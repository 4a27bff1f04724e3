// Input checks, validated domain and derivative limit of layered spheres.
#include "vantok/layered/check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/expect_error.hpp"
#include "vantok/layered/layered.hpp"

using vantok::Complex;
using vantok::Error;
using vantok::layered::check_derivative_limit;
using vantok::layered::check_inputs;
using vantok::layered::check_layer_count;
using vantok::layered::domain::VALIDATED;
using vantok::mie::SolveOptions;
using vantok::test::expect_error;
using C = Complex<double>;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

vantok::Result<std::size_t> check(const std::vector<double>& xs, const std::vector<C>& ms,
                                  SolveOptions o = {}) {
  return check_inputs(xs, ms, o);
}

void expect_invalid(const vantok::Result<std::size_t>& r, const std::string& msg) {
  expect_error(r, Error::Kind::InvalidInput, msg);
}

}  // namespace

TEST(LayeredCheck, Shape) {
  const std::string head =
      "a layered sphere needs one size parameter and one refractive index per layer, got ";
  expect_invalid(check({1.0}, {}), head + "1 and 0");
  expect_invalid(check({}, {}), head + "0 and 0");
  expect_invalid(check({1.0, 2.0}, {{1.5, 0.0}}), head + "2 and 1");
  // 1025 layers fail before any value is read (these are all NaN).
  const std::vector<double> nan_x(1025, NaN);
  const std::vector<C> nan_m(1025, C{NaN, NaN});
  expect_invalid(check(nan_x, nan_m), "at most 1024 layers are accepted, got 1025");
  // The same check on the shape alone, for callers that must refuse before allocating.
  const auto shape = check_layer_count(1025, 1025);
  expect_error(shape, Error::Kind::InvalidInput, "at most 1024 layers are accepted, got 1025");
  EXPECT_TRUE(check_layer_count(1024, 1024).has_value());
}

TEST(LayeredCheck, SizeParameters) {
  expect_invalid(check({2.0, NaN}, {{1.5, 0.0}, {1.5, 0.0}}),
                 "the size parameter of layer 1 must be finite, got NaN");
  expect_invalid(check({2.0, 1.0}, {{1.5, 0.0}, {1.5, 0.0}}),
                 "the size parameters must be nondecreasing from the core out, but layer 1 has 1e0 < 2e0");
  EXPECT_TRUE(check({1.0, 1.0}, {{1.5, 0.0}, {1.5, 0.0}}).has_value());
  // Only x_0 and x_L are bounded by this step.
  expect_invalid(check({0.0, 5.0}, {{1.5, 0.0}, {1.5, 0.0}}),
                 "the size parameters must be in [1e-30, 1e6], got 0e0 to 5e0");
  expect_invalid(check({1.0, 2e6}, {{1.5, 0.0}, {1.5, 0.0}}),
                 "the size parameters must be in [1e-30, 1e6], got 1e0 to 2e6");
}

TEST(LayeredCheck, RefractiveIndices) {
  expect_invalid(check({1.0, 2.0}, {{1.5, 0.0}, {-0.1, 0.0}}),
                 "the refractive index of layer 1 must have Re m >= 0 and Im m >= 0 (Im m < 0 is a "
                 "gain medium), got -1e-1 + 0e0i");
  // All three tests of layer 0 run before layer 1 is looked at.
  expect_invalid(check({1.0, 2.0}, {{NaN, 0.0}, {-0.1, 0.0}}),
                 "the refractive index of layer 0 must be finite, got NaN + 0e0i");
  expect_invalid(check({1.0, 2.0}, {{0.0, 0.0}, {-0.1, 0.0}}),
                 "|m| of layer 0 must be in [1e-6, 1e3], got 0e0");
  expect_invalid(check({1.0, 2.0}, {{1.5, 0.0}, {2000.0, 0.0}}),
                 "|m| of layer 1 must be in [1e-6, 1e3], got 2e3");
}

TEST(LayeredCheck, TermsAndDomain) {
  const std::vector<C> two{{1.5, 0.0}, {8.0, 0.0}};
  expect_invalid(check({1.0, 2.0}, two, {0, false}),
                 "the number of terms must be in [1, 1048576], got 0");
  expect_error(check({0.5, 1.0}, {{1.5, 0.0}, {1.5, 0.0}}, {9, false}),
               Error::Kind::OutsideValidatedDomain,
               "n_max = 9 is below the default truncation 10 for x_L = 1e0");
  expect_error(check({1000.0, 5000.0}, two), Error::Kind::OutsideValidatedDomain,
               "a layered sphere of 2 layers with x_L = 5e3 and m = [Complex { re: 1.5, im: 0.0 }, "
               "Complex { re: 8.0, im: 0.0 }] is outside the validated domain x_L in [1e-6, 1e4], "
               "every layer 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1 and |m| x_L <= 3e4, at most "
               "16 layers");
  EXPECT_TRUE(check({1000.0, 5000.0}, {{1.5, 0.0}, {5.0, 0.0}}).has_value());
  EXPECT_TRUE(check({1000.0, 5000.0}, two, {std::nullopt, true}).has_value());
  // One layer takes the homogeneous limits; two layers stop at x_L = 1e4.
  EXPECT_TRUE(check({15000.0}, {{1.5, 0.0}}).has_value());
  EXPECT_FALSE(check({10.0, 15000.0}, {{1.5, 0.0}, {1.5, 0.0}}).has_value());
  // The debug form of small parts switches to exponent layout.
  expect_error(check({1.0, 2.0}, {{1.5, 1e-5}, {0.05, 0.001}}), Error::Kind::OutsideValidatedDomain,
               "a layered sphere of 2 layers with x_L = 2e0 and m = [Complex { re: 1.5, im: 1e-5 }, "
               "Complex { re: 0.05, im: 0.001 }] is outside the validated domain " +
                   VALIDATED.to_string());
}

TEST(LayeredCheck, ManyLayers) {
  std::vector<double> xs(1024);
  for (std::size_t l = 0; l < xs.size(); ++l) xs[l] = 0.01 * static_cast<double>(l + 1);
  const std::vector<C> ms(1024, C{1.5, 0.01});
  EXPECT_FALSE(check(xs, ms).has_value());  // the domain allows 16 layers
  EXPECT_EQ(check(xs, ms, {std::nullopt, true}), vantok::mie::default_terms(10.24));
  const std::vector<double> sixteen(xs.begin(), xs.begin() + 16);
  const std::vector<C> m16(16, C{1.5, 0.01});
  EXPECT_TRUE(check(sixteen, m16).has_value());
  const std::vector<double> seventeen(xs.begin(), xs.begin() + 17);
  const std::vector<C> m17(17, C{1.5, 0.01});
  EXPECT_FALSE(check(seventeen, m17).has_value());
}

TEST(LayeredValidatedDomain, Text) {
  EXPECT_EQ(VALIDATED.to_string(),
            "x_L in [1e-6, 1e4], every layer 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1 and "
            "|m| x_L <= 3e4, at most 16 layers");
}

TEST(LayeredCheck, DerivativeLimit) {
  const std::vector<C> ms{{1.5, 0.01}, {1.33, 0.0}};
  vantok::layered::Layered solver;
  auto r = solver.compute_with_derivatives({}, std::vector<double>{100.0, 1500.0}, ms);
  expect_error(r, Error::Kind::OutsideValidatedDomain,
               "the derivatives are validated up to x_L = 1e3, got 1.5e3");
  const std::vector<double> at_limit{100.0, 1000.0};
  EXPECT_TRUE(check_derivative_limit({}, true, at_limit).has_value());
  const std::vector<double> above{100.0, 1000.5};
  EXPECT_EQ(check_derivative_limit({}, true, above).error().message(),
            "the derivatives are validated up to x_L = 1e3, got 1.0005e3");
  EXPECT_TRUE(check_derivative_limit({std::nullopt, true}, true, above).has_value());
  EXPECT_TRUE(check_derivative_limit({}, false, above).has_value());
  const std::vector<double> one{1500.0};
  EXPECT_TRUE(check_derivative_limit({}, true, one).has_value());
}
