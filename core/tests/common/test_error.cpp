#include "vantok/error.hpp"

#include <gtest/gtest.h>

#include <cmath>

using vantok::Error;

TEST(Error, TextForms) {
  EXPECT_EQ(Error::not_converged(INFINITY, std::ldexp(1.0, -90)).to_string(),
            "not converged: achieved inf, requested 8.077935669463161e-28");
  EXPECT_EQ(Error::not_converged(1e-12, 1e-12).to_string(),
            "not converged: achieved 1e-12, requested 1e-12");
  EXPECT_EQ(Error::invalid_input("").to_string(), "invalid input: ");
  EXPECT_EQ(Error::outside_validated_domain("x").to_string(), "outside validated domain: x");
}

TEST(Error, ContextRewritesMessagesButNotConvergence) {
  auto e = Error::invalid_input("x must be positive").with_context("element 3");
  EXPECT_EQ(e.to_string(), "invalid input: element 3: x must be positive");
  auto d = Error::outside_validated_domain("far").with_context("element 0");
  EXPECT_EQ(d.message(), "element 0: far");
  auto n = Error::not_converged(1.0, 2.0).with_context("element 1");
  EXPECT_EQ(n, Error::not_converged(1.0, 2.0));
}

TEST(Error, AssertThrowsInternalFailure) {
  EXPECT_THROW(VANTOK_ASSERT(1 + 1 == 3), vantok::InternalFailure);
  EXPECT_NO_THROW(VANTOK_ASSERT(1 + 1 == 2));
}
