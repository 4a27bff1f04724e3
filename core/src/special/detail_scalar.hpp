#pragma once
// The few scalar operations the special functions need beyond arithmetic:
// the value part (what comparisons, exponents and branch choices look at) and
// a plain constant lifted into the scalar type (all partials zero).

namespace vantok::special::detail {

inline double value_of(double v) { return v; }

template <class T>
T constant(double c);

template <>
inline double constant<double>(double c) {
  return c;
}

}  // namespace vantok::special::detail
