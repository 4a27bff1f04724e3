// Orientation averaging of a T-matrix given per azimuthal mode in the particle
// frame (Mishchenko, J. Opt. Soc. Am. A 8, 871 (1991); Mishchenko, Travis and
// Lacis, "Scattering, Absorption, and Emission of Light by Small Particles",
// ch. 5). The blocks are recombined into helicity tables H_t(m, n, n'),
// coupled over m by Clebsch-Gordan coefficients into B_t(n, n', L); for each
// total projection M the amplitude series of the rotated particle collapse to
// P_f(L, u), and the products P_f conj(P_g) / (2L + 1) summed over M and L are
// the orientation averages of S_ab conj(S_cd) at the cosine u. The change to
// the linear basis gives the six phase-matrix elements.
//
// Every sum is formed in one fixed order. The work is split only where the
// pieces are independent: the coupled tables by the order n (coupling.cpp),
// the collapse by n (each Z(L, n) in ascending n'), and the products by the
// cosine u. This file holds the collapse and the products; the helicity
// tables, the coupling, the SIMD loops, the change of basis and the Greek
// projection are beside it (see random_orientation.hpp).

#include "vantok/tmatrix/random_orientation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "tmatrix/detail_coupling.hpp"
#include "tmatrix/detail_mueller.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_orientation_lanes.hpp"
#include "tmatrix/detail_widest.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/constants.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/clebsch.hpp"

namespace vantok::tmatrix::random {

namespace {

using scalar::math::sqrt;

/// i^j from the cycle 1, i, -1, -i, j taken mod 4.
template <class T>
Complex<T> i_power(int64_t j) {
  switch (((j % 4) + 4) % 4) {
    case 0: return {cst<T>(1.0), cst<T>(0.0)};
    case 1: return {cst<T>(0.0), cst<T>(1.0)};
    case 2: return {cst<T>(-1.0), cst<T>(0.0)};
    default: return {cst<T>(0.0), cst<T>(-1.0)};
  }
}

}  // namespace

namespace {

/// The sums X of the products of the orientation-averaged amplitudes over
/// the total projections M = -(N+1)..N+1 at the cosines mu, in batches of M:
/// the Z tables of every M of a batch at once (one task per M and order n),
/// then per block of cosines the batch's M in ascending order into X, so that
/// X takes its terms in the order of M as if the M were taken one at a time.
template <class T>
class Average {
  /// Values of one planar entry (U_BLOCK complex values).
  static constexpr size_t ENTRY = 2 * U_BLOCK;

 public:
  Average(const TMatrixModes<T>& modes, std::span<const T> mu)
      : n_max_(modes.n_terms), big_n_(static_cast<int64_t>(n_max_)), orders_(2 * n_max_ + 1), mu_(mu),
        zero_{cst<T>(0.0), cst<T>(0.0)}, coupled_(coupled_tables(modes)),
        coupled_held_(work::hold(sat_mul(sat_mul<size_t>(coupled_.b[0].size(), 4), sizeof(Complex<T>)))) {
    factors();
  }

  /// X (16 sums per cosine, sum-major).
  std::vector<Complex<T>> run() {
    const size_t q = mu_.size();
    x_.assign(16 * q, zero_);
    const size_t m_count = 2 * n_max_ + 3;
    const size_t z_size = (n_max_ + 1) * orders_;
    // Every M at once when their tables take at most 512 MiB (a projection
    // and its mirror -M then share their coupling coefficients), else
    // batches of at most 64 MiB; smaller batches where the work budget has
    // less room (any batch gives the same sums).
    const size_t per_m = std::max<size_t>(1, sat_mul<size_t>(4 * sizeof(Complex<T>), z_size));
    const size_t wanted = sat_mul(per_m, m_count) <= (size_t{512} << 20)
                              ? m_count
                              : std::clamp<size_t>(std::min(m_count, (size_t{64} << 20) / per_m), 1, m_count);
    memory::require_bytes(z_size * 4, sat_add(coupled_held_.bytes(), per_m),
                          "the projection tables of the orientation average (N = " + fmt::plain(n_max_) + ")");
    const memory::Lease lease = memory::lease(per_m, sat_mul(per_m, wanted));
    const size_t batch = std::clamp<size_t>(lease.bytes() / per_m, 1, wanted);
    projections_.resize(std::min(batch, m_count));
    size_t largest = 0;
    for (size_t first = 0; first < m_count; first += batch) {
      largest = std::max(largest, set_batch(first, std::min(batch, m_count - first)));
    }
    // Left unset: a Z task sets every row it writes, and the collapse reads
    // only those, so each page is first touched by the thread that fills it.
    tables_ = std::make_unique_for_overwrite<Complex<T>[]>(largest);
    for (size_t first = 0; first < m_count; first += batch) {
      const size_t count = std::min(batch, m_count - first);
      set_batch(first, count);
      z_tables(first, count);
      collapse_batch(count, per_m);
    }
    return std::move(x_);
  }

 private:
  /// Per M of a batch: k = M + sigma for sigma = +1 (s = 0) and -1 (s = 1),
  /// used when |k| <= N, from order n0 = max(|k|, 1) on; Z_f(n, L), n-major,
  /// for the four f = 2j + s. A table holds only what is ever written or
  /// read: the rows n = n0..N and the orders L = |M|..2N, Z_f(L, n) at
  /// z[f][(n - n0) stride + L - |M|] with stride = 2N + 1 - |M|.
  struct Projection {
    int64_t big_m = 0;
    std::array<bool, 2> valid{};
    std::array<int64_t, 2> k_of{};
    std::array<size_t, 2> n0{};
    size_t lo = 0, stride = 0;
    std::array<Complex<T>*, 4> z{};

    Complex<T>* row(size_t f, size_t n) const { return z[f] + (n - n0[f % 2]) * stride; }
  };

  /// e[n] = 2 sqrt((2n + 1) pi) i^(n - 1), phi_n = w[n] i^(-n) with
  /// w[n] = sqrt((2n + 1) / (4 pi n (n + 1))), 1 / (2L + 1) and sin of each
  /// cosine.
  void factors() {
    e_.assign(n_max_ + 1, zero_);
    std::vector<T> w(n_max_ + 1, cst<T>(0.0));
    for (size_t n = 1; n <= n_max_; ++n) {
      const auto two_n1 = static_cast<double>(2 * n + 1);
      const T r = cst<T>(2.0) * sqrt(cst<T>(two_n1) * scalar::ScalarTraits<T>::pi());
      e_[n] = complex::scale(i_power<T>(static_cast<int64_t>(n) - 1), r);
      if constexpr (scalar::ScalarTraits<T>::is_dual) {
        const T den = cst<T>(static_cast<double>(4 * n * (n + 1))) * scalar::ScalarTraits<T>::pi();
        w[n] = sqrt(cst<T>(two_n1) / den);
      } else {
        const double den = (constants::FOUR_PI * static_cast<double>(n)) * static_cast<double>(n + 1);
        w[n] = std::sqrt(two_n1 / den);
      }
    }
    phi_.assign(n_max_ + 1, zero_);
    for (size_t n = 1; n <= n_max_; ++n) phi_[n] = complex::scale(w[n], i_power<T>(-static_cast<int64_t>(n)));
    r_l_.resize(orders_);
    for (size_t l = 0; l < orders_; ++l) r_l_[l] = scalar::math::recip(cst<T>(static_cast<double>(2 * l + 1)));
    sin_mu_.resize(mu_.size());
    for (size_t u = 0; u < mu_.size(); ++u) sin_mu_[u] = sqrt(cst<T>(1.0) - mu_[u] * mu_[u]);
  }

  /// The projections M of the batch from `first` on, their tables placed
  /// one after the other in tables_ (when it is set); the values they take.
  size_t set_batch(size_t first, size_t count) {
    size_t at = 0;
    for (size_t b = 0; b < count; ++b) {
      Projection& pr = projections_[b];
      pr.big_m = -(big_n_ + 1) + static_cast<int64_t>(first + b);
      pr.lo = static_cast<size_t>(pr.big_m < 0 ? -pr.big_m : pr.big_m);
      pr.stride = orders_ > pr.lo ? orders_ - pr.lo : 0;
      for (size_t s = 0; s < 2; ++s) {
        const int64_t k = pr.big_m + (s == 0 ? 1 : -1);
        pr.k_of[s] = k;
        pr.valid[s] = (k < 0 ? -k : k) <= big_n_;
        pr.n0[s] = std::max<size_t>(static_cast<size_t>(k < 0 ? -k : k), 1);
      }
      for (size_t f = 0; f < 4; ++f) {
        const size_t s = f % 2;
        const size_t size = pr.valid[s] ? (n_max_ + 1 - pr.n0[s]) * pr.stride : 0;
        pr.z[f] = tables_ ? tables_.get() + at : nullptr;
        at += size;
      }
    }
    return at;
  }

  /// Z_f(L, n) = sum over n' ascending of
  ///   (<n k n' -sigma | L M> B_f(n, n')[L - |n - n'|]) (-1)^(n' - sigma) e[n'];
  /// one coefficient list per (n, n') serves both j. Rows below n0 are never
  /// read. A projection -M of the batch takes its lists from the task of M
  /// (see mirror_signs).
  void z_tables(size_t first, size_t count) {
    const auto in_batch = [&](int64_t big_m) -> std::optional<size_t> {
      const int64_t b = big_m + (big_n_ + 1) - static_cast<int64_t>(first);
      if (b < 0 || b >= static_cast<int64_t>(count)) return std::nullopt;
      return static_cast<size_t>(b);
    };
    // Order-major: consecutive tasks share the order n, so that a thread's
    // run of tasks reads the same rows B_f(n, n') from its cache.
    work::parallel(count * n_max_, [&](size_t index) {
      Projection& pr = projections_[index % count];
      const std::optional<size_t> mirror = in_batch(-pr.big_m);
      if (pr.big_m > 0 && mirror) return;  // formed by the task of -M
      z_task(pr, index / count + 1, pr.big_m < 0 && mirror ? &projections_[*mirror] : nullptr);
    });
  }

  /// The coefficient lists of one Z task over n', kept per thread so that
  /// their storage serves every task the thread takes.
  struct Lists {
    std::vector<special::clebsch::Call> calls;
    std::vector<std::vector<double>> lists;
    std::vector<int64_t> l_mins;
    std::vector<T> cg;
  };

  /// Row n of the Z tables of pr and, when given, of its mirror.
  void z_task(Projection& pr, size_t n, Projection* mirror) {
    Lists& scratch = lists_.local();
    auto& [calls, lists, l_mins, cg] = scratch;
    // The calls of both sigma side by side per n' (they share the
    // recurrence's a_L, which depend on M^2, n + n' and |n - n'| only):
    // the list of (n', slot) at (n' - 1) stride + slot.
    std::array<size_t, 2> slot_of{};
    size_t stride = 0;
    for (size_t s = 0; s < 2; ++s) {
      if (pr.valid[s] && n >= pr.n0[s]) slot_of[s] = stride++;
    }
    if (stride == 0) return;
    calls.resize(n_max_ * stride);
    lists.resize(n_max_ * stride);
    l_mins.resize(n_max_ * stride);
    for (size_t s = 0; s < 2; ++s) {
      if (!pr.valid[s] || n < pr.n0[s]) continue;
      const int64_t sigma = s == 0 ? 1 : -1;
      for (size_t n2 = 1; n2 <= n_max_; ++n2) {
        calls[(n2 - 1) * stride + slot_of[s]] = {static_cast<int64_t>(n), pr.k_of[s], static_cast<int64_t>(n2), -sigma};
      }
    }
    special::clebsch::clebsch_gordan_many(calls, lists, l_mins);
    for (size_t s = 0; s < 2; ++s) {
      if (!pr.valid[s] || n < pr.n0[s]) continue;
      const ListSlice slice{lists.data() + slot_of[s], l_mins.data() + slot_of[s], stride};
      z_rows(pr, s, n, slice, cg);
      if (mirror == nullptr) continue;
      // Projection -M with -sigma: the same lists, alternate signs.
      for (size_t n2 = 1; n2 <= n_max_; ++n2) {
        mirror_signs(slice.list(n2), static_cast<int64_t>(n + n2), slice.l_min(n2));
      }
      z_rows(*mirror, 1 - s, n, slice, cg);
    }
  }

  /// The coefficient lists of one sigma over n' = 1..N within a task's lists.
  struct ListSlice {
    std::vector<double>* lists;
    const int64_t* l_mins;
    size_t stride;
    std::vector<double>& list(size_t n2) const { return lists[(n2 - 1) * stride]; }
    int64_t l_min(size_t n2) const { return l_mins[(n2 - 1) * stride]; }
  };

  /// Row n of the Z tables of projection pr for sigma = +1 (s = 0) or -1
  /// (s = 1), both j, from the coefficient lists <n k n' -sigma | L M> over n'.
  void z_rows(Projection& pr, size_t s, size_t n, const ListSlice& slice, std::vector<T>& cg) const {
    const int64_t sigma = s == 0 ? 1 : -1;
    for (size_t j = 0; j < 2; ++j) std::fill_n(pr.row(2 * j + s, n), pr.stride, zero_);
    for (size_t n2 = 1; n2 <= n_max_; ++n2) {
      const auto l_min = static_cast<size_t>(slice.l_min(n2));
      const std::vector<double>& list = slice.list(n2);
      const T* c = nullptr;
      if constexpr (std::is_same_v<T, double>) {
        c = list.data();
      } else {
        as_scalar(list, cg);
        c = cg.data();
      }
      const size_t count = list.size();
      if (count == 0) continue;
      const Complex<T> eps = complex::scale(cst<T>(parity_sign(static_cast<int64_t>(n2) - sigma)), e_[n2]);
      // L runs over l_min..n + n2 with l_min >= |n - n2|: every coefficient
      // meets an entry of B_f(n, n'), which starts at L = |n - n'|.
      const size_t base = n > n2 ? n - n2 : n2 - n;
      VANTOK_ASSERT(l_min >= base && l_min + count <= n + n2 + 1);
      for (size_t j = 0; j < 2; ++j) {
        const size_t f = 2 * j + s;
        const Complex<T>* bf = coupled_.at(f, n, n2) + (l_min - base);
        Complex<T>* zf = pr.row(f, n) + (l_min - pr.lo);
        if constexpr (std::is_same_v<T, double>) {
          if (wide_) {
            z_row_lanes(c, bf, eps, zf, count);
            continue;
          }
        }
        for (size_t i = 0; i < count; ++i) zf[i] = zf[i] + complex::scale(c[i], bf[i]) * eps;
      }
    }
  }

  /// The collapse of the batch's `count` projections, a few M at a time in
  /// ascending order (each step's Z tables, about 1 MiB, then stay in the
  /// cache of every thread that takes a block of cosines), the blocks of
  /// cosines in parallel within a step.
  void collapse_batch(size_t count, size_t per_m) {
    const size_t step = std::clamp<size_t>((size_t{1} << 20) / per_m, 1, count);
    const size_t blocks = (mu_.size() + U_BLOCK - 1) / U_BLOCK;
    for (size_t first = 0; first < count; first += step) {
      const size_t last = std::min(count, first + step);
      work::parallel(blocks, [&](size_t block) { collapse_block(block, first, last); }, pool::Grain::One);
    }
  }

  /// The working arrays of a block's collapse, kept per thread.
  struct BlockScratch {
    functions::Angular<T> angular;
    std::array<std::vector<T>, 4> p;  // planar entries per L
    std::array<std::vector<T>, 2> uj;  // planar entries per n
  };

  /// Per M of the batch's projections first..last-1 in ascending order, for
  /// one block of cosines: U_j(n) from the angular functions of order |k|,
  /// the collapsed amplitudes P_f(L) = sum over n ascending of Z_f(L, n)
  /// U_j(n), and the products P_f conj(P_g) / (2L + 1) added into X. Each
  /// cosine's sums are its own; the block only shares the reads of Z.
  void collapse_block(size_t block, size_t first, size_t last) {
    const size_t u0 = block * U_BLOCK;
    const size_t width = std::min(U_BLOCK, mu_.size() - u0);
    auto& [angular, p, uj] = block_scratch_.local();
    for (size_t bm = first; bm < last; ++bm) {
      stop::check();
      const Projection& pr = projections_[bm];
      for (size_t s = 0; s < 2; ++s) {
        if (!pr.valid[s]) continue;
        u_values(pr, s, u0, width, angular, uj);
        for (size_t j = 0; j < 2; ++j) collapse(pr, 2 * j + s, uj[j], width, p[2 * j + s]);
      }
      add_products(pr, p, u0, width);
    }
  }

  /// Entry b of the planar entry at e: the real part at b, the imaginary
  /// part U_BLOCK further.
  static Complex<T> entry(const T* e, size_t b) { return {e[b], e[U_BLOCK + b]}; }
  static void set_entry(T* e, size_t b, const Complex<T>& v) {
    e[b] = v.re;
    e[U_BLOCK + b] = v.im;
  }

  /// U_j(n, b) of projection pr and sigma index s at the block's cosines.
  void u_values(const Projection& pr, size_t s, size_t u0, size_t width, functions::Angular<T>& angular,
                std::array<std::vector<T>, 2>& uj) const {
    const int64_t k = pr.k_of[s];
    const auto abs_k = static_cast<size_t>(k < 0 ? -k : k);
    const T sg = cst<T>(k < 0 ? parity_sign(k) : 1.0);
    for (auto& v : uj) v.assign((n_max_ + 1) * ENTRY, cst<T>(0.0));
    for (size_t b = 0; b < width; ++b) {
      angular.compute(abs_k, n_max_, mu_[u0 + b], sin_mu_[u0 + b]);
      for (size_t n = pr.n0[s]; n <= n_max_; ++n) {
        const T& pi = angular.pi_mn[n];
        const T& tau = angular.tau_mn[n];
        if (k >= 0) {
          set_entry(uj[0].data() + n * ENTRY, b, complex::scale(tau + pi, phi_[n]));
          set_entry(uj[1].data() + n * ENTRY, b, complex::scale(pi - tau, phi_[n]));
        } else {
          set_entry(uj[0].data() + n * ENTRY, b, complex::scale(sg * (tau - pi), phi_[n]));
          set_entry(uj[1].data() + n * ENTRY, b, complex::scale((-sg) * (pi + tau), phi_[n]));
        }
      }
    }
  }

  /// P_f(L, b) = sum over n ascending of Z_f(L, n) U(n, b), each P_f(L, b)
  /// its own sum (the lanes take four orders L at a time).
  void collapse(const Projection& pr, size_t f, const std::vector<T>& u, size_t width,
                std::vector<T>& pf_out) const {
    const size_t s = f % 2;
    pf_out.assign(orders_ * ENTRY, cst<T>(0.0));
    T* pf = pf_out.data();
    // Z_f(L, n) is written only for |M| <= L <= n + N.
    const size_t lo = pr.lo;
    if constexpr (std::is_same_v<T, double>) {
      if (wide_) {
        collapse_lanes({pr.z[f], pr.stride, orders_, pr.n0[s], n_max_, lo}, u.data(), pf);
        return;
      }
    }
    for (size_t n = pr.n0[s]; n <= n_max_; ++n) {
      const Complex<T>* zn = pr.row(f, n);
      const T* un = u.data() + n * ENTRY;
      const size_t hi = std::min(orders_, n + n_max_ + 1);
      for (size_t l = lo; l < hi; ++l) {
        if (negligible(zn[l - lo])) continue;
        const Complex<T> zl = zn[l - lo];
        T* pl = pf + l * ENTRY;
        for (size_t b = 0; b < width; ++b) set_entry(pl, b, entry(pl, b) + zl * entry(un, b));
      }
    }
  }

  /// X(4f + g, u) += sum over L of P_f(L) conj(P_g(L)) / (2L + 1).
  void add_products(const Projection& pr, const std::array<std::vector<T>, 4>& p, size_t u0,
                    size_t width) {
    const size_t q = mu_.size();
    for (size_t f = 0; f < 4; ++f) {
      if (!pr.valid[f % 2]) continue;
      for (size_t g = 0; g < 4; ++g) {
        if (!pr.valid[g % 2]) continue;
        if constexpr (std::is_same_v<T, double>) {
          if (wide_) {
            // The block's lanes beyond the last cosine sum zeros, never stored.
            Complex<double> acc[U_BLOCK] = {};
            std::copy_n(x_.data() + (4 * f + g) * q + u0, width, acc);
            products_lanes(p[f].data(), p[g].data(), r_l_, acc);
            std::copy_n(acc, width, x_.data() + (4 * f + g) * q + u0);
            continue;
          }
        }
        for (size_t b = 0; b < width; ++b) {
          Complex<T>& acc = x_[(4 * f + g) * q + u0 + b];
          for (size_t l = 0; l < orders_; ++l) {
            const Complex<T> pf = entry(p[f].data() + l * ENTRY, b);
            const Complex<T> pg = entry(p[g].data() + l * ENTRY, b);
            acc = acc + complex::scale(pf * complex::conj(pg), r_l_[l]);
          }
        }
      }
    }
  }

  size_t n_max_;
  int64_t big_n_;
  size_t orders_;  // L = 0..2N
  std::span<const T> mu_;
  Complex<T> zero_;
  Coupled<T> coupled_;
  memory::Lease coupled_held_;
  bool wide_ = kernel::detail::widest_available();
  std::vector<Complex<T>> e_, phi_;
  std::vector<T> r_l_, sin_mu_;
  std::vector<Projection> projections_;
  std::unique_ptr<Complex<T>[]> tables_;  // the Z tables of a batch
  std::vector<Complex<T>> x_;
  pool::PerThread<Lists> lists_;
  pool::PerThread<BlockScratch> block_scratch_;
};

}  // namespace

template <class T>
std::array<std::vector<T>, 6> random_orientation(const TMatrixModes<T>& modes,
                                                 std::span<const T> mu) {
  VANTOK_ASSERT(modes.n_terms < (size_t{1} << 30));
  const std::vector<Complex<T>> x = Average<T>(modes, mu).run();
  return mueller<T>(x, mu.size());
}

template std::array<std::vector<double>, 6> random_orientation<double>(const TMatrixModes<double>&,
                                                                     std::span<const double>);
template std::array<std::vector<scalar::DualF64>, 6> random_orientation<scalar::DualF64>(
    const TMatrixModes<scalar::DualF64>&, std::span<const scalar::DualF64>);

}  // namespace vantok::tmatrix::random
