// The two inner loops of the orientation average's collapse over the four
// cosines of a block in AVX2 lanes (f64 only): every lane the scalar sequence
// of its cosine. A block's four complex values are interleaved (re, im) in
// memory; loaded as two registers they give the lanes in the cosine order
// 0, 2, 1, 3 for the real and for the imaginary parts alike, and are stored
// back the same way.

#include "tmatrix/detail_orientation_lanes.hpp"

namespace vantok::tmatrix::random {

VANTOK_AVX2_BEGIN
namespace {

using scalar::lanes::F64x4;
using C4 = Complex<F64x4>;

C4 load4(const Complex<double>* p) {
  const __m256d v0 = _mm256_loadu_pd(&p[0].re);
  const __m256d v1 = _mm256_loadu_pd(&p[2].re);
  return {{_mm256_unpacklo_pd(v0, v1)}, {_mm256_unpackhi_pd(v0, v1)}};
}

void store4(const C4& z, Complex<double>* p) {
  _mm256_storeu_pd(&p[0].re, _mm256_unpacklo_pd(z.re.v, z.im.v));
  _mm256_storeu_pd(&p[2].re, _mm256_unpackhi_pd(z.re.v, z.im.v));
}

}  // namespace

void collapse_lanes(const Complex<double>* zn, const Complex<double>* un, Complex<double>* pf, std::size_t lo,
                    std::size_t hi) {
  const C4 u = load4(un);
  for (std::size_t l = lo; l < hi; ++l) {
    const Complex<double> zl = zn[l];
    if (zl.re == 0.0 && zl.im == 0.0) continue;
    const C4 z{F64x4::broadcast(zl.re), F64x4::broadcast(zl.im)};
    Complex<double>* pl = pf + l * U_BLOCK;
    store4(load4(pl) + z * u, pl);
  }
}

void products_lanes(const Complex<double>* pf, const Complex<double>* pg, const std::vector<double>& r_l,
                    Complex<double>* acc) {
  C4 sum = load4(acc);
  for (std::size_t l = 0; l < r_l.size(); ++l) {
    sum = sum + scale(load4(pf + l * U_BLOCK) * conj(load4(pg + l * U_BLOCK)), F64x4::broadcast(r_l[l]));
  }
  store4(sum, acc);
}

VANTOK_AVX2_END

}  // namespace vantok::tmatrix::random
