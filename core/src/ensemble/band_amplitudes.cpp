// Fast phase products of a panel: coefficient columns, their products with a
// band's half tables, and the phase matrix and its parameter derivatives at
// +mu and -mu read from the products.
#include "ensemble/detail_band_amplitudes.hpp"

#include "vantok/error.hpp"

#include <algorithm>
#include <vector>

#include "vantok/scalar/lanes.hpp"

namespace vantok::ensemble::fast {

using C = Complex<double>;

namespace {

// The four phase elements, or their derivatives, at one cosine.
struct Elements {
  double f11;
  double f12;
  double f33;
  double f34;
};

// Re(u conj v) and Im(conj u v).
double re_conj(const C& u, const C& v) { return u.re * v.re + u.im * v.im; }
double im_conj(const C& u, const C& v) { return u.re * v.im - u.im * v.re; }

Elements values(const C& s1, const C& s2, double omega) {
  const double n1 = s1.re * s1.re + s1.im * s1.im;
  const double n2 = s2.re * s2.re + s2.im * s2.im;
  return {omega * (n1 + n2) * 0.5, omega * (n2 - n1) * 0.5, omega * re_conj(s1, s2),
          omega * im_conj(s1, s2)};
}

// The product rule on the four elements with amplitude derivatives ds1, ds2:
//   dF11 = omega (Re(S1 conj dS1) + Re(S2 conj dS2)),
//   dF12 = omega (Re(S2 conj dS2) - Re(S1 conj dS1)),
//   dF33 = omega (Re(dS1 conj S2) + Re(S1 conj dS2)),
//   dF34 = omega (Im(conj dS1 S2) + Im(conj S1 dS2)).
Elements derivatives(const C& s1, const C& s2, const C& ds1, const C& ds2, double omega) {
  const double r1 = re_conj(s1, ds1);
  const double r2 = re_conj(s2, ds2);
  return {omega * (r1 + r2), omega * (r2 - r1), omega * (re_conj(ds1, s2) + re_conj(s1, ds2)),
          omega * (im_conj(ds1, s2) + im_conj(s1, ds2))};
}

// i z: the amplitude derivative with respect to Im m from the one with
// respect to m.
C times_i(const C& z) { return {-z.im, z.re}; }

// The elements at cosine u of a band block of n cosines.
void store(const Elements& e, std::size_t u, std::size_t n, std::span<double> out) {
  const engine::PhaseBlock block{0, n};
  out[block.at(0, u)] = e.f11;
  out[block.at(1, u)] = e.f12;
  out[block.at(2, u)] = e.f33;
  out[block.at(3, u)] = e.f34;
}

using scalar::lanes::flip_sign;

scalar::lanes::F64x2 reversed(scalar::lanes::F64x2 v) { return {_mm_shuffle_pd(v.v, v.v, 1)}; }

VANTOK_AVX2_BEGIN
inline scalar::lanes::F64x4 reversed(scalar::lanes::F64x4 v) { return {_mm256_permute4x64_pd(v.v, 0x1B)}; }
VANTOK_AVX2_END

#define VANTOK_LANES_BODY "ensemble/detail_band_amplitudes_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

}  // namespace

void PanelProducts::prepare(const engine::Band& band, std::size_t complex, std::size_t real, std::size_t n_panel) {
  complex_blocks = complex;
  real_blocks = real;
  terms = std::min(n_panel, band.key);
  const std::size_t columns = PANEL_NODES * block_columns();
  // Every node writes the rows the products read (zeros beyond its terms), so
  // what a previous panel left there is overwritten.
  coefficients.reshape(band.key, columns);
  even_products.reshape(band.half(), columns);
  odd_products.reshape(band.half(), columns);
}

void PanelProducts::set_block(std::size_t node, std::size_t block, std::span<const C> a,
                              std::span<const C> b, double factor) {
  VANTOK_ASSERT(node < PANEL_NODES && block < block_columns() / 4 && a.size() == b.size() && a.size() <= terms &&
                terms <= coefficients.nrows);
  const std::size_t first = node * block_columns() + 4 * block;
  const std::span<double> even_re = coefficients.column(first);
  const std::span<double> even_im = coefficients.column(first + 1);
  const std::span<double> odd_re = coefficients.column(first + 2);
  const std::span<double> odd_im = coefficients.column(first + 3);
  for (std::size_t row = 0; row < a.size(); ++row) {
    // Term k = row + 1: a_k goes with the even function for odd k.
    const bool odd_term = row % 2 == 0;
    const C& with_even = odd_term ? a[row] : b[row];
    const C& with_odd = odd_term ? b[row] : a[row];
    even_re[row] = factor * with_even.re;
    even_im[row] = factor * with_even.im;
    odd_re[row] = factor * with_odd.re;
    odd_im[row] = factor * with_odd.im;
  }
  for (std::size_t row = a.size(); row < terms; ++row) {
    even_re[row] = 0.0;
    even_im[row] = 0.0;
    odd_re[row] = 0.0;
    odd_im[row] = 0.0;
  }
}

void PanelProducts::multiply(const engine::Band& band, std::size_t n_panel) {
  const std::size_t k = std::min(n_panel, band.key);
  VANTOK_ASSERT(k <= terms);
  matrix::matmul(even_products, band.even, coefficients, k);
  matrix::matmul(odd_products, band.odd, coefficients, k);
}

void PanelProducts::phase(std::size_t node, std::size_t row, double sign, std::size_t u,
                          std::size_t n, double omega, std::span<double> block,
                          std::span<const std::span<double>> slots) const {
  if (slots.size() < 2 * complex_blocks + real_blocks) throw InternalFailure("mid > len");
  const std::size_t first = node * block_columns();
  const std::size_t size = engine::PhaseBlock{0, n}.size();
  VANTOK_ASSERT(node < PANEL_NODES && row < even_products.nrows && u < n && block.size() >= size);
  // S1 = (E[b], E[b+1]) + s (O[b+2], O[b+3]); S2 = (E[b+2], E[b+3]) + s (O[b], O[b+1]).
  auto amplitudes = [&](std::size_t b) {
    const std::size_t c = first + 4 * b;
    const C s1{even_products(row, c) + sign * odd_products(row, c + 2),
               even_products(row, c + 1) + sign * odd_products(row, c + 3)};
    const C s2{even_products(row, c + 2) + sign * odd_products(row, c),
               even_products(row, c + 3) + sign * odd_products(row, c + 1)};
    return std::pair{s1, s2};
  };
  const auto [s1, s2] = amplitudes(0);
  store(values(s1, s2, omega), u, n, block);
  for (std::size_t c = 0; c < complex_blocks; ++c) {
    const auto [ds1, ds2] = amplitudes(1 + c);
    VANTOK_ASSERT(slots[2 * c].size() >= size && slots[2 * c + 1].size() >= size);
    store(derivatives(s1, s2, ds1, ds2, omega), u, n, slots[2 * c]);
    store(derivatives(s1, s2, times_i(ds1), times_i(ds2), omega), u, n, slots[2 * c + 1]);
  }
  for (std::size_t f = 0; f < real_blocks; ++f) {
    const auto [ds1, ds2] = amplitudes(1 + complex_blocks + f);
    const std::span<double> slot = slots[2 * complex_blocks + f];
    VANTOK_ASSERT(slot.size() >= size);
    store(derivatives(s1, s2, ds1, ds2, omega), u, n, slot);
  }
}

void PanelProducts::node_phase(const engine::Band& band, std::size_t node, double omega,
                               std::span<double> block, std::span<const std::span<double>> slots) const {
  const std::size_t n = band.n_nodes;
  const std::size_t first = n / 2;
  const std::size_t h = band.half();
  if (slots.size() < 2 * complex_blocks + real_blocks) throw InternalFailure("mid > len");
  const std::size_t size = band.phase().size();
  VANTOK_ASSERT(node < PANEL_NODES && h == even_products.nrows && h == odd_products.nrows && block.size() >= size);
  std::vector<double*> outputs;
  for (const std::span<double> slot : slots) {
    VANTOK_ASSERT(slot.size() >= size);
    outputs.push_back(slot.data());
  }
  // Whole lanes of rows first, each with the mirrored cosines, then the
  // direct ones: for an odd n, the row of mu = 0 is its own mirror, and its
  // direct value (s = +1) is the one that stays.
  const bool wide = scalar::lanes::has_avx2();
  const std::size_t lanes = wide ? four::W : two::W;
  const std::size_t whole = h - h % lanes;
  const std::size_t column = node * block_columns();
  for (std::size_t i = 0; i < whole; i += lanes) {
    for (const bool mirrored : {true, false}) {
      (wide ? &four::rows : &two::rows)(even_products.data.data(), odd_products.data.data(), h, column,
                                        complex_blocks, real_blocks, i, first + i, n, mirrored, omega, block.data(),
                                        outputs.data());
    }
  }
  for (std::size_t i = whole; i < h; ++i) {
    const std::size_t u = first + i;
    phase(node, i, 1.0, u, n, omega, block, slots);
    const std::size_t mirror = n - 1 - u;
    if (mirror != u) phase(node, i, -1.0, mirror, n, omega, block, slots);
  }
}

}  // namespace vantok::ensemble::fast
