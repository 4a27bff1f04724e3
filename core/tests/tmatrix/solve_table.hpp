#pragma once
// Reader of core/tests/data/tmatrix_solve.txt (made by gen_tmatrix_solve.py):
// complex blocks A and B stored as double-double parts and the reference
// X = -B A^-1 of the stored system at 60 digits.

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/table.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/dd.hpp"

namespace vantok::test {

struct SolveCase {
  std::string name;
  std::size_t n = 0;
  double cond = 0.0;
  // hi and lo parts, row-major complex
  std::vector<Complex<double>> a, alo, b, blo, x, xlo;
};

inline std::vector<SolveCase> load_solve_cases() {
  std::vector<SolveCase> cases;
  for (const Record& line : read_table("tmatrix_solve.txt")) {
    const std::string& tag = line.tag;
    if (tag == "case") {
      SolveCase c;
      c.name = line.fields.at(0);
      c.n = line.count(1);
      c.cond = line.num(2);
      cases.push_back(c);
      continue;
    }
    if (cases.empty()) throw std::runtime_error("table starts without a case");
    SolveCase& c = cases.back();
    std::vector<Complex<double>>* dst = tag == "a"     ? &c.a
                                        : tag == "alo" ? &c.alo
                                        : tag == "b"   ? &c.b
                                        : tag == "blo" ? &c.blo
                                        : tag == "x"   ? &c.x
                                        : tag == "xlo" ? &c.xlo
                                                       : nullptr;
    if (dst == nullptr) throw std::runtime_error("unknown tag " + tag);
    for (std::size_t i = 0; i + 1 < line.fields.size(); i += 2) dst->push_back({line.num(i), line.num(i + 1)});
    if (dst->size() != c.n * c.n) throw std::runtime_error("short row in " + c.name);
  }
  return cases;
}

/// The double-double matrix with parts hi + lo.
inline std::vector<Complex<scalar::dd::DoubleDouble>> join(const std::vector<Complex<double>>& hi,
                                                           const std::vector<Complex<double>>& lo) {
  std::vector<Complex<scalar::dd::DoubleDouble>> out(hi.size());
  for (std::size_t e = 0; e < hi.size(); ++e) out[e] = {{hi[e].re, lo[e].re}, {hi[e].im, lo[e].im}};
  return out;
}

/// max |z| over a matrix.
inline double max_abs(const std::vector<Complex<double>>& m) {
  double v = 0.0;
  for (const Complex<double>& z : m) v = std::fmax(v, std::hypot(z.re, z.im));
  return v;
}

}  // namespace vantok::test
