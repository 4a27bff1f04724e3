#pragma once
// Shared pieces of the mode-kernel tests: the mpmath reference table of
// tmatrix_kernel.txt, masks, kernel runs, bitwise comparison of their results.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "support/table.hpp"
#include "tmatrix/detail_kernel_run.hpp"
#include "vantok/scalar/dd.hpp"
#include "tmatrix/detail_kernel.hpp"

namespace vantok::test {

using scalar::DoubleDouble;
using CDD = Complex<DoubleDouble>;
using ModeMask = std::vector<std::optional<std::size_t>>;
template <class T>
using Modes = std::vector<tmatrix::kernel::ModeMatrices<T>>;

/// A table case: the spheroid and, per (mode, block), Q and RgQ at 50 digits.
struct EbcmCase {
  double eps, x, m_re, m_im;
  std::size_t nmax, ngauss;
  std::map<std::pair<std::size_t, std::size_t>, std::array<std::vector<CDD>, 2>> blocks;
};

inline std::vector<CDD> ref_values(const Record& r) {
  std::vector<CDD> out;
  for (std::size_t i = 0; i + 3 < r.fields.size(); i += 4) out.push_back({{r.num(i), r.num(i + 1)}, {r.num(i + 2), r.num(i + 3)}});
  return out;
}

inline std::vector<EbcmCase> ebcm_cases() {
  std::vector<EbcmCase> out;
  for (const auto& block : blocks(read_table("tmatrix_kernel.txt"), "ebcm")) {
    const Record& h = block.front();
    EbcmCase c{h.num(0), h.num(1), h.num(2), h.num(3), h.count(4), h.count(5), {}};
    std::pair<std::size_t, std::size_t> key;
    for (const Record& r : block) {
      if (r.tag == "mode") key = {r.count(0), r.count(1)};
      if (r.tag == "q" || r.tag == "rg") c.blocks[key][r.tag == "rg"] = ref_values(r);
    }
    out.push_back(std::move(c));
  }
  return out;
}

/// |a - b| with both values read as hi + lo.
inline double dd_dist(const CDD& a, const CDD& b) {
  return std::hypot((a.re.hi - b.re.hi) + (a.re.lo - b.re.lo), (a.im.hi - b.im.hi) + (a.im.lo - b.im.lo));
}
inline double dd_dist(const Complex<double>& a, const CDD& b) { return dd_dist(CDD{DoubleDouble(a.re), DoubleDouble(a.im)}, b); }

/// Some(0) for the modes in `modes`, None for the others, nmax + 1 entries.
inline ModeMask mask_of(std::size_t nmax, const std::vector<std::size_t>& modes) {
  ModeMask mask(nmax + 1);
  for (const std::size_t m : modes) mask.at(m) = 0;
  return mask;
}

/// Some(0) for every mode up to m_max.
inline ModeMask mask_upto(std::size_t nmax, std::size_t m_max) {
  ModeMask mask(nmax + 1);
  for (std::size_t m = 0; m <= std::min(m_max, nmax); ++m) mask[m] = 0;
  return mask;
}

/// The plain kernel over T (double or DoubleDouble) of one spheroid.
template <class T>
Modes<T> run_kernel(double eps, double x, Complex<double> m, std::size_t nmax, std::size_t ngauss, const ModeMask& mask,
                    const tmatrix::kernel::Choice* choice = nullptr,
                    std::size_t p = std::numeric_limits<std::size_t>::max()) {
  namespace k = tmatrix::kernel;
  auto r = k::detail::run_kernel(k::detail::kernel_call(k::Axes<T>::create(x, eps), Complex<T>{T(m.re), T(m.im)},
                                                        nmax, ngauss, mask, choice, p));
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : Modes<T>{};
}

/// A record that picks the same code for every element of every mode.
inline tmatrix::kernel::Choice uniform_choice(std::size_t nmax, std::uint8_t code) {
  tmatrix::kernel::Choice c;
  c.grid.assign((nmax + 1) * (nmax + 1), code);
  for (std::size_t m = 0; m <= nmax; ++m) {
    const auto rows = tmatrix::kernel::row_lists(m, nmax);
    c.per_mode.push_back({std::vector<std::uint8_t>(rows[0].size() * rows[0].size(), code),
                          std::vector<std::uint8_t>(rows[1].size() * rows[1].size(), code)});
  }
  return c;
}

/// Same length and the same bytes.
template <class V>
bool same_bytes(const V& a, const V& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

/// Every array of every mode bit for bit equal.
template <class T>
bool identical(const Modes<T>& a, const Modes<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t m = 0; m < a.size(); ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      if (!same_bytes(a[m].q[p], b[m].q[p]) || !same_bytes(a[m].rg[p], b[m].rg[p]) ||
          !same_bytes(a[m].q_mag[p], b[m].q_mag[p]) || !same_bytes(a[m].rg_mag[p], b[m].rg_mag[p]) ||
          !same_bytes(a[m].choice[p], b[m].choice[p]) || a[m].rows[p] != b[m].rows[p]) {
        return false;
      }
    }
  }
  return true;
}

/// |a - b| for complex values.
inline double cdist(Complex<double> a, Complex<double> b) { return std::hypot(a.re - b.re, a.im - b.im); }

}  // namespace vantok::test
