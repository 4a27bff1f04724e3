// Dense complex LU factorisation with partial pivoting of A^T and the solve of
// X A = -B row by row (each row x solves A^T x^T = -b^T). One template serves
// f64, double-double and dual double-double: the pivot modulus is the
// scalar's hypot, ordered by ScalarTraits::greater, and the singular-column
// and zero-multiplier rules below read the scalar's traits.
//
// The f64 solve is plain IEEE arithmetic (the build forbids contraction into
// fma), with every sum in ascending index order, so its results are
// reproducible to the bit.

#include "tmatrix/detail_lu.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <type_traits>
#include <vector>

#include "tmatrix/detail_truncation.hpp"
#include "vantok/format.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::tmatrix::solve {

namespace {

/// The pivot test of the LU: a column is singular when its best modulus is
/// an exact zero or is not finite (a dual's partials included). The running
/// best starts at 0 and takes only strictly larger moduli, so it is never NaN.
template <class T>
bool singular(const T& best) {
  using Traits = scalar::ScalarTraits<T>;
  return Traits::value_is_exact_zero(best) || !Traits::all_finite(best);
}

/// A multiplier that is zero in every part (a dual's partials included: one of
/// value 0 with non-zero partials still moves the partials of its row, and
/// skipping that update would drop them).
template <class T>
bool is_zero_multiplier(const Complex<T>& z) {
  using Traits = scalar::ScalarTraits<T>;
  return Traits::is_exact_zero(z.re) && Traits::is_exact_zero(z.im);
}

}  // namespace

VANTOK_AVX2_BEGIN
namespace {

using scalar::lanes::F64x4;
using C4 = Complex<F64x4>;

/// `substitute` of the four right-hand sides -b_c .. -b_{c+3} (rows of b,
/// n apart) into the rows of x, side by side: lane l performs the scalar
/// steps of row c + l (the same products, differences and reciprocals in
/// the same order), its y planar in four lanes per entry.
void substitute_four(const Complex<double>* lu, const std::size_t* perm, std::size_t n, const Complex<double>* b,
                     Complex<double>* x) {
  auto& y = pool::thread_scratch<std::vector<C4>, struct SubstituteFour>();
  y.resize(n);
  alignas(32) double re[4], im[4];
  for (std::size_t i = 0; i < n; ++i) {
    VANTOK_ASSERT(perm[i] < n);
    for (std::size_t l = 0; l < 4; ++l) {
      const Complex<double> v = -b[l * n + perm[i]];
      re[l] = v.re;
      im[l] = v.im;
    }
    y[i] = {F64x4::load(re), F64x4::load(im)};
  }
  const auto broadcast = [](const Complex<double>& z) { return C4{F64x4::broadcast(z.re), F64x4::broadcast(z.im)}; };
  // Forward substitution with the unit lower factor.
  for (std::size_t i = 0; i < n; ++i) {
    C4 s = y[i];
    const Complex<double>* row = lu + i * n;
    for (std::size_t j = 0; j < i; ++j) s = s - broadcast(row[j]) * y[j];
    y[i] = s;
  }
  // Back substitution with U, dividing by the pivot through the guarded
  // reciprocal.
  for (std::size_t i = n; i-- > 0;) {
    C4 s = y[i];
    const Complex<double>* row = lu + i * n;
    for (std::size_t j = i + 1; j < n; ++j) s = s - broadcast(row[j]) * y[j];
    y[i] = s * broadcast(complex::inv(row[i]));
  }
  for (std::size_t i = 0; i < n; ++i) {
    y[i].re.store(re);
    y[i].im.store(im);
    for (std::size_t l = 0; l < 4; ++l) x[l * n + i] = {re[l], im[l]};
  }
}

}  // namespace
VANTOK_AVX2_END

template <class T>
Result<Factors<T>> factor_transposed(std::span<const Complex<T>> a, std::size_t n) {
  using Traits = scalar::ScalarTraits<T>;
  const std::size_t n2 = square(n);
  VANTOK_ASSERT(a.size() >= n2);

  Factors<T> f;
  f.lu.resize(n2);
  f.perm.resize(n);
  std::vector<Complex<T>>& lu = f.lu;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) lu[i * n + j] = a[j * n + i];
  }
  std::iota(f.perm.begin(), f.perm.end(), std::size_t{0});

  for (std::size_t k = 0; k < n; ++k) {
    stop::check();  // a column's elimination (n^2 products) between checks
    // Pivot: the first row of largest modulus. The running best starts at 0
    // and only a strictly larger modulus replaces it, so a NaN modulus is
    // never chosen and a column of zeros or NaNs keeps the best at 0.
    std::size_t pivot = k;
    T best = scalar::constant<T>(0.0);
    for (std::size_t i = k; i < n; ++i) {
      // In f64 max(best, |a|), which passes best exactly where |a| does,
      // without the hypot call of a row that cannot win.
      const T modulus = [&] {
        if constexpr (std::is_same_v<T, double>) {
          return run_max_modulus(best, lu[i * n + k].re, lu[i * n + k].im);
        } else {
          return scalar::math::hypot(lu[i * n + k].re, lu[i * n + k].im);
        }
      }();
      if (Traits::greater(modulus, best)) {
        best = modulus;
        pivot = i;
      }
    }
    if (singular(best)) {
      return std::unexpected(Error::invalid_input(
          "the EBCM matrix is singular or not finite at column " + fmt::plain(k)));
    }
    if (pivot != k) {
      // Whole rows, the stored multipliers included.
      std::swap_ranges(lu.begin() + static_cast<std::ptrdiff_t>(k * n),
                       lu.begin() + static_cast<std::ptrdiff_t>(k * n + n),
                       lu.begin() + static_cast<std::ptrdiff_t>(pivot * n));
      std::swap(f.perm[k], f.perm[pivot]);
    }
    const Complex<T> rinv = complex::inv(lu[k * n + k]);
    const Complex<T>* urow = lu.data() + k * n;
    for (std::size_t i = k + 1; i < n; ++i) {
      Complex<T>* row = lu.data() + i * n;
      const Complex<T> l = row[k] * rinv;
      row[k] = l;
      if (is_zero_multiplier(l)) continue;
      for (std::size_t j = k + 1; j < n; ++j) row[j] = row[j] - l * urow[j];
    }
  }
  return f;
}

template <class T>
void substitute(std::span<const Complex<T>> lu, std::span<const std::size_t> perm, std::size_t n,
                std::span<Complex<T>> rhs) {
  VANTOK_ASSERT(lu.size() >= square(n) && perm.size() >= n && rhs.size() >= n);
  std::vector<Complex<T>> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    VANTOK_ASSERT(perm[i] < n);
    y[i] = rhs[perm[i]];
  }
  // Forward substitution with the unit lower factor.
  for (std::size_t i = 0; i < n; ++i) {
    Complex<T> s = y[i];
    const Complex<T>* row = lu.data() + i * n;
    for (std::size_t j = 0; j < i; ++j) s = s - row[j] * y[j];
    y[i] = s;
  }
  // Back substitution with U, dividing by the pivot through the guarded
  // reciprocal.
  for (std::size_t i = n; i-- > 0;) {
    Complex<T> s = y[i];
    const Complex<T>* row = lu.data() + i * n;
    for (std::size_t j = i + 1; j < n; ++j) s = s - row[j] * y[j];
    y[i] = s * complex::inv(row[i]);
  }
  std::copy(y.begin(), y.end(), rhs.begin());
}

template <class T>
Result<BlockSolve<T>> solve_block(std::span<const Complex<T>> a, std::span<const Complex<T>> b,
                                  std::size_t n) {
  const std::size_t n2 = square(n);
  VANTOK_ASSERT(a.size() >= n2 && b.size() >= n2);
  VANTOK_TRY(factors, factor_transposed<T>(a, n));
  BlockSolve<T> out;
  out.solution.resize(n2);
  // Row c of X solves A^T x = -b_c: X A = -B. In f64 four rows at a time
  // in lanes where the processor has them (each lane the scalar steps of its
  // row), the rest one by one.
  std::size_t c = 0;
  if constexpr (std::is_same_v<T, double>) {
    if (scalar::lanes::has_avx2()) {
      for (; c + 4 <= n; c += 4) {
        stop::check();
        substitute_four(factors.lu.data(), factors.perm.data(), n, b.data() + c * n, out.solution.data() + c * n);
      }
    }
  }
  for (; c < n; ++c) {
    stop::check();
    std::span<Complex<T>> row(out.solution.data() + c * n, n);
    for (std::size_t j = 0; j < n; ++j) row[j] = -b[c * n + j];
    substitute<T>(factors.lu, factors.perm, n, row);
  }
  out.lu = std::move(factors.lu);
  out.perm = std::move(factors.perm);
  return out;
}

Result<F64Solve> solve_f64(std::span<const Complex<double>> a, std::span<const Complex<double>> b,
                           std::size_t n) {
  return solve_block<double>(a, b, n);
}

void lu_solve(std::span<const Complex<double>> lu, std::span<const std::size_t> perm, std::size_t n,
              std::span<Complex<double>> rhs) {
  substitute<double>(lu, perm, n, rhs);
}

template Result<Factors<double>> factor_transposed<double>(std::span<const Complex<double>>,
                                                           std::size_t);
template void substitute<double>(std::span<const Complex<double>>, std::span<const std::size_t>,
                                 std::size_t, std::span<Complex<double>>);
template Result<BlockSolve<double>> solve_block<double>(std::span<const Complex<double>>,
                                                        std::span<const Complex<double>>,
                                                        std::size_t);

template Result<Factors<DoubleDouble>> factor_transposed<DoubleDouble>(
    std::span<const Complex<DoubleDouble>>, std::size_t);
template Result<Factors<DualDD>> factor_transposed<DualDD>(std::span<const Complex<DualDD>>,
                                                           std::size_t);
template void substitute<DoubleDouble>(std::span<const Complex<DoubleDouble>>,
                                       std::span<const std::size_t>, std::size_t,
                                       std::span<Complex<DoubleDouble>>);
template void substitute<DualDD>(std::span<const Complex<DualDD>>, std::span<const std::size_t>,
                                 std::size_t, std::span<Complex<DualDD>>);
template Result<BlockSolve<DoubleDouble>> solve_block<DoubleDouble>(
    std::span<const Complex<DoubleDouble>>, std::span<const Complex<DoubleDouble>>, std::size_t);
template Result<BlockSolve<DualDD>> solve_block<DualDD>(std::span<const Complex<DualDD>>,
                                                        std::span<const Complex<DualDD>>,
                                                        std::size_t);

}  // namespace vantok::tmatrix::solve
