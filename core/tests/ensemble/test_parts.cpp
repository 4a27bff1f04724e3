// Integration parts: supports and ranges per kind, mode weights, the mapping
// of requested parameters, and the error prefixes.
#include "vantok/ensemble/parts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/expect_error.hpp"

using namespace vantok::test::ensemble;
using vantok::Error;
using vantok::ensemble::engine::Part;
using vantok::ensemble::engine::parts;
using vantok::test::expect_error;
namespace support = vantok::ensemble::engine::support;

namespace {

using Slots = std::vector<std::optional<std::size_t>>;
using DistParams = std::vector<std::pair<std::size_t, std::size_t>>;

}  // namespace

TEST(Parts, PlainLognormal) {
  const std::vector<Component> components = {{sphere(1), lognormal(0.1, 2.0), 3.0}};
  const auto got = parts(components, {}, 1e-6);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 1u);
  const Part& p = got->front();
  EXPECT_FALSE(p.mode.has_value());
  EXPECT_EQ(p.mode_weight, 1.0);
  EXPECT_EQ(p.mode_weight_sum, 1.0);
  EXPECT_EQ(p.weight, 3.0);
  EXPECT_EQ(p.component, &components[0]);
  EXPECT_EQ(p.distribution, &components[0].distribution);
  EXPECT_TRUE(p.dist_params.empty());
  EXPECT_EQ(p.particle_params, (Slots{std::nullopt, std::nullopt}));
  ASSERT_TRUE(p.averages.has_value());
  EXPECT_TRUE(p.averages->mean_derivatives.empty());
  EXPECT_EQ(std::get<support::Smooth>(p.support).centre, 0.1);
  EXPECT_LT(p.range.first, 0.1 * std::exp(-1.0));
  EXPECT_GT(p.range.second, 0.1 * std::exp(1.0));
  // The tail allowance 0.2 rtol is part of each mean's error.
  EXPECT_GE(p.averages->mean_errors[0], 0.2e-6 * p.averages->means[0]);
}

TEST(Parts, MultimodalModesAndParameters) {
  const std::vector<Component> components = {
      {sphere(1), monodisperse(1.0), 1.0},
      {sphere(1),
       multimodal({{2.0, gamma(1.0, 0.1)}, {1.0, lognormal(0.5, 1.5)}, {1.0, tabulated({1.0, 2.0}, {1.0, 2.0})}}),
       0.5}};
  const std::vector<EnsembleParam> params = {
      {std::nullopt, param::MReal{}, 1},
      {1, param::Distribution{"width"}, 1},
      {1, param::Weight{}, 1},
      {std::nullopt, param::Weight{}, 1},
      {std::nullopt, param::MImag{}, 0},
  };
  const auto got = parts(components, params, 1e-6);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 4u);
  EXPECT_EQ((*got)[0].particle_params, (Slots{std::nullopt, 4}));
  for (std::size_t j = 0; j < 3; ++j) {
    const Part& p = (*got)[1 + j];
    EXPECT_EQ(p.mode, j);
    EXPECT_EQ(p.mode_weight, j == 0 ? 2.0 : 1.0);
    EXPECT_EQ(p.mode_weight_sum, 4.0);
    EXPECT_EQ(p.weight, 0.5);
    EXPECT_EQ(p.component_index, 1u);
    EXPECT_EQ(p.particle_params, (Slots{0, std::nullopt}));
    EXPECT_EQ(p.dist_params, (j == 1 ? DistParams{{1, 1}} : DistParams{}));
  }
  EXPECT_EQ(std::get<support::Smooth>((*got)[1].support).centre, 1.0);
  const auto bounded = std::get<support::Bounded>((*got)[3].support);
  EXPECT_EQ(bounded.lo, 1.0);
  EXPECT_EQ(bounded.hi, 2.0);
  EXPECT_EQ((*got)[3].range, std::pair(1.0, 2.0));
}

TEST(Parts, LayeredSlotsAndPoint) {
  const std::vector<Component> components = {{layered({0.3, 0.6}, 1), monodisperse(2.0), 1.0}};
  const std::vector<EnsembleParam> params = {
      {std::nullopt, param::RadiusFraction{1}, 0},
      {std::nullopt, param::LayerMImag{2}, 0},
      {std::nullopt, param::Distribution{"radius"}, 0},
      {std::nullopt, param::LayerMReal{0}, 0},
  };
  const auto got = parts(components, params, 1e-6);
  ASSERT_TRUE(got.has_value());
  const Part& p = got->front();
  EXPECT_EQ(p.particle_params, (Slots{3, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1, std::nullopt, 0}));
  EXPECT_EQ(p.dist_params, (DistParams{{2, 0}}));
  EXPECT_EQ(std::get<support::Point>(p.support).radius, 2.0);
  EXPECT_EQ(p.range, std::pair(2.0, 2.0));
  EXPECT_FALSE(p.averages.has_value());
}

TEST(Parts, PowerLawRangeIsExact) {
  const std::vector<Component> components = {{sphere(1), power_law(3.0, 0.1, 10.0), 1.0}};
  const auto got = parts(components, {}, 1e-6);
  ASSERT_TRUE(got.has_value());
  const Part& p = got->front();
  EXPECT_EQ(p.range, std::pair(0.1, 10.0));
  // No tail allowance: the error is that of the quadrature alone.
  EXPECT_LT(p.averages->mean_errors[0], 0.2e-6 * p.averages->means[0]);
}

TEST(Parts, ErrorPrefixes) {
  // A range failure carries no component index.
  const std::vector<Component> broad = {{sphere(1), monodisperse(1.0), 1.0},
                                        {sphere(1), modified_gamma(0.0, 1000.0, 0.001), 1.0}};
  expect_error(parts(broad, {}, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^200 of r = 1e0");
  // A mass failure of the moments gains the component's index, bare message.
  const std::vector<Component> huge = {{sphere(1), monodisperse(1.0), 1.0},
                                       {sphere(1), tabulated({1.0, 1e10}, {1e308, 1e308}), 1.0}};
  expect_error(parts(huge, {}, 1e-6), Error::Kind::InvalidInput,
               "component 1: the size distribution has no finite positive mass on its range (got inf)");
}
