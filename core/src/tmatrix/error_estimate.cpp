// A-posteriori error bounds of a solved EBCM block T = -RgQ Q^-1.
//
// With element bounds dQ and dRg of the input errors, the first-order change
// of T applied to a vector z is dT z = -(dRg y + T dQ y), y = Q^-1 z. Three
// probes z with random signs, scaled by exp(-ls) into the block's log-scaled
// basis, each with random signs on the element bounds, sample the size of that
// change per row (rescaled by exp(ls_r) to the units of the unscaled block).
// The sign generator is xorshift64* reseeded on every call, so the bounds, and
// the refinement decisions taken on them, are a deterministic function of the
// inputs.

#include "tmatrix/detail_error_estimate.hpp"


#include <cmath>
#include <cstdint>

namespace vantok::tmatrix::solve {

namespace {

constexpr std::uint64_t SEED = 0x9e3779b97f4a7c15ULL;
constexpr double SAFETY = 4.0;

/// xorshift64*: one 64-bit output per draw; the sign is that of bit 63.
struct SignSource {
  std::uint64_t state = SEED;
  bool negative() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return ((state * 0x2545f4914f6cdd1dULL) >> 63) != 0;
  }
};

/// A bound candidate magnitude * scale. A NaN candidate is skipped by the
/// running maxima, except when it is 0 * inf: that arises when exp(-ls) has
/// underflowed while exp(ls) overflowed (far outside the validated domain),
/// and the true product is unknown, so it counts as +inf. A bound that
/// overflows can therefore never be reported as a small one.
double candidate(double magnitude, double scale) {
  const double c = magnitude * scale;
  if (std::isnan(c) && !std::isnan(magnitude) && !std::isnan(scale)) return INFINITY;
  return c;
}

/// (a conj(d)) / |d|^2, the plain complex quotient without scaling.
Complex<double> plain_div(const Complex<double>& a, const Complex<double>& d) {
  const double nd = d.re * d.re + d.im * d.im;
  return {(a.re * d.re + a.im * d.im) / nd, (a.im * d.re - a.re * d.im) / nd};
}

}  // namespace

std::pair<double, std::vector<double>> error_estimate_rows(const F64Solve& factors,
                                                           std::span<const Complex<double>> t,
                                                           std::span<const double> dq,
                                                           std::span<const double> drg,
                                                           std::span<const double> ls,
                                                           std::size_t n) {
  const std::size_t n2 = square(n);
  VANTOK_ASSERT(factors.lu.size() >= n2 && factors.perm.size() >= n && t.size() >= n2 &&
                dq.size() >= n2 && drg.size() >= n2 && ls.size() >= n);
  const std::vector<Complex<double>>& lu = factors.lu;

  std::vector<double> row_scale(n);
  for (std::size_t r = 0; r < n; ++r) row_scale[r] = std::exp(ls[r]);

  // colw_c = max_r |t_rc| exp(ls_r): column c of T in unscaled units.
  std::vector<double> colw(n, 0.0);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      colw[c] = std::fmax(colw[c], candidate(abs(t[r * n + c]), row_scale[r]));
    }
  }

  double block = 0.0;
  std::vector<double> rows(n, 0.0);
  SignSource signs;
  std::vector<Complex<double>> w(n), y(n), u(n);
  for (int probe = 0; probe < 3; ++probe) {
    // z_i = +-exp(-ls_i), and U^T w = z forward.
    for (std::size_t i = 0; i < n; ++i) {
      const double zi = std::exp(-ls[i]);
      w[i] = {signs.negative() ? -zi : zi, 0.0};
    }
    for (std::size_t i = 0; i < n; ++i) {
      Complex<double> s = w[i];
      for (std::size_t j = 0; j < i; ++j) s = s - lu[j * n + i] * w[j];
      w[i] = plain_div(s, lu[i * n + i]);
    }
    // L^T v = w backward (unit diagonal), then undo the row exchanges.
    for (std::size_t i = n; i-- > 0;) {
      Complex<double> s = w[i];
      for (std::size_t j = i + 1; j < n; ++j) s = s - lu[j * n + i] * w[j];
      w[i] = s;
    }
    for (std::size_t k = 0; k < n; ++k) y[factors.perm[k]] = w[k];

    // u = (sigma o dQ) y
    for (std::size_t r = 0; r < n; ++r) {
      Complex<double> acc{0.0, 0.0};
      for (std::size_t c = 0; c < n; ++c) {
        const double d = dq[r * n + c];
        acc = acc + complex::scale(signs.negative() ? -d : d, y[c]);
      }
      u[r] = acc;
    }
    // S = (sigma' o dRg) y and P = T u, so that -(P + S) = dT z.
    for (std::size_t r = 0; r < n; ++r) {
      Complex<double> s{0.0, 0.0};
      Complex<double> p{0.0, 0.0};
      for (std::size_t c = 0; c < n; ++c) {
        const double d = drg[r * n + c];
        s = s + complex::scale(signs.negative() ? -d : d, y[c]);
        p = p + t[r * n + c] * u[c];
      }
      block = std::fmax(block, candidate(abs(p + s), row_scale[r]));
      rows[r] = std::fmax(rows[r], candidate(abs(s), row_scale[r]));
    }
    // Row r of Q reaches T through column r.
    for (std::size_t r = 0; r < n; ++r) rows[r] = std::fmax(rows[r], candidate(abs(u[r]), colw[r]));
  }

  for (double& e : rows) e = SAFETY * e;
  return {SAFETY * block, std::move(rows)};
}

}  // namespace vantok::tmatrix::solve
