// Quickstart: the efficiencies of a few spheres (size parameter x = 2 pi r / wavelength,
// refractive index m relative to the medium), computed by the Mie solution.
#include <cstdio>

#include "vantok/mie/mie.hpp"

int main() {
  struct Sphere {
    const char* what;
    double x;
    vantok::Complex<double> m;
  };
  const Sphere spheres[] = {
      {"small soot particle", 0.1, {1.75, 0.44}},
      {"cloud droplet, visible", 50.0, {1.33, 1e-8}},
      {"mineral dust grain", 8.0, {1.53, 0.008}},
      {"large ice crystal (sphere)", 1000.0, {1.31, 1e-6}},
  };
  vantok::mie::Mie mie;
  std::printf("%-28s %8s %14s %10s %10s %10s %10s %8s\n", "sphere", "x", "m", "Q_ext", "Q_sca",
              "Q_abs", "Q_back", "g");
  for (const Sphere& s : spheres) {
    auto solved = mie.solve({}, false, s.x, s.m);
    if (!solved) {
      std::printf("%s: %s\n", s.what, solved.error().to_string().c_str());
      return 1;
    }
    const auto q = (*solved)->coefficients().efficiencies();
    char m[32];
    std::snprintf(m, sizeof m, "%g+%gi", s.m.re, s.m.im);
    std::printf("%-28s %8g %14s %10.6f %10.6f %10.6f %10.6f %8.5f\n", s.what, s.x, m, q[0], q[1],
                q[2], q[3], q[4]);
  }
  return 0;
}
