// Moments and averages: the G7-K15 rule, every distribution kind against
// mpmath quadrature (through the parts, so with the cut ranges), and the
// stopping and failure rules.
#include "vantok/ensemble/moments.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/model_support.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"
#include "vantok/ensemble/parts.hpp"

using namespace vantok::test::ensemble;
using vantok::Error;
using vantok::test::expect_error;
namespace detail = vantok::ensemble::detail;
namespace moments = vantok::ensemble::moments;

// K15 integrates x^k exactly on [-1, 1] up to degree 22 and G7 up to 13, to
// the rounding of the tabulated doubles.
TEST(KronrodRule, ExactDegrees) {
  const detail::PanelRule rule(-1.0, 1.0);
  for (int k = 0; k <= 22; ++k) {
    double kronrod = 0.0;
    double gauss = 0.0;
    for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
      const auto node = rule.node(i);
      kronrod += node.kronrod * std::pow(node.t, k);
      gauss += node.gauss * std::pow(node.t, k);
    }
    const double exact = k % 2 == 1 ? 0.0 : 2.0 / (k + 1);
    EXPECT_NEAR(kronrod, exact, 2e-15) << k;
    if (k <= 13) {
      EXPECT_NEAR(gauss, exact, 2e-15) << k;
    }
  }
  // Nodes ascend, mirror about the centre, and the Gauss weights sit at the
  // odd indices.
  const detail::PanelRule panel(2.0, 3.0);
  for (std::size_t i = 0; i < detail::KRONROD_NODES; ++i) {
    if (i > 0) {
      EXPECT_LT(panel.node(i - 1).t, panel.node(i).t);
    }
    EXPECT_EQ(panel.node(i).kronrod, panel.node(14 - i).kronrod);
    EXPECT_EQ(panel.node(i).gauss != 0.0, i % 2 == 1) << i;
  }
  EXPECT_EQ(panel.node(7).t, 2.5);
}

namespace {

SizeDistribution from_record(const vantok::test::Record& r) {
  if (r.tag == "lognormal") return lognormal(r.num(0), r.num(1));
  if (r.tag == "gamma") return gamma(r.num(0), r.num(1));
  if (r.tag == "modified_gamma") return modified_gamma(r.num(0), r.num(1), r.num(2));
  if (r.tag == "power_law") return power_law(r.num(0), r.num(1), r.num(2));
  const std::size_t n = static_cast<std::size_t>(r.num(0));
  std::vector<double> radii;
  std::vector<double> densities;
  for (std::size_t i = 0; i < n; ++i) {
    radii.push_back(r.num(1 + i));
    densities.push_back(r.num(1 + n + i));
  }
  return tabulated(radii, densities);
}

// The number of parameter fields of a record.
std::size_t field_count(const vantok::test::Record& r) {
  if (r.tag == "tabulated") return 1 + 2 * static_cast<std::size_t>(r.num(0));
  return r.tag == "lognormal" || r.tag == "gamma" ? 2 : 3;
}

}  // namespace

// Every kind with every parameter requested, against 30-digit quadrature over
// the whole support. The smooth kinds integrate over cut ranges (tails below
// rtol/1000) and carry a tail allowance of 0.2 rtol; the reported errors are
// checked to cover the true ones (up to the rounding of the final quotients,
// which no quadrature error estimate includes).
TEST(Moments, MatchQuadratureReference) {
  constexpr double ROUNDING = 1e-14;
  for (const double rtol : {1e-4, 1e-8}) {
    for (const auto& record : vantok::test::read_table("ensemble_moments.txt")) {
      const SizeDistribution d = from_record(record);
      const std::size_t fields = field_count(record);
      const std::vector<Component> components = {{sphere(1), d, 1.0}};
      const auto params = component_parameters(0, d, components[0].particle, ComponentWeight::Omit);
      std::vector<EnsembleParam> distribution_params;
      for (const auto& p : params) {
        if (std::holds_alternative<param::Distribution>(p.kind)) distribution_params.push_back(p);
      }
      const auto parts = vantok::ensemble::engine::parts(components, distribution_params, rtol);
      ASSERT_TRUE(parts.has_value()) << parts.error().to_string();
      const moments::Averages& got = *parts->front().averages;
      SCOPED_TRACE(record.tag + " " + record.fields[0] + " rtol " + std::to_string(rtol));
      const bool smooth = std::holds_alternative<vantok::ensemble::engine::support::Smooth>(parts->front().support);
      // The cut range holds all but ~rtol/1000 of the mass.
      EXPECT_NEAR(got.m0, record.num(fields), (smooth ? 1e-3 * rtol : 1e-14) * record.num(fields));
      for (std::size_t k = 0; k < 2; ++k) {
        const double want = record.num(fields + 1 + k);
        EXPECT_NEAR(got.means[k], want, 2 * rtol * want);
        EXPECT_LE(std::fabs(got.means[k] - want), got.mean_errors[k] + ROUNDING * std::fabs(want));
      }
      ASSERT_EQ(got.mean_derivatives.size(), distribution_params.size());
      for (std::size_t j = 0; j < distribution_params.size(); ++j) {
        const std::size_t base = fields + 3 + 3 * j;
        const double dm0 = record.num(base);
        // dM0/dp may vanish (the lognormal median): scale by M0.
        EXPECT_NEAR(got.m0_derivatives[j], dm0, 2 * rtol * (std::fabs(dm0) + got.m0)) << "parameter " << j;
        for (std::size_t k = 0; k < 2; ++k) {
          const double want = record.num(base + 1 + k);
          EXPECT_NEAR(got.mean_derivatives[j][k], want, 10 * rtol * (std::fabs(want) + got.means[k]))
              << "parameter " << j << " power " << k;
          EXPECT_LE(std::fabs(got.mean_derivatives[j][k] - want),
                    got.mean_derivative_errors[j][k] + ROUNDING * (std::fabs(want) + got.means[k]))
              << "parameter " << j << " power " << k;
        }
      }
    }
  }
}

TEST(Moments, ZeroDerivativeIntegrandPasses) {
  // A monodisperse density is 1 with a derivative slot of 0 at every node.
  const SizeDistribution d = monodisperse(1.0);
  const std::size_t slots[] = {0};
  const auto got = moments::moments(d, slots, {}, 0.5, 2.0, 1e-10, 0.0);
  ASSERT_TRUE(got.has_value());
  EXPECT_NEAR(got->m0, 1.5, 1e-14);
  EXPECT_EQ(got->m0_derivatives[0], 0.0);
  EXPECT_EQ(got->m0_derivative_errors[0], 0.0);
  // <r^2> = (8 - 1/8)/3/1.5 over [0.5, 2].
  EXPECT_NEAR(got->means[0], (8.0 - 0.125) / 4.5, 1e-13);
}

TEST(Moments, WithoutParameters) {
  const SizeDistribution d = power_law(1.0, 0.25, 4.0);
  const auto got = moments::moments(d, {}, {}, 0.25, 4.0, 1e-8, 0.0);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->mean_derivatives.empty());
  EXPECT_TRUE(got->mean_derivative_errors.empty());
  EXPECT_TRUE(got->m0_derivatives.empty());
  EXPECT_TRUE(got->m0_derivative_errors.empty());
  // M0 = ln 16 with a = 0.25, n = 0.25/r.
  EXPECT_NEAR(got->m0, 0.25 * std::log(16.0), 1e-15);
}

TEST(Moments, MassFailures) {
  const std::string head = "the size distribution has no finite positive mass on its range (got ";
  const SizeDistribution huge = tabulated({1.0, 1e10}, {1e308, 1e308});
  expect_error(moments::moments(huge, {}, huge.get_if<Tabulated>()->radii, 1.0, 1e10, 1e-6, 0.0),
               Error::Kind::InvalidInput, head + "inf)");
  const double errors[3] = {0.0, 0.0, 0.0};
  for (const auto& [m0, text] : std::vector<std::pair<double, std::string>>{
           {0.0, "0e0"}, {-0.0, "-0e0"}, {-2.0, "-2e0"}, {std::nan(""), "NaN"}}) {
    const double values[3] = {m0, 1.0, 1.0};
    expect_error(moments::averages(values, errors, 0, 0.0), Error::Kind::InvalidInput, head + text + ")");
  }
  // A positive subnormal mass passes.
  const double tiny[3] = {5e-324, 0.0, 0.0};
  EXPECT_TRUE(moments::averages(tiny, errors, 0, 0.0).has_value());
}

// The error of a mean propagates M0's and M_k's errors and adds the tail
// allowance: with exact integrals only the allowance remains.
TEST(Moments, AveragesErrorPropagation) {
  const double values[6] = {2.0, 8.0, 4.0, 1.0, 2.0, 6.0};
  const double exact[6] = {};
  const auto got = moments::averages(values, exact, 1, 0.1);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->means[0], 4.0);
  EXPECT_EQ(got->mean_errors[0], 0.4);
  // d<r^2>/dp = (D2 - q D0)/M0 = (2 - 4)/2, d<r^3>/dp = (6 - 2)/2.
  EXPECT_EQ(got->mean_derivatives[0][0], -1.0);
  EXPECT_EQ(got->mean_derivatives[0][1], 2.0);
  // tail |dq| + |D0| err(q)/M0.
  EXPECT_NEAR(got->mean_derivative_errors[0][0], 0.1 + 0.2, 1e-15);
  const double errors[6] = {0.2, 0.0, 0.0, 0.0, 0.0, 0.0};
  const auto with_m0_error = moments::averages(values, errors, 1, 0.0);
  // err(q) = E0 |q| / M0.
  EXPECT_NEAR(with_m0_error->mean_errors[0], 0.4, 1e-15);
  EXPECT_EQ(with_m0_error->m0_err, 0.2);
}
