#pragma once
// Assertion on a refused call: the result holds an error of the given kind
// whose message is exactly the given text.

#include <gtest/gtest.h>

#include <string>

#include "vantok/error.hpp"

namespace vantok::test {

template <class T>
void expect_error(const Result<T>& r, Error::Kind kind, const std::string& msg) {
  ASSERT_FALSE(r.has_value()) << "expected: " << msg;
  EXPECT_EQ(r.error().kind(), kind);
  EXPECT_EQ(r.error().message(), msg);
}

}  // namespace vantok::test
