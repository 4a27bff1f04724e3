// Iteration-free Gauss-Legendre nodes and weights for large n.
//
// With v = 1/(n + 1/2) and alpha = j_k v (j_k the k-th zero of J0), the k-th
// node is cos(theta_k) with
//   theta_k = alpha + v^2 (F1 + v^2 (F2 + v^2 F3)),
// and its weight is
//   w_k = 2 / ((alpha / sin alpha) J1(j_k)^2 D),  D = 1/v^2 + W1 + v^2 (W2 + v^2 W3),
// F_i and W_i being rational in alpha and t = cot(alpha) (Bogaert 2014). The
// truncation error is O(v^8) in theta, far below double rounding for n > 100.
// sin, cos of alpha and the final cosine take the leading part of the
// double-double trigonometry, so they are correctly rounded in practice.
#include "vantok/special/gauss_legendre.hpp"

#include "vantok/constants.hpp"

#include <cmath>
#include <limits>

namespace vantok::special::gauss_legendre_asymptotic {
namespace {

using scalar::dd::DoubleDouble;
using constants::PI;

// The first 20 positive zeros of J0. Entries 9 and 20 are one ulp above the
// correctly rounded zeros; the expansions were fitted with exactly these.
constexpr double J0_ZEROS[20] = {
    2.404825557695773,  5.520078110286311,  8.653727912911013,  11.791534439014281,
    14.930917708487787, 18.071063967910924, 21.21163662987926,  24.352471530749302,
    27.493479132040257, 30.634606468431976, 33.77582021357357,  36.917098353664045,
    40.05842576462824,  43.19979171317673,  46.341188371661815, 49.482609897397815,
    52.624051841115,    55.76551075501998,  58.90698392608094,  62.04846919022717,
};

// J1(j_k)^2 at the first 10 zeros of J0. Entry 2 is one ulp above the
// correctly rounded value, kept as is for the same reason.
constexpr double J1_SQUARED[10] = {
    0.2695141239419169,   0.1157801385822037,  0.07368635113640822,  0.05403757319811628,
    0.04266142901724309,  0.0352421034909961,  0.030021070103054673, 0.02614739149530809,
    0.023159121824691393, 0.02078382912226786,
};

// The k-th zero of J0: the table, then McMahon's expansion in s = 1/(8b),
// b = (k - 1/4) pi.
double bessel_j0_zero(std::size_t k) {
  if (k <= 20) return J0_ZEROS[k - 1];
  const double b = (static_cast<double>(k) - 0.25) * PI;
  const double s = 0.125 / b;
  const double s2 = s * s;
  return b + s * (1.0 + s2 * (-41.333333333333336 + s2 * (8061.866666666667 + s2 * -3826125.4095238093)));
}

// J1(j_k)^2: the table, then its asymptotic series in y = 1/b^2.
double bessel_j1_squared(std::size_t k) {
  if (k <= 10) return J1_SQUARED[k - 1];
  const double b = (static_cast<double>(k) - 0.25) * PI;
  const double y = 1.0 / (b * b);
  const double y2 = y * y;
  return (2.0 + y2 * (-0.2916666666666667 +
                      y * (1.8875 + y * (-21.442584325396826 +
                                         y * (400.8654513888889 + y * -11277.954578138153))))) /
         (b * PI);
}

// (sin a, cos a) as the leading parts of the double-double functions; NaN
// when the argument reduction fails.
std::pair<double, double> sin_cos(double a) {
  const auto [s, c] = DoubleDouble::sin_cos(DoubleDouble{a, 0.0});
  return {s.hi, c.hi};
}

}  // namespace

void rule(std::size_t n, std::span<double> nodes, std::span<double> weights) {
  const double v = 1.0 / (static_cast<double>(n) + 0.5);
  const double v2 = v * v;
  const double inv_v2 = 1.0 / v2;
  for (std::size_t k = 1; k <= (n + 1) / 2; ++k) {
    const double j = bessel_j0_zero(k);
    const double alpha = j * v;
    const auto [sin_a, cos_a] = sin_cos(alpha);
    const double t = cos_a / sin_a;
    const double u = 1.0 / alpha;
    const double t2 = t * t;
    const double u2 = u * u;
    const double alpha2 = alpha * alpha;
    const double alpha3 = alpha2 * alpha;
    const double alpha5 = alpha3 * alpha * alpha;

    // Node angle. F1 = (alpha cot alpha - 1)/(8 alpha).
    const double f1 = (t - u) * 0.125;
    const double f2 = ((6.0 * (t2 + 1.0)) / alpha + 25.0 / alpha3 - (31.0 * t2 + 33.0) * t) / 384.0;
    const double f3 =
        (t2 + 1.0) * ((t / 512.0) / alpha2 - (0.0302734375 * t2 + 0.0107421875) / alpha -
                      0.008138020833333334 / alpha3) +
        (((3779.0 * t2) / 15360.0 + 0.4134114583333333) * t2 + 0.1689453125) * t -
        0.2095703125 / alpha5;
    const double theta = alpha + v2 * (f1 + v2 * (f2 + v2 * f3));
    const double x = DoubleDouble::cos(DoubleDouble{theta, 0.0}).hi;

    // Weight. W1 = (alpha cot alpha + alpha^2 - 1)/(8 alpha^2).
    const double w1 = ((alpha * t - 1.0) * u2 + 1.0) * 0.125;
    const double w2 = ((-3.0 * (1.0 - 2.0 * t2) + (6.0 * alpha) * t + (81.0 - (31.0 * alpha) * t) * u2) * u2 +
                       (-56.0 * t2 - 84.0) * t2 - 27.0) /
                      384.0;
    const double r0 =
        (((151.0 * t2) / 160.0 + 1.9479166666666667) * t2 + 1.15234375) * t2 + 0.1494140625;
    const double g = ((7.0 * t2) / 384.0 + 0.029296875) * t2 + 0.009765625;
    const double h = ((-0.018229166666666668 * t2 + 0.017252604166666668) +
                      (0.24407552083333334 * t - 1.0986328125 * u) * u) *
                         u +
                     (0.001953125 * t2 - 0.008463541666666666) * t;
    const double kk = (-0.15494791666666666 - (35.0 * t2) / 384.0) * t2 - 0.0634765625;
    const double w3 = r0 + ((g + h * u) * u + kk * t) * u;
    const double d = (w2 + w3 * v2) * v2 + (w1 + inv_v2);
    const double w = 2.0 / (((alpha / sin_a) * bessel_j1_squared(k)) * d);

    nodes[n - k] = x;
    nodes[k - 1] = -x;
    weights[n - k] = w;
    weights[k - 1] = w;
  }
  if (n % 2 != 0) nodes[(n - 1) / 2] = 0.0;
}

}  // namespace vantok::special::gauss_legendre_asymptotic
