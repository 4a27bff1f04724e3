// The mode kernel over Dual<DoubleDouble, 4>: the generic driver and
// integrand with the double-double rule, the double-double decisions on the
// values and this member's own evaluation orders, carrying the partial
// derivatives with respect to the size parameter, the aspect ratio, Re m and
// Im m in double-double.

#include "tmatrix/detail_kernel_impl.hpp"

namespace vantok::tmatrix::kernel {

Axes<DualDD> dual_spheroid(const DualDD& r, const DualDD& eps) {
  // c = cbrt(eps) in double-double (cbrt_kernel from the C library seed
  // within 2^-900 <= |eps| <= 2^1000, cbrt_wide outside), and the factor
  // dc/deps = 1/(3 c^2) with c^2 a double-double product, times 3 as an f64.
  const DoubleDouble c = DoubleDouble::cbrt(eps.value);
  const DoubleDouble factor = DoubleDouble::div_dd(DoubleDouble(1.0), (c * c) * 3.0);
  const DualDD root = scalar::dual::chain_or(eps, c, factor);
  const DualDD a = r * root;
  return {a, a / eps};
}

namespace detail {
template regular::Series<DualDD> series_tables<DualDD>(const functions::Scales<DualDD>&,
                                                       std::size_t, const DualDD&, const DualDD&,
                                                       const Complex<DualDD>&);
template Result<std::vector<ModeMatrices<DualDD>>> run_kernel<DualDD>(const KernelCall<DualDD>&);
}  // namespace detail

Result<std::vector<ModeMatrices<DualDD>>> all_modes_masked(const Axes<DualDD>& spheroid,
                                                           const Complex<DualDD>& m,
                                                           std::size_t nmax, std::size_t ngauss,
                                                           Mask mask, const Choice* choice,
                                                           std::size_t held_bytes, bool magnitudes) {
  auto call = detail::kernel_call(spheroid, m, nmax, ngauss, mask, choice);
  call.held_bytes = held_bytes;
  call.magnitudes = magnitudes;
  return detail::run_kernel(call);
}

}  // namespace vantok::tmatrix::kernel
