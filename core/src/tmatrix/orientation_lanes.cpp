// The inner loops of the orientation average in AVX2 lanes (f64 only): the
// collapse and the products over the four cosines of a block, every lane the
// scalar sequence of its cosine, and the rows of the Z tables, two orders L
// per register. The collapse and the products keep their block values planar
// (the four real parts, then the four imaginary parts: see U_BLOCK), so that
// no value is shuffled on its way between memory and the lanes.

#include "tmatrix/detail_orientation_lanes.hpp"

#include <algorithm>

namespace vantok::tmatrix::random {

VANTOK_AVX2_BEGIN
namespace {

using scalar::lanes::F64x4;
using C4 = Complex<F64x4>;

C4 load_planar(const double* p) { return {F64x4::load(p), F64x4::load(p + U_BLOCK)}; }

void store_planar(const C4& z, double* p) {
  z.re.store(p);
  z.im.store(p + U_BLOCK);
}

/// The block's four complex values, interleaved (re, im) in memory, as lanes
/// in the cosine order 0, 2, 1, 3 (real and imaginary parts alike).
C4 load_interleaved(const Complex<double>* p) {
  const __m256d v0 = _mm256_loadu_pd(&p[0].re);
  const __m256d v1 = _mm256_loadu_pd(&p[2].re);
  return {{_mm256_unpacklo_pd(v0, v1)}, {_mm256_unpackhi_pd(v0, v1)}};
}

void store_interleaved(const C4& z, Complex<double>* p) {
  _mm256_storeu_pd(&p[0].re, _mm256_unpacklo_pd(z.re.v, z.im.v));
  _mm256_storeu_pd(&p[2].re, _mm256_unpackhi_pd(z.re.v, z.im.v));
}

/// Lanes 0, 2, 1, 3 of v: the planar order from the interleaved one and back.
F64x4 swap_middle(F64x4 v) { return {_mm256_permute4x64_pd(v.v, 0xd8)}; }

/// p + z u unless z is zero in both parts (then p, as the scalar loop skips it).
void add_term(C4& p, const Complex<double>& z, const C4& u) {
  if (z.re == 0.0 && z.im == 0.0) return;
  p = p + C4{F64x4::broadcast(z.re), F64x4::broadcast(z.im)} * u;
}

}  // namespace

void collapse_lanes(const CollapseRows& rows, const double* u, double* pf) {
  constexpr std::size_t ENTRY = 2 * U_BLOCK;
  // Four orders L at a time, each its own sum over n ascending; order L takes
  // the rows n >= max(n0, L - N) (Z(L, n) is written only for L <= n + N).
  const auto first_row = [&](std::size_t l) { return std::max(rows.n0, l > rows.big_n ? l - rows.big_n : 0); };
  for (std::size_t l0 = rows.lo; l0 < rows.orders; l0 += 4) {
    const std::size_t width = std::min<std::size_t>(4, rows.orders - l0);
    C4 p[4];
    std::size_t start[4];
    for (std::size_t i = 0; i < width; ++i) {
      p[i] = load_planar(pf + (l0 + i) * ENTRY);
      start[i] = first_row(l0 + i);
    }
    for (std::size_t n = start[0]; n <= rows.big_n; ++n) {
      const Complex<double>* zn = rows.z + (n - rows.n0) * rows.stride + (l0 - rows.lo);
      const C4 un = load_planar(u + n * ENTRY);
      for (std::size_t i = 0; i < width; ++i) {
        if (n >= start[i]) add_term(p[i], zn[i], un);
      }
    }
    for (std::size_t i = 0; i < width; ++i) store_planar(p[i], pf + (l0 + i) * ENTRY);
  }
}

void products_lanes(const double* pf, const double* pg, const std::vector<double>& r_l, Complex<double>* acc) {
  constexpr std::size_t ENTRY = 2 * U_BLOCK;
  const C4 start = load_interleaved(acc);
  C4 sum{swap_middle(start.re), swap_middle(start.im)};
  for (std::size_t l = 0; l < r_l.size(); ++l) {
    sum = sum + scale(load_planar(pf + l * ENTRY) * conj(load_planar(pg + l * ENTRY)), F64x4::broadcast(r_l[l]));
  }
  store_interleaved({swap_middle(sum.re), swap_middle(sum.im)}, acc);
}

void z_row_lanes(const double* c, const Complex<double>* b, const Complex<double>& eps, Complex<double>* z,
                 std::size_t count) {
  // Two entries per register, (re, im) pairs: t = c b, then t eps as
  // (t.re e.re - t.im e.im, t.im e.re + t.re e.im) by one add-subtract (the
  // sum's operands commuted, which IEEE addition does not notice).
  const __m256d e_re = _mm256_set1_pd(eps.re);
  const __m256d e_im = _mm256_set1_pd(eps.im);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m256d cc = _mm256_setr_pd(c[i], c[i], c[i + 1], c[i + 1]);
    const __m256d t = _mm256_mul_pd(cc, _mm256_loadu_pd(&b[i].re));
    const __m256d t_swapped = _mm256_permute_pd(t, 0x5);
    const __m256d r = _mm256_addsub_pd(_mm256_mul_pd(t, e_re), _mm256_mul_pd(t_swapped, e_im));
    _mm256_storeu_pd(&z[i].re, _mm256_add_pd(_mm256_loadu_pd(&z[i].re), r));
  }
  for (; i < count; ++i) z[i] = z[i] + complex::scale(c[i], b[i]) * eps;
}

void add_scaled_lanes(const double* c, const Complex<double>& h, Complex<double>* acc, std::size_t count) {
  // Two entries per register, (re, im) pairs: (c h.re, c h.im) added.
  const __m256d hh = _mm256_setr_pd(h.re, h.im, h.re, h.im);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m256d cc = _mm256_setr_pd(c[i], c[i], c[i + 1], c[i + 1]);
    _mm256_storeu_pd(&acc[i].re, _mm256_add_pd(_mm256_loadu_pd(&acc[i].re), _mm256_mul_pd(cc, hh)));
  }
  for (; i < count; ++i) acc[i] = acc[i] + complex::scale(c[i], h);
}

void add_scaled4_lanes(const double* c, const std::array<Complex<double>, 4>& h,
                       const std::array<Complex<double>*, 4>& acc, std::size_t count) {
  __m256d hh[4];
  for (std::size_t t = 0; t < 4; ++t) hh[t] = _mm256_setr_pd(h[t].re, h[t].im, h[t].re, h[t].im);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m256d cc = _mm256_setr_pd(c[i], c[i], c[i + 1], c[i + 1]);
    for (std::size_t t = 0; t < 4; ++t) {
      double* a = &acc[t][i].re;
      _mm256_storeu_pd(a, _mm256_add_pd(_mm256_loadu_pd(a), _mm256_mul_pd(cc, hh[t])));
    }
  }
  for (; i < count; ++i) {
    for (std::size_t t = 0; t < 4; ++t) acc[t][i] = acc[t][i] + complex::scale(c[i], h[t]);
  }
}

VANTOK_AVX2_END

}  // namespace vantok::tmatrix::random
