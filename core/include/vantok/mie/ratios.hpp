#pragma once
// Ratios of consecutive Riccati-Bessel functions of the first kind,
// r_n(z) = psi_n(z) / psi_{n-1}(z) with psi_n(z) = z j_n(z), by the downward
// recurrence r_n = 1 / ((2n+1)/z - r_{n+1}). Run downward, the recurrence is
// stable for every z (the minimal solution psi_n dominates going down); the
// start order lies far enough above N that the arbitrary start value r = 0 has
// decayed below double precision by order N + 1.

#include <cstddef>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/dd.hpp"
#include "vantok/scalar/dual.hpp"

namespace vantok::mie::kernel {

/// The constants of the start-order rule; the double rule targets 52 bits.
struct StartRule {
  /// Bits the start value must have decayed by.
  double bits;
  /// Coefficient of sqrt(|z|) in the large-argument bound.
  double airy;
  /// Orders added to the large-argument bound.
  std::size_t pad;
};

inline constexpr StartRule F64_START{52.0, 26.936, 30};
/// The rule of the double-double recurrences (a 104-bit target).
inline constexpr StartRule DD_START{104.0, 53.872, 56};

/// Start order of the downward recurrence for an argument of modulus a when
/// ratios up to order n_terms + 1 are wanted. Every conversion and sum
/// saturates, so no input can wrap.
std::size_t start_order(double a, std::size_t n_terms, const StartRule& rule = F64_START);

/// The largest start order a recurrence may have: the orders n and the
/// coefficients 2n + 1 stay exact doubles below it.
inline constexpr std::size_t MAX_START_ORDER = std::size_t{1} << 52;

/// start_order, refused with vantok::memory::Refused when it exceeds
/// MAX_START_ORDER (a recurrence that long would never end).
std::size_t checked_start_order(double a, std::size_t n_terms, const StartRule& rule = F64_START);

/// Fills out with n_terms + 2 entries: out[n] = r_n(z) for n = 1 .. n_terms + 1,
/// out[0] = 0. The vector keeps its capacity between calls. The start order is
/// checked_start_order's, and a long recurrence checks for a stop request
/// (vantok::stop::check) every 65536 orders. These serve the spheroid
/// kernels, whose arguments are not bounded by a validated domain.
void ratios_real(std::vector<double>& out, std::size_t n_terms, double z);

/// The same for a complex argument; every reciprocal by the guarded inv.
void ratios_complex(std::vector<Complex<double>>& out, std::size_t n_terms, Complex<double> z);

/// The ratios in double-double: the start order from the leading part of |z|
/// by DD_START, every step in double-double (exact orders, div_dd, 2^-104
/// zero guard).
void ratios_real(std::vector<scalar::dd::DoubleDouble>& out, std::size_t n_terms,
                 scalar::dd::DoubleDouble z);
void ratios_complex(std::vector<Complex<scalar::dd::DoubleDouble>>& out, std::size_t n_terms,
                    Complex<scalar::dd::DoubleDouble> z);

/// The ratios over dual numbers (the T-matrix derivative kernels): the start
/// order from the value (its leading part over double-double) by F64_START or
/// DD_START, every step in dual arithmetic, the zero guard a dual whose
/// partials follow |t| + |r_next|. The values equal those of the plain
/// recurrences bit for bit.
void ratios_real(std::vector<scalar::dual::Dual<double, 4>>& out, std::size_t n_terms,
                 const scalar::dual::Dual<double, 4>& z);
void ratios_complex(std::vector<Complex<scalar::dual::Dual<double, 4>>>& out, std::size_t n_terms,
                    const Complex<scalar::dual::Dual<double, 4>>& z);
void ratios_real(std::vector<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>>& out,
                 std::size_t n_terms, const scalar::dual::Dual<scalar::dd::DoubleDouble, 4>& z);
void ratios_complex(std::vector<Complex<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>>>& out,
                    std::size_t n_terms,
                    const Complex<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>>& z);

/// Ratios at z = m x. When Im m is exactly 0 the real recurrence runs on
/// Re m x into scratch and is copied with +0.0 imaginary parts; otherwise
/// (also for a NaN Im m) the complex recurrence fills out directly.
void ratios(std::vector<Complex<double>>& out, std::vector<double>& scratch, std::size_t n_terms,
            Complex<double> m, double x);

}  // namespace vantok::mie::kernel
