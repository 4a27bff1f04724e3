#pragma once
// Mixed real-complex operations of the sphere kernels, each with one fixed
// form: a real added to or subtracted from a complex value leaves the other
// part as it is; a complex value subtracted from a real one is the complex
// difference (t - re, 0 - im).

#include "vantok/complex.hpp"

namespace vantok::mie::detail {

/// z + t
inline Complex<double> plus(const Complex<double>& z, double t) { return {z.re + t, z.im}; }
/// t + z
inline Complex<double> plus(double t, const Complex<double>& z) { return {t + z.re, z.im}; }
/// z - t
inline Complex<double> minus(const Complex<double>& z, double t) { return {z.re - t, z.im}; }
/// t - z
inline Complex<double> minus(double t, const Complex<double>& z) { return {t - z.re, 0.0 - z.im}; }

}  // namespace vantok::mie::detail
