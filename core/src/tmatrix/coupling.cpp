// The Clebsch-Gordan coupling of the orientation average: the helicity tables
// H_t(m, n, n') of every mode coupled over m into B_t(n, n', L). The work is
// split by the order n only; each B_t(n, n') still takes its terms in
// ascending m, so the tables are the same for any number of threads.

#include "tmatrix/detail_coupling.hpp"

#include <algorithm>
#include <optional>

#include "tmatrix/detail_helicity.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/clebsch.hpp"

namespace vantok::tmatrix::random {

template <class T>
Coupled<T> coupled_tables(const TMatrixModes<T>& modes) {
  const size_t n_max = modes.n_terms;
  const size_t stride = n_max + 1;
  Coupled<T> out;
  out.n_max = n_max;
  out.offset.assign(stride * stride + 1, 0);
  size_t total = 0;
  for (size_t n = 0; n <= n_max; ++n) {
    for (size_t n2 = 0; n2 <= n_max; ++n2) {
      out.offset[n * stride + n2] = total;
      if (n > 0 && n2 > 0) total = sat_add(total, 2 * std::min(n, n2) + 1);
    }
  }
  out.offset[stride * stride] = total;
  memory::require_work(sat_mul<size_t>(total, 4), sizeof(Complex<T>),
                       "the coupled T-matrix tables of the orientation average (N = " + fmt::plain(n_max) + ")");
  for (auto& t : out.b) t.assign(total, Complex<T>{cst<T>(0.0), cst<T>(0.0)});

  std::vector<std::optional<KindTables<T>>> kinds(modes.modes.size());
  for (size_t m = 0; m < modes.modes.size() && m <= n_max; ++m) kinds[m].emplace(modes.modes[m], n_max);

  // B_t(n, n')[L - |n - n'|] = sum over m ascending of
  //   (-1)^(n' - m) <n m n' -m | L 0> H_t(m, n, n').
  // The lists of m >= 0 are formed together; -m takes those of m with
  // alternate signs (mirror_signs).
  // The orders n are taken from the largest down: their work grows with n,
  // and the heaviest started first leave the lightest to fill the end.
  work::parallel(n_max, [&](size_t index) {
    const size_t n = n_max - index;
    std::vector<special::clebsch::Call> calls;
    std::vector<std::vector<double>> lists;
    std::vector<int64_t> l_mins;
    std::vector<double> cg64;
    std::vector<T> cg;
    for (size_t n2 = 1; n2 <= n_max; ++n2) {
      stop::check();
      const auto low = static_cast<int64_t>(std::min(n, n2));
      const size_t base = n > n2 ? n - n2 : n2 - n;
      calls.clear();
      for (int64_t m = 0; m <= low; ++m) calls.push_back({static_cast<int64_t>(n), m, static_cast<int64_t>(n2), -m});
      lists.resize(calls.size());
      l_mins.resize(calls.size());
      special::clebsch::clebsch_gordan_many(calls, lists, l_mins);
      for (int64_t m = -low; m <= low; ++m) {
        const auto mode = static_cast<size_t>(m < 0 ? -m : m);
        if (mode >= kinds.size() || !kinds[mode]) continue;
        const std::array<Complex<T>, 4> h = helicity(*kinds[mode], n, n2, m < 0);
        if (negligible(h[0]) && negligible(h[1]) && negligible(h[2]) && negligible(h[3])) continue;
        const int64_t l_min = l_mins[mode];
        cg64 = lists[mode];
        if (m < 0) mirror_signs(cg64, static_cast<int64_t>(n + n2), l_min);
        as_scalar(cg64, cg);
        const bool subtract = parity_sign(static_cast<int64_t>(n2) - m) < 0.0;
        for (size_t t = 0; t < 4; ++t) {
          if (negligible(h[t])) continue;
          Complex<T>* acc = out.b[t].data() + out.offset[out.pair(n, n2)];
          for (size_t i = 0; i < cg.size(); ++i) {
            const size_t at = static_cast<size_t>(l_min) + i - base;
            const Complex<T> term = complex::scale(cg[i], h[t]);
            acc[at] = subtract ? acc[at] - term : acc[at] + term;
          }
        }
      }
    }
  });
  return out;
}


template Coupled<double> coupled_tables<double>(const TMatrixModes<double>&);
template Coupled<scalar::DualF64> coupled_tables<scalar::DualF64>(const TMatrixModes<scalar::DualF64>&);

}  // namespace vantok::tmatrix::random
