// The dual numbers over double-double, as out-of-line routines: each is the
// generic rule of dual.hpp instantiated once for Dual<DoubleDouble, 4>.

#include "vantok/scalar/dual.hpp"

namespace vantok::scalar::dual {

using DD = DoubleDouble;

DualDD operator+(const DualDD& a, const DualDD& b) noexcept { return operator+<DD, 4>(a, b); }
DualDD operator-(const DualDD& a, const DualDD& b) noexcept { return operator-<DD, 4>(a, b); }
DualDD operator-(const DualDD& a) noexcept { return operator-<DD, 4>(a); }
DualDD operator*(const DualDD& a, const DualDD& b) noexcept { return operator*<DD, 4>(a, b); }
DualDD operator/(const DualDD& a, const DualDD& b) noexcept { return operator/<DD, 4>(a, b); }
DualDD abs(const DualDD& x) noexcept { return abs<DD, 4>(x); }
DualDD sqrt(const DualDD& x) noexcept { return sqrt<DD, 4>(x); }
DualDD exp(const DualDD& x) noexcept { return exp<DD, 4>(x); }
std::pair<DualDD, DualDD> sin_cos(const DualDD& x) noexcept { return sin_cos<DD, 4>(x); }
DualDD powi(const DualDD& x, std::int32_t n) noexcept { return powi<DD, 4>(x, n); }

namespace traits {
DualDD recip(const DualDD& x) noexcept { return recip<DD, 4>(x); }
DualDD hypot(const DualDD& a, const DualDD& b) noexcept { return hypot<DD, 4>(a, b); }
}  // namespace traits

}  // namespace vantok::scalar::dual
