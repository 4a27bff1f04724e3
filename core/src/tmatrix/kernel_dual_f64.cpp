// The mode kernel over Dual<double, 4>: the generic driver and integrand run
// on the f64 member's operations, so that the value parts are the f64
// kernel's, with the partial derivatives with respect to the size parameter,
// the aspect ratio, Re m and Im m carried by the dual rules.

#include "tmatrix/detail_kernel_impl.hpp"

namespace vantok::tmatrix::kernel {

Axes<DualF64> dual_spheroid(const DualF64& r, const DualF64& eps) {
  // c = cbrt(eps) by the C library, dc/deps = 1/(3 c c).
  const double c = scalar::math::cbrt(eps.value);
  const DualF64 root = scalar::dual::chain(eps, c, 1.0 / ((3.0 * c) * c));
  const DualF64 a = r * root;
  return {a, a / eps};
}

namespace detail {
template regular::Series<DualF64> series_tables<DualF64>(const functions::Scales<DualF64>&,
                                                         std::size_t, const DualF64&,
                                                         const DualF64&, const Complex<DualF64>&);
template Result<std::vector<ModeMatrices<DualF64>>> run_kernel<DualF64>(const KernelCall<DualF64>&);
}  // namespace detail

Result<std::vector<ModeMatrices<DualF64>>> all_modes_masked(const Axes<DualF64>& spheroid,
                                                            const Complex<DualF64>& m,
                                                            std::size_t nmax, std::size_t ngauss,
                                                            Mask mask) {
  return detail::run_kernel(detail::kernel_call(spheroid, m, nmax, ngauss, mask));
}

}  // namespace vantok::tmatrix::kernel
