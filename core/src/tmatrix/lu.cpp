// Dense complex LU factorisation with partial pivoting of A^T and the solve of
// X A = -B row by row (each row x solves A^T x^T = -b^T). One template serves
// f64, double-double and dual double-double; a small member table fixes how
// each scalar measures a pivot, orders two moduli, recognises a singular
// column, tests a multiplier for zero and forms a reciprocal.
//
// The f64 member is plain IEEE arithmetic (the build forbids contraction into
// fma), with every sum in ascending index order, so its results are
// reproducible to the bit.

#include "tmatrix/detail_lu.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "vantok/format.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::solve {

namespace {

// Per-scalar rules of the LU that generic code cannot express through
// arithmetic alone: how a pivot modulus is measured and ordered, when a pivot
// column counts as singular, and when a multiplier is an exact zero.

template <class T>
struct LuMember;

/// f64: C library hypot, plain ordering, singular when the best modulus is 0
/// or infinite, the guarded reciprocal of complex.hpp.
template <>
struct LuMember<double> {
  static double zero() { return 0.0; }
  static double modulus(const Complex<double>& z) { return std::hypot(z.re, z.im); }
  static bool greater(double a, double b) { return a > b; }
  static bool singular(double best) { return best == 0.0 || std::isinf(best); }
  static bool is_zero(const Complex<double>& z) { return z.re == 0.0 && z.im == 0.0; }
  static Complex<double> recip(const Complex<double>& z) { return complex::inv(z); }
};

/// DoubleDouble: DoubleDouble::hypot, (hi, lo) order, singular when the best
/// modulus is an exact zero or its hi is not finite, a multiplier is zero when
/// all four doubles are zero, complex::inv over DoubleDouble.
template <>
struct LuMember<scalar::dd::DoubleDouble> {
  using DD = scalar::dd::DoubleDouble;
  static DD zero() { return DD{0.0, 0.0}; }
  static DD modulus(const Complex<DD>& z) { return DD::hypot(z.re, z.im); }
  static bool greater(const DD& a, const DD& b) { return a > b; }
  static bool singular(const DD& best) {
    return (best.hi == 0.0 && best.lo == 0.0) || !std::isfinite(best.hi);
  }
  static bool is_zero(const Complex<DD>& z) {
    return z.re.hi == 0.0 && z.re.lo == 0.0 && z.im.hi == 0.0 && z.im.lo == 0.0;
  }
  static Complex<DD> recip(const Complex<DD>& z) { return complex::inv(z); }
};

/// Dual<DoubleDouble, 4>: the dual hypot, ordered by value as above; singular
/// when the value is an exact zero or the hi of the value or of a partial is
/// not finite. A multiplier counts as zero only when its values and all its
/// partials are zero: one of value 0 with non-zero partials still moves the
/// partials of its row, and skipping that update would drop them.
template <>
struct LuMember<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>> {
  using DD = scalar::dd::DoubleDouble;
  using T = scalar::dual::Dual<DD, 4>;
  static T zero() { return T::constant(DD{0.0, 0.0}); }
  static T modulus(const Complex<T>& z) { return scalar::dual::hypot(z.re, z.im); }
  static bool greater(const T& a, const T& b) { return a.value > b.value; }
  static bool singular(const T& best) {
    if (LuMember<DD>::singular(best.value)) return true;
    for (const DD& d : best.partials)
      if (!std::isfinite(d.hi)) return true;
    return false;
  }
  static bool is_zero(const Complex<T>& z) {
    if (!LuMember<DD>::is_zero(Complex<DD>{z.re.value, z.im.value})) return false;
    for (std::size_t i = 0; i < z.re.partials.size(); ++i) {
      if (!LuMember<DD>::is_zero(Complex<DD>{z.re.partials[i], z.im.partials[i]})) return false;
    }
    return true;
  }
  static Complex<T> recip(const Complex<T>& z) { return complex::inv(z); }
};

}  // namespace

template <class T>
Result<Factors<T>> factor_transposed(std::span<const Complex<T>> a, std::size_t n) {
  using M = LuMember<T>;
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
    T best = M::zero();
    for (std::size_t i = k; i < n; ++i) {
      const T modulus = M::modulus(lu[i * n + k]);
      if (M::greater(modulus, best)) {
        best = modulus;
        pivot = i;
      }
    }
    if (M::singular(best)) {
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
    const Complex<T> rinv = M::recip(lu[k * n + k]);
    const Complex<T>* urow = lu.data() + k * n;
    for (std::size_t i = k + 1; i < n; ++i) {
      Complex<T>* row = lu.data() + i * n;
      const Complex<T> l = row[k] * rinv;
      row[k] = l;
      if (M::is_zero(l)) continue;
      for (std::size_t j = k + 1; j < n; ++j) row[j] = row[j] - l * urow[j];
    }
  }
  return f;
}

template <class T>
void substitute(std::span<const Complex<T>> lu, std::span<const std::size_t> perm, std::size_t n,
                std::span<Complex<T>> rhs) {
  using M = LuMember<T>;
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
    y[i] = s * M::recip(row[i]);
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
  // Row c of X solves A^T x = -b_c: X A = -B.
  for (std::size_t c = 0; c < n; ++c) {
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
