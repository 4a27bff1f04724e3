#pragma once
// Shared pieces of the mode-kernel tests: the mpmath reference table of
// tmatrix_kernel.txt, masks, and block solves with the kernel's scaling undone.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/table.hpp"
#include "vantok/scalar/dd.hpp"
#include "vantok/tmatrix/functions.hpp"
#include "vantok/tmatrix/kernel.hpp"

namespace vantok::test {

using scalar::DoubleDouble;

/// A complex value as read from the table: re and im as double-doubles.
struct RefValue {
  DoubleDouble re;
  DoubleDouble im;
};

struct EbcmBlock {
  std::size_t k = 0;
  std::vector<RefValue> q;
  std::vector<RefValue> rg;
};

struct EbcmCase {
  double eps = 0.0;
  double x = 0.0;
  double m_re = 0.0;
  double m_im = 0.0;
  std::size_t nmax = 0;
  std::size_t ngauss = 0;
  /// (mode, block) -> reference sums.
  std::map<std::pair<std::size_t, std::size_t>, EbcmBlock> blocks;
};

inline std::vector<RefValue> ref_values(const Record& r) {
  std::vector<RefValue> out;
  for (std::size_t i = 0; i + 3 < r.fields.size(); i += 4) {
    out.push_back({{r.num(i), r.num(i + 1)}, {r.num(i + 2), r.num(i + 3)}});
  }
  return out;
}

inline std::vector<EbcmCase> ebcm_cases() {
  std::vector<EbcmCase> out;
  for (const auto& block : blocks(read_table("tmatrix_kernel.txt"), "ebcm")) {
    EbcmCase c;
    const Record& head = block.front();
    c.eps = head.num(0);
    c.x = head.num(1);
    c.m_re = head.num(2);
    c.m_im = head.num(3);
    c.nmax = head.count(4);
    c.ngauss = head.count(5);
    std::pair<std::size_t, std::size_t> key;
    for (const Record& r : block) {
      if (r.tag == "mode") {
        key = {r.count(0), r.count(1)};
        c.blocks[key].k = r.count(2);
      } else if (r.tag == "q") {
        c.blocks[key].q = ref_values(r);
      } else if (r.tag == "rg") {
        c.blocks[key].rg = ref_values(r);
      }
    }
    out.push_back(std::move(c));
  }
  return out;
}

/// Some(0) for the modes in `modes`, None for the others, nmax + 1 entries.
inline std::vector<std::optional<std::size_t>> mask_of(std::size_t nmax,
                                                       const std::vector<std::size_t>& modes) {
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (const std::size_t m : modes) mask.at(m) = 0;
  return mask;
}

/// Some(0) for every mode up to m_max.
inline std::vector<std::optional<std::size_t>> mask_upto(std::size_t nmax, std::size_t m_max) {
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (std::size_t m = 0; m <= std::min(m_max, nmax); ++m) mask[m] = 0;
  return mask;
}

/// L_n = ln |h_n(rmin)| = sum_{l <= n} ln out_l, from the f64 scales.
inline std::vector<double> log_scales(double rmin, Complex<double> z, std::size_t nmax) {
  const tmatrix::functions::Scales<double> s(nmax, rmin, z);
  std::vector<double> ls;
  double acc = 0.0;
  for (std::size_t n = 0; n <= nmax; ++n) {
    acc += std::log(s.outgoing[n]);
    ls.push_back(acc);
  }
  return ls;
}

/// A record that picks the same code for every element of every mode.
inline tmatrix::kernel::Choice uniform_choice(std::size_t nmax, std::uint8_t code) {
  tmatrix::kernel::Choice c;
  c.grid.assign((nmax + 1) * (nmax + 1), code);
  for (std::size_t m = 0; m <= nmax; ++m) {
    const tmatrix::kernel::RowLists rows = tmatrix::kernel::row_lists(m, nmax);
    c.per_mode.push_back({std::vector<std::uint8_t>(rows[0].size() * rows[0].size(), code),
                          std::vector<std::uint8_t>(rows[1].size() * rows[1].size(), code)});
  }
  return c;
}

/// Same length and the same bytes.
template <class V>
bool same_bytes(const V& a, const V& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

/// Every array of every mode bit for bit equal.
template <class T>
bool identical(const std::vector<tmatrix::kernel::ModeMatrices<T>>& a,
               const std::vector<tmatrix::kernel::ModeMatrices<T>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t m = 0; m < a.size(); ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      if (!same_bytes(a[m].q[p], b[m].q[p]) || !same_bytes(a[m].rg[p], b[m].rg[p]) ||
          !same_bytes(a[m].q_mag[p], b[m].q_mag[p]) ||
          !same_bytes(a[m].rg_mag[p], b[m].rg_mag[p]) ||
          !same_bytes(a[m].choice[p], b[m].choice[p]) || a[m].rows[p] != b[m].rows[p]) {
        return false;
      }
    }
  }
  return true;
}

/// |a - b| for complex values.
inline double cdist(Complex<double> a, Complex<double> b) {
  return std::hypot(a.re - b.re, a.im - b.im);
}

}  // namespace vantok::test
