#pragma once
// Clebsch-Gordan coefficients <l1 m1 l2 m2 | L M>, M = m1 + m2, for every
// allowed L at once, from the three-term recurrence in L of the Wigner 3j
// symbols (Schulten and Gordon, J. Math. Phys. 16, 1961 (1975)).

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "vantok/scalar/scalars.hpp"

namespace vantok::special::clebsch {

/// Clears out and fills it with <l1 m1 l2 m2 | L, m1 + m2> for
/// L = L_min..l1 + l2, L_min = max(|l1 - l2|, |m1 + m2|); returns L_min.
/// With |m1| > l1 or |m2| > l2 out stays empty and the result is 0. Arguments
/// whose recurrence coefficients overflow 64-bit integers (l1 + l2 beyond about
/// 1990) throw InternalFailure. The dual instance has the values of double and
/// all partials zero.
template <class T>
std::int64_t clebsch_gordan(std::int64_t l1, std::int64_t m1, std::int64_t l2, std::int64_t m2,
                            std::vector<T>& out);

/// The arguments of one clebsch_gordan call.
struct Call {
  std::int64_t l1, m1, l2, m2;
};

/// clebsch_gordan<double> of every call, into out[i] with L_min in l_min[i]:
/// the same values, several calls' recurrences run side by side.
void clebsch_gordan_many(std::span<const Call> calls, std::span<std::vector<double>> out,
                         std::span<std::int64_t> l_min);

/// The coefficients (a_L, b_L) of the recurrence
/// L a_{L+1} f_{L+1} + b_L f_L + (L+1) a_L f_{L-1} = 0.
template <class T>
std::pair<T, T> ab(std::int64_t big_l, std::int64_t l1, std::int64_t l2, std::int64_t m1,
                   std::int64_t m2);

extern template std::int64_t clebsch_gordan<double>(std::int64_t, std::int64_t, std::int64_t,
                                                    std::int64_t, std::vector<double>&);
extern template std::pair<double, double> ab<double>(std::int64_t, std::int64_t, std::int64_t,
                                                     std::int64_t, std::int64_t);
extern template std::int64_t clebsch_gordan<scalar::DualF64>(std::int64_t, std::int64_t, std::int64_t,
                                                             std::int64_t,
                                                             std::vector<scalar::DualF64>&);
extern template std::pair<scalar::DualF64, scalar::DualF64> ab<scalar::DualF64>(
    std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t);

}  // namespace vantok::special::clebsch
