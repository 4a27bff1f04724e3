// The guarded complex reciprocal over double-double and dual scalars: the f64
// rule of complex.hpp (conjugate over |z|^2 inside 1e-300 < |z|^2 < 1e300 with
// im != 0, Smith's method otherwise) written once over the scalar.

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::complex {

template <class T>
  requires(!std::is_same_v<T, double>)
Complex<T> inv(const Complex<T>& z) noexcept {
  using Traits = scalar::ScalarTraits<T>;
  using scalar::math::abs;
  using scalar::math::recip;
  const T& re = z.re;
  const T& im = z.im;
  const T s = re * re + im * im;
  const double s_value = Traits::value_f64(s);
  if (Traits::value_f64(im) != 0.0 && s_value > 1e-300 && s_value < 1e300) {
    const T r = recip(s);
    return {re * r, -(im * r)};
  }
  // |re| >= |im| on the values, exactly (false when either is NaN).
  if (abs(Traits::value(re)) >= abs(Traits::value(im))) {
    const T t = im / re;
    const T d = re + im * t;
    const T rho = recip(d);
    return {rho, -(t * rho)};
  }
  const T t = re / im;
  const T d = re * t + im;
  const T rho = recip(d);
  return {t * rho, -rho};
}

template Complex<scalar::DoubleDouble> inv(const Complex<scalar::DoubleDouble>&) noexcept;
template Complex<scalar::DualF64> inv(const Complex<scalar::DualF64>&) noexcept;
template Complex<scalar::DualDD> inv(const Complex<scalar::DualDD>&) noexcept;

}  // namespace vantok::complex
