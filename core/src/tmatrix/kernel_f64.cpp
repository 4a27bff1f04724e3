// The f64 member of the mode kernel: the generic driver and integrand
// instantiated for double.

#include "tmatrix/detail_kernel_impl.hpp"

namespace vantok::tmatrix::kernel {

namespace detail {
template regular::Series<double> series_tables<double>(const functions::Scales<double>&,
                                                       std::size_t, const double&, const double&,
                                                       const Complex<double>&);
template Result<std::vector<ModeMatrices<double>>> run_kernel<double>(const KernelCall<double>&);
}  // namespace detail

Result<std::vector<ModeMatrices<double>>> all_modes_masked(const Axes<double>& spheroid,
                                                           std::size_t nmax, std::size_t ngauss,
                                                           Mask mask, double m_re, double m_im) {
  return detail::run_kernel(detail::kernel_call(spheroid, {m_re, m_im}, nmax, ngauss, mask));
}

}  // namespace vantok::tmatrix::kernel
