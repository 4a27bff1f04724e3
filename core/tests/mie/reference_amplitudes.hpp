#pragma once
// The 40-digit amplitudes of gen_mie_amplitudes.py, grouped by sphere.

#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "support/table.hpp"
#include "vantok/complex.hpp"

namespace vantok::test {

struct ReferenceAmplitude {
  double mu;
  Complex<double> s1;
  Complex<double> s2;
};

struct ReferenceSphere {
  double x;
  Complex<double> m;
  std::vector<ReferenceAmplitude> amplitudes;

  std::vector<double> cosines() const {
    std::vector<double> mu;
    for (const auto& a : amplitudes) mu.push_back(a.mu);
    return mu;
  }
};

/// Lines "x m_re m_im mu Re S1 Im S1 Re S2 Im S2", grouped by (x, m).
inline std::vector<ReferenceSphere> reference_amplitudes() {
  std::map<std::pair<double, std::pair<double, double>>, ReferenceSphere> spheres;
  for (const Record& r : read_table("mie_amplitudes.txt")) {
    const double x = std::strtod(r.tag.c_str(), nullptr);
    ReferenceSphere& s = spheres[{x, {r.num(0), r.num(1)}}];
    s.x = x;
    s.m = {r.num(0), r.num(1)};
    s.amplitudes.push_back({r.num(2), {r.num(3), r.num(4)}, {r.num(5), r.num(6)}});
  }
  std::vector<ReferenceSphere> out;
  for (auto& [key, s] : spheres) out.push_back(std::move(s));
  return out;
}

}  // namespace vantok::test
