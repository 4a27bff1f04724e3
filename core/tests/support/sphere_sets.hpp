#pragma once
// Random spheres over every regime of the sphere kernel, for the tests that
// compare the lanes with the scalar path: tiny to large x (up to 2e4), weakly
// and strongly absorbing, real (with +0 and -0 imaginary parts), near-unity
// and unit indices, small and large |m|, and term counts at, above and below
// the default truncation; and the bitwise comparison of whole outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/group.hpp"

namespace vantok::test {

inline double log_uniform(std::mt19937_64& rng, double lo, double hi) {
  return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
}

inline double sphere_x(std::mt19937_64& rng) {
  const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  if (u < 0.08) return log_uniform(rng, 1e-6, 1e-2);
  if (u < 0.25) return log_uniform(rng, 1e-2, 1.0);
  if (u < 0.96) return log_uniform(rng, 1.0, 300.0);
  return log_uniform(rng, 300.0, 2e4);
}

inline Complex<double> sphere_m(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  switch (std::uniform_int_distribution<int>(0, 7)(rng)) {
    case 0: return {1.33 + 0.27 * u(rng), 0.1 * u(rng)};
    case 1: return {1.0 + 9.0 * u(rng), log_uniform(rng, 1.0, 10.0)};
    case 2: return {1.2 + 2.0 * u(rng), 0.0};
    case 3: return {1.5, -0.0};
    case 4: return {1.0 + log_uniform(rng, 1e-9, 1e-3), log_uniform(rng, 1e-12, 1e-4)};
    case 5: return {1.0, 0.0};
    case 6: return {0.1 + 0.8 * u(rng), 1e-3 * u(rng)};
    default: return {10.0 * u(rng) + 1e-3, 10.0 * u(rng)};
  }
}

/// `count` spheres from seed; term counts mostly the default, some above it
/// and some below (as allow_unvalidated permits).
inline std::vector<mie::group::Sphere> sphere_set(unsigned seed, std::size_t count) {
  std::mt19937_64 rng(seed);
  std::vector<mie::group::Sphere> out;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = sphere_x(rng);
    const Complex<double> m = sphere_m(rng);
    std::size_t n = static_cast<std::size_t>(mie::default_terms(x));
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    if (pick == 0) n += std::uniform_int_distribution<std::size_t>(1, 40)(rng);
    if (pick == 1) n = std::max<std::size_t>(1, n / 2);
    out.push_back({x, m, n});
  }
  return out;
}

inline std::string describe(const mie::group::Sphere& s) {
  return "x = " + std::to_string(s.x) + ", m = " + std::to_string(s.m.re) + " + " + std::to_string(s.m.im) +
         "i, N = " + std::to_string(s.n_terms);
}

/// The doubles of a list of outputs in order, for one bitwise comparison.
struct Flat {
  std::vector<double> v;
  Flat& operator<<(double d) {
    v.push_back(d);
    return *this;
  }
  Flat& operator<<(std::span<const Complex<double>> z) {
    for (const Complex<double>& c : z) v.insert(v.end(), {c.re, c.im});
    return *this;
  }
  Flat& operator<<(const Flat& f) {
    v.insert(v.end(), f.v.begin(), f.v.end());
    return *this;
  }
  template <std::size_t K>
  Flat& operator<<(const std::array<double, K>& a) {
    v.insert(v.end(), a.begin(), a.end());
    return *this;
  }
};

/// got and want value by value, every bit (the first difference ends the check).
inline void expect_same_bits(const Flat& got, const Flat& want, const std::string& what) {
  ASSERT_EQ(got.v.size(), want.v.size()) << what;
  for (std::size_t i = 0; i < want.v.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got.v[i]), std::bit_cast<std::uint64_t>(want.v[i]))
        << what << ", value " << i << ": " << got.v[i] << " vs " << want.v[i];
  }
}

}  // namespace vantok::test
