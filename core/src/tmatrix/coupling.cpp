// The Clebsch-Gordan coupling of the orientation average: the helicity tables
// H_t(m, n, n') of every mode coupled over m into B_t(n, n', L). The work is
// split by the unordered pair {n, n'}: one task forms the coefficient lists of
// the pair once and serves both B_t(n, n') and B_t(n', n), each of which
// still takes its terms in ascending m, so the tables are the same for any
// number of threads.

#include "tmatrix/detail_coupling.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "tmatrix/detail_helicity.hpp"
#include "tmatrix/detail_orientation_lanes.hpp"
#include "tmatrix/detail_widest.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/clebsch.hpp"

namespace vantok::tmatrix::random {

namespace {

/// The coefficient lists <n m n' -m | L 0>, m = 0..min(n, n'), of one pair
/// n <= n', with their common L_min = n' - n, and the helicity entries of
/// +m and -m per mode m; kept per thread.
template <class T>
struct PairLists {
  std::vector<special::clebsch::Call> calls;
  std::vector<std::vector<double>> lists;
  std::vector<int64_t> l_mins;
  std::vector<double> cg64;  // one m's list as it enters the sums
  std::vector<std::array<std::array<Complex<T>, 4>, 2>> helicities;
};

template <class T>
class Coupling {
 public:
  Coupling(const TMatrixModes<T>& modes, Coupled<T>& out) : n_max_(modes.n_terms), out_(out) {
    kinds_.resize(modes.modes.size());
    for (size_t m = 0; m < modes.modes.size() && m <= n_max_; ++m) kinds_[m].emplace(modes.modes[m], n_max_);
  }

  /// Both tables of the pair n <= n2.
  void pair(size_t n, size_t n2) {
    stop::check();
    PairLists<T>& w = lists_.local();
    const auto low = static_cast<int64_t>(n);
    w.calls.clear();
    for (int64_t m = 0; m <= low; ++m) w.calls.push_back({static_cast<int64_t>(n), m, static_cast<int64_t>(n2), -m});
    w.lists.resize(w.calls.size());
    w.l_mins.resize(w.calls.size());
    special::clebsch::clebsch_gordan_many(w.calls, w.lists, w.l_mins);
    add_terms(n, n2, w);
    if (n != n2) add_terms(n2, n, w);
  }

 private:
  /// B_t(row, col)[L - |row - col|] = sum over m ascending of
  ///   (-1)^(col - m) <row m col -m | L 0> H_t(m, row, col).
  /// The pair's lists are of <n m n' -m | L 0> (n <= n'). The call
  /// <n' m n -m | L 0> runs the very same recurrence (M = 0, the same
  /// l1 + l2, |l1 - l2| and m2 - m1) and normalisation (l1 - l2 + M of the
  /// same parity), so it has the same bits: B(n, n') and B(n', n) both take
  /// the list of |m| as it is for m >= 0 and with alternate signs
  /// (mirror_signs) for m < 0, as each did from its own calls.
  void add_terms(size_t row, size_t col, PairLists<T>& w) {
    // The tables start unset: the sums of B(row, col) start from +0 here.
    const size_t begin = out_.offset[out_.pair(row, col)];
    const size_t end = out_.offset[out_.pair(row, col) + 1];
    for (auto& table : out_.b) std::fill(table.data() + begin, table.data() + end, Complex<T>{cst<T>(0.0), cst<T>(0.0)});
    const auto low = static_cast<int64_t>(std::min(row, col));
    const size_t base = row > col ? row - col : col - row;
    // H of +m and -m from one reading of the kind tables of mode m.
    auto& hs = w.helicities;
    hs.resize(static_cast<size_t>(low) + 1);
    for (size_t mode = 0; mode <= static_cast<size_t>(low) && mode < kinds_.size(); ++mode) {
      if (kinds_[mode]) hs[mode] = helicity_both(*kinds_[mode], row, col);
    }
    for (int64_t m = -low; m <= low; ++m) {
      const auto mode = static_cast<size_t>(m < 0 ? -m : m);
      if (mode >= kinds_.size() || !kinds_[mode]) continue;
      const std::array<Complex<T>, 4>& h = hs[mode][m < 0 ? 1 : 0];
      if (negligible(h[0]) && negligible(h[1]) && negligible(h[2]) && negligible(h[3])) continue;
      const int64_t l_min = w.l_mins[mode];
      const bool mirrored = m < 0;
      const bool subtract = parity_sign(static_cast<int64_t>(col) - m) < 0.0;
      const std::vector<double>& list = w.lists[mode];
      const size_t first = static_cast<size_t>(l_min) - base;
      if constexpr (std::is_same_v<T, double>) {
        signed_list(list, subtract, mirrored ? static_cast<int64_t>(row + col) - l_min : -1, w.cg64);
        if (wide_ && !negligible(h[0]) && !negligible(h[1]) && !negligible(h[2]) && !negligible(h[3])) {
          // All four tables in one pass over the coefficients.
          const size_t at = begin + first;
          add_scaled4_lanes(w.cg64.data(), h,
                            {out_.b[0].data() + at, out_.b[1].data() + at, out_.b[2].data() + at, out_.b[3].data() + at},
                            list.size());
          continue;
        }
      }
      for (size_t t = 0; t < 4; ++t) {
        if (negligible(h[t])) continue;
        Complex<T>* acc = out_.b[t].data() + begin + first;
        if constexpr (std::is_same_v<T, double>) {
          if (wide_) {
            add_scaled_lanes(w.cg64.data(), h[t], acc, list.size());
            continue;
          }
          for (size_t i = 0; i < list.size(); ++i) acc[i] = acc[i] + complex::scale(w.cg64[i], h[t]);
        } else {
          w.cg64 = list;
          if (mirrored) mirror_signs(w.cg64, static_cast<int64_t>(row + col), l_min);
          for (size_t i = 0; i < w.cg64.size(); ++i) {
            const Complex<T> term = complex::scale(cst<T>(w.cg64[i]), h[t]);
            acc[i] = subtract ? acc[i] - term : acc[i] + term;
          }
        }
      }
    }
  }

  /// The coefficients as they enter the sums of one m: acc - c h is
  /// acc + (-c) h to the bit ((-c) h is -(c h), and IEEE subtraction adds the
  /// negated operand), and a mirrored list alternates its signs from
  /// odd_from (odd_from < 0: not mirrored), so every step becomes an addition
  /// of (+-c) h.
  static void signed_list(const std::vector<double>& list, bool subtract, int64_t odd_from, std::vector<double>& out) {
    out.resize(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      const bool flip = odd_from >= 0 && ((odd_from - static_cast<int64_t>(i)) & 1) != 0;
      out[i] = subtract != flip ? -list[i] : list[i];
    }
  }

  size_t n_max_;
  bool wide_ = kernel::detail::widest_available();
  Coupled<T>& out_;
  std::vector<std::optional<KindTables<T>>> kinds_;
  pool::PerThread<PairLists<T>> lists_;
};

}  // namespace

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
  // Left unset: each pair's task zeroes its own entries (tens of megabytes
  // for large N, zeroed on the pool rather than on one thread).
  for (auto& t : out.b) t.assign(total);

  // The pairs n <= n', the heaviest (largest n, whose lists are longest and
  // most numerous) first so that the lightest fill the end.
  std::vector<std::pair<size_t, size_t>> pairs;
  pairs.reserve(n_max * (n_max + 1) / 2);
  for (size_t n = n_max; n >= 1; --n) {
    for (size_t n2 = n; n2 <= n_max; ++n2) pairs.emplace_back(n, n2);
  }
  Coupling<T> coupling(modes, out);
  work::parallel(pairs.size(), [&](size_t index) { coupling.pair(pairs[index].first, pairs[index].second); });
  return out;
}

template Coupled<double> coupled_tables<double>(const TMatrixModes<double>&);
template Coupled<scalar::DualF64> coupled_tables<scalar::DualF64>(const TMatrixModes<scalar::DualF64>&);

}  // namespace vantok::tmatrix::random
