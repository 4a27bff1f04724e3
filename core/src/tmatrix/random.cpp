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
// pieces are independent: the coupled tables by the order n (each B_t(n, n')
// still takes its terms in ascending m), the collapse by n (each Z(L, n) in
// ascending n'), and the products by the cosine u. The helicity tables are
// formed entry by entry from the blocks where they are needed, never stored.

#include "vantok/tmatrix/random.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "tmatrix/detail_widest.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"
#include "vantok/special/clebsch.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"
#include "tmatrix/detail_node_functions.hpp"

namespace vantok::tmatrix::random {

namespace {

using scalar::math::sqrt;
using std::int64_t;
using std::size_t;

constexpr double PI = 3.141592653589793;

/// Cosines collapsed together (they share the reads of Z).
constexpr std::size_t U_BLOCK = 4;

template <class T>
T cst(double v) {
  return scalar::constant<T>(v);
}

/// Exactly zero in the values of both parts (NaN is not zero). The partials of
/// a dual entry are not examined: an entry of value 0 is skipped whole.
template <class T>
bool negligible(const Complex<T>& z) {
  return scalar::value_f64(z.re) == 0.0 && scalar::value_f64(z.im) == 0.0;
}

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

/// (-1)^v for a possibly negative v.
double parity_sign(int64_t v) { return (v & 1) != 0 ? -1.0 : 1.0; }

/// Clebsch-Gordan coefficients (f64 values) as T: with zero partials for a
/// dual (the dual recurrence runs on constants and gives exactly these
/// values).
template <class T>
void as_scalar(const std::vector<double>& f64, std::vector<T>& out) {
  out.clear();
  for (const double c : f64) out.push_back(cst<T>(c));
}

/// <l1 -m1 l2 -m2 | L -M> = (-1)^(l1 + l2 - L) <l1 m1 l2 m2 | L M>: the list
/// of the mirrored arguments from that of (m1, m2), L = l_min, l_min + 1, ...
/// (l_sum = l1 + l2). The recurrence gives exactly these values: its
/// coefficients b_L change sign with (m1, m2) and its values alternate.
void mirror_signs(std::vector<double>& list, int64_t l_sum, int64_t l_min) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (((l_sum - l_min - static_cast<int64_t>(i)) & 1) != 0) list[i] = -list[i];
  }
}

/// Where each row (kind, n) of a mode sits: its parity block and index, per
/// kind and order.
struct RowPlace {
  std::uint8_t block = 2;  // 2: absent
  size_t index = 0;
};

/// The blocks of one mode read as the four kind tables T^{ab}(n, n').
template <class T>
class KindTables {
 public:
  KindTables(const SolvedMode<T>& mode, size_t n_max) : mode_(&mode) {
    for (auto& kind : places_) kind.assign(n_max + 1, RowPlace{});
    for (std::uint8_t p = 0; p < 2; ++p) {
      const auto& rows = mode.rows[p];
      const size_t k = rows.size();
      if (mode.t[p].size() != k * k) continue;  // not solved: zero
      for (size_t i = 0; i < k; ++i) {
        VANTOK_ASSERT(rows[i].first < 2 && rows[i].second <= n_max);
        places_[rows[i].first][rows[i].second] = {p, i};
      }
    }
  }

  /// T^{ab}(n, n'): the element coupling row (a, n) to column (b, n'), or 0
  /// when they are in different blocks.
  Complex<T> at(size_t a, size_t n, size_t b, size_t n2) const {
    const RowPlace& r = places_[a][n];
    const RowPlace& c = places_[b][n2];
    if (r.block == 2 || r.block != c.block) return {cst<T>(0.0), cst<T>(0.0)};
    const size_t k = mode_->rows[r.block].size();
    return mode_->t[r.block][r.index * k + c.index];
  }

 private:
  const SolvedMode<T>* mode_;
  std::array<std::vector<RowPlace>, 2> places_;
};

/// The helicity entries H_t(m', n, n'), t = 0..3, of one azimuthal projection
/// m' from the kind tables of mode |m'|:
///   H = 0.5 (((T00 + s1 T01) + s2 T10) + s1 s2 T11)
/// with (s1, s2) per t and sign of m'.
template <class T>
std::array<Complex<T>, 4> helicity(const KindTables<T>& kinds, size_t n, size_t n2, bool negative) {
  const Complex<T> a = kinds.at(0, n, 0, n2);
  const Complex<T> b = kinds.at(0, n, 1, n2);
  const Complex<T> c = kinds.at(1, n, 0, n2);
  const Complex<T> d = kinds.at(1, n, 1, n2);
  // (s1, s2) of t = 0..3 for +m; -m takes the opposite of both.
  static constexpr int SIGNS[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
  const T half = cst<T>(0.5);
  std::array<Complex<T>, 4> out;
  for (size_t t = 0; t < 4; ++t) {
    const int s1 = negative ? -SIGNS[t][0] : SIGNS[t][0];
    const int s2 = negative ? -SIGNS[t][1] : SIGNS[t][1];
    const Complex<T> sum = ((a + complex::scale(cst<T>(s1), b)) + complex::scale(cst<T>(s2), c)) +
                           complex::scale(cst<T>(static_cast<double>(s1 * s2)), d);
    out[t] = complex::scale(half, sum);
  }
  return out;
}

/// The coupled tables B_t(n, n'), each a vector over L = |n - n'| .. n + n'
/// at consecutive positions, n-major.
template <class T>
struct Coupled {
  size_t n_max = 0;
  std::vector<size_t> offset;  // (N + 1)^2 + 1 entries
  std::array<std::vector<Complex<T>>, 4> b;

  size_t pair(size_t n, size_t n2) const { return n * (n_max + 1) + n2; }
  const Complex<T>* at(size_t t, size_t n, size_t n2) const { return b[t].data() + offset[pair(n, n2)]; }
};

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
  work::parallel(n_max, [&](size_t index) {
    const size_t n = index + 1;
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

}  // namespace

// The two inner loops of the collapse over the four cosines of a block in
// AVX2 lanes (f64 only): every lane the scalar sequence of its cosine. A
// block's four complex values are interleaved (re, im) in memory; loaded as
// two registers they give the lanes in the cosine order 0, 2, 1, 3 for the
// real and for the imaginary parts alike, and are stored back the same way.
VANTOK_AVX2_BEGIN
namespace {

using scalar::lanes::F64x4;
using C4 = Complex<F64x4>;

C4 load4(const Complex<double>* p) {
  const __m256d v0 = _mm256_loadu_pd(&p[0].re);
  const __m256d v1 = _mm256_loadu_pd(&p[2].re);
  return {{_mm256_unpacklo_pd(v0, v1)}, {_mm256_unpackhi_pd(v0, v1)}};
}

void store4(const C4& z, Complex<double>* p) {
  _mm256_storeu_pd(&p[0].re, _mm256_unpacklo_pd(z.re.v, z.im.v));
  _mm256_storeu_pd(&p[2].re, _mm256_unpackhi_pd(z.re.v, z.im.v));
}

/// P(L) = P(L) + Z(L) U for L = lo..hi-1 with Z(L) not negligible.
void collapse_lanes(const Complex<double>* zn, const Complex<double>* un, Complex<double>* pf, size_t lo,
                    size_t hi) {
  const C4 u = load4(un);
  for (size_t l = lo; l < hi; ++l) {
    const Complex<double> zl = zn[l];
    if (zl.re == 0.0 && zl.im == 0.0) continue;
    const C4 z{F64x4::broadcast(zl.re), F64x4::broadcast(zl.im)};
    Complex<double>* pl = pf + l * U_BLOCK;
    store4(load4(pl) + z * u, pl);
  }
}

/// acc = acc + (P_f(L) conj(P_g(L))) r_L over L = 0..orders-1.
void products_lanes(const Complex<double>* pf, const Complex<double>* pg, const std::vector<double>& r_l,
                    Complex<double>* acc) {
  C4 sum = load4(acc);
  for (size_t l = 0; l < r_l.size(); ++l) {
    sum = sum + scale(load4(pf + l * U_BLOCK) * conj(load4(pg + l * U_BLOCK)), F64x4::broadcast(r_l[l]));
  }
  store4(sum, acc);
}

}  // namespace
VANTOK_AVX2_END

template <class T>
std::array<std::vector<T>, 6> mueller(std::span<const Complex<T>> x, size_t q) {
  VANTOK_ASSERT(x.size() / 16 >= q && (q == 0 || x.size() >= 16 * q));
  const double h = 0.7071067811865476;
  // A = h [[1, 1], [i, -i]] and B = A^H, with the zero signs as written.
  const Complex<T> a[2][2] = {{{cst<T>(h), cst<T>(0.0)}, {cst<T>(h), cst<T>(0.0)}},
                              {{cst<T>(0.0), cst<T>(h)}, {cst<T>(-0.0), cst<T>(-h)}}};
  const Complex<T> b[2][2] = {{{cst<T>(h), cst<T>(0.0)}, {cst<T>(-0.0), cst<T>(-h)}},
                              {{cst<T>(h), cst<T>(0.0)}, {cst<T>(0.0), cst<T>(h)}}};
  // The weights (A_ia B_bj) conj(A_kc B_dl) of the six element sums, in
  // ascending q = 8a + 4b + 2c + d.
  static constexpr size_t SUMS[6][4] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {0, 1, 0, 1},
                                        {1, 0, 1, 0}, {1, 1, 0, 0}, {0, 1, 1, 0}};
  std::array<std::array<Complex<T>, 16>, 6> w;
  for (size_t s = 0; s < 6; ++s) {
    const auto [i, j, k, l] = SUMS[s];
    for (size_t qq = 0; qq < 16; ++qq) {
      const size_t ia = qq >> 3, ib = (qq >> 2) & 1, ic = (qq >> 1) & 1, id = qq & 1;
      w[s][qq] = (a[i][ia] * b[ib][j]) * complex::conj(a[k][ic] * b[id][l]);
    }
  }
  std::array<std::vector<T>, 6> f;
  for (auto& v : f) v.reserve(q);
  const T half = cst<T>(0.5);
  for (size_t u = 0; u < q; ++u) {
    std::array<Complex<T>, 6> e;
    for (size_t s = 0; s < 6; ++s) {
      Complex<T> sum{cst<T>(0.0), cst<T>(0.0)};
      for (size_t qq = 0; qq < 16; ++qq) sum = sum + w[s][qq] * x[qq * q + u];
      e[s] = sum;
    }
    const T& e1 = e[0].re;
    const T& e2 = e[1].re;
    const T& e3 = e[2].re;
    const T& e4 = e[3].re;
    const Complex<T>& z1 = e[4];
    const Complex<T>& z2 = e[5];
    f[0].push_back((((e1 + e2) + e3) + e4) * half);
    f[1].push_back((((e1 - e2) + e4) - e3) * half);
    f[2].push_back((((e1 + e2) - e4) - e3) * half);
    f[3].push_back(z1.re + z2.re);
    f[4].push_back((-z1.im) - z2.im);
    f[5].push_back(z1.re - z2.re);
  }
  return f;
}

namespace {

/// The sums X of the products of the orientation-averaged amplitudes over
/// the total projections M = -(N+1)..N+1 at the cosines mu, in batches of M:
/// the Z tables of every M of a batch at once (one task per M and order n),
/// then per block of cosines the batch's M in ascending order into X, so that
/// X takes its terms in the order of M as if the M were taken one at a time.
template <class T>
class Average {
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
    for (Projection& pr : projections_) {
      for (auto& t : pr.z) t.assign(z_size, zero_);
    }
    for (size_t first = 0; first < m_count; first += batch) {
      const size_t count = std::min(batch, m_count - first);
      set_batch(first, count);
      z_tables(first, count);
      const size_t blocks = (q + U_BLOCK - 1) / U_BLOCK;
      work::parallel(blocks, [&](size_t block) { collapse_block(block, count); });
    }
    return std::move(x_);
  }

 private:
  /// Per M of a batch: k = M + sigma for sigma = +1 (s = 0) and -1 (s = 1),
  /// used when |k| <= N, from order n0 = max(|k|, 1) on; Z_f(n, L), n-major,
  /// for the four f = 2j + s.
  struct Projection {
    int64_t big_m = 0;
    std::array<bool, 2> valid{};
    std::array<int64_t, 2> k_of{};
    std::array<size_t, 2> n0{};
    std::array<std::vector<Complex<T>>, 4> z;
  };

  /// e[n] = 2 sqrt((2n + 1) pi) i^(n - 1), phi_n = w[n] i^(-n) with
  /// w[n] = sqrt((2n + 1) / (4 pi n (n + 1))), 1 / (2L + 1) and sin of each
  /// cosine.
  void factors() {
    e_.assign(n_max_ + 1, zero_);
    std::vector<T> w(n_max_ + 1, cst<T>(0.0));
    for (size_t n = 1; n <= n_max_; ++n) {
      const auto two_n1 = static_cast<double>(2 * n + 1);
      const T r = cst<T>(2.0) * sqrt(cst<T>(two_n1) * cst<T>(PI));
      e_[n] = complex::scale(i_power<T>(static_cast<int64_t>(n) - 1), r);
      if constexpr (scalar::ScalarTraits<T>::is_dual) {
        const T den = cst<T>(static_cast<double>(4 * n * (n + 1))) * cst<T>(PI);
        w[n] = sqrt(cst<T>(two_n1) / den);
      } else {
        const double den = (4.0 * PI * static_cast<double>(n)) * static_cast<double>(n + 1);
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

  /// The projections M of the batch from `first` on.
  void set_batch(size_t first, size_t count) {
    for (size_t b = 0; b < count; ++b) {
      Projection& pr = projections_[b];
      pr.big_m = -(big_n_ + 1) + static_cast<int64_t>(first + b);
      for (size_t s = 0; s < 2; ++s) {
        const int64_t k = pr.big_m + (s == 0 ? 1 : -1);
        pr.k_of[s] = k;
        pr.valid[s] = (k < 0 ? -k : k) <= big_n_;
        pr.n0[s] = std::max<size_t>(static_cast<size_t>(k < 0 ? -k : k), 1);
      }
    }
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
    work::parallel(count * n_max_, [&](size_t index) {
      Projection& pr = projections_[index / n_max_];
      const std::optional<size_t> mirror = in_batch(-pr.big_m);
      if (pr.big_m > 0 && mirror) return;  // formed by the task of -M
      z_task(pr, index % n_max_ + 1, pr.big_m < 0 && mirror ? &projections_[*mirror] : nullptr);
    });
  }

  /// Row n of the Z tables of pr and, when given, of its mirror.
  void z_task(Projection& pr, size_t n, Projection* mirror) const {
    std::vector<special::clebsch::Call> calls(n_max_);
    std::vector<std::vector<double>> lists(n_max_);
    std::vector<int64_t> l_mins(n_max_);
    std::vector<T> cg;
    for (size_t s = 0; s < 2; ++s) {
      if (!pr.valid[s] || n < pr.n0[s]) continue;
      const int64_t sigma = s == 0 ? 1 : -1;
      for (size_t n2 = 1; n2 <= n_max_; ++n2) {
        calls[n2 - 1] = {static_cast<int64_t>(n), pr.k_of[s], static_cast<int64_t>(n2), -sigma};
      }
      special::clebsch::clebsch_gordan_many(calls, lists, l_mins);
      z_rows(pr, s, n, lists, l_mins, cg);
      if (mirror == nullptr) continue;
      // Projection -M with -sigma: the same lists, alternate signs.
      for (size_t n2 = 1; n2 <= n_max_; ++n2) mirror_signs(lists[n2 - 1], static_cast<int64_t>(n + n2), l_mins[n2 - 1]);
      z_rows(*mirror, 1 - s, n, lists, l_mins, cg);
    }
  }

  /// Row n of the Z tables of projection pr for sigma = +1 (s = 0) or -1
  /// (s = 1), both j, from the coefficient lists <n k n' -sigma | L M> over n'.
  void z_rows(Projection& pr, size_t s, size_t n, const std::vector<std::vector<double>>& lists,
              const std::vector<int64_t>& l_mins, std::vector<T>& cg) const {
    const int64_t sigma = s == 0 ? 1 : -1;
    for (size_t j = 0; j < 2; ++j) std::fill_n(pr.z[2 * j + s].data() + n * orders_, orders_, zero_);
    for (size_t n2 = 1; n2 <= n_max_; ++n2) {
      const int64_t l_min = l_mins[n2 - 1];
      as_scalar(lists[n2 - 1], cg);
      const Complex<T> eps = complex::scale(cst<T>(parity_sign(static_cast<int64_t>(n2) - sigma)), e_[n2]);
      const size_t base = n > n2 ? n - n2 : n2 - n;
      const size_t len = 2 * std::min(n, n2) + 1;
      for (size_t j = 0; j < 2; ++j) {
        const size_t f = 2 * j + s;
        const Complex<T>* bf = coupled_.at(f, n, n2);
        Complex<T>* zf = pr.z[f].data() + n * orders_;
        for (size_t i = 0; i < cg.size(); ++i) {
          const size_t big_l = static_cast<size_t>(l_min) + i;
          if (big_l < base || big_l - base >= len) continue;
          zf[big_l] = zf[big_l] + complex::scale(cg[i], bf[big_l - base]) * eps;
        }
      }
    }
  }

  /// Per M of the batch in ascending order, for one block of cosines: U_j(n)
  /// from the angular functions of order |k|, the collapsed amplitudes
  /// P_f(L) = sum over n ascending of Z_f(L, n) U_j(n), and the products
  /// P_f conj(P_g) / (2L + 1) added into X. Each cosine's sums are its own;
  /// the block only shares the reads of Z.
  void collapse_block(size_t block, size_t count) {
    const size_t u0 = block * U_BLOCK;
    const size_t width = std::min(U_BLOCK, mu_.size() - u0);
    functions::Angular<T> angular;
    std::array<std::vector<Complex<T>>, 4> p;  // (L, b)
    std::array<std::vector<Complex<T>>, 2> uj;  // (n, b)
    for (size_t bm = 0; bm < count; ++bm) {
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

  /// U_j(n, b) of projection pr and sigma index s at the block's cosines.
  void u_values(const Projection& pr, size_t s, size_t u0, size_t width, functions::Angular<T>& angular,
                std::array<std::vector<Complex<T>>, 2>& uj) const {
    const int64_t k = pr.k_of[s];
    const auto abs_k = static_cast<size_t>(k < 0 ? -k : k);
    const T sg = cst<T>(k < 0 ? parity_sign(k) : 1.0);
    for (auto& v : uj) v.assign((n_max_ + 1) * U_BLOCK, zero_);
    for (size_t b = 0; b < width; ++b) {
      angular.compute(abs_k, n_max_, mu_[u0 + b], sin_mu_[u0 + b]);
      for (size_t n = pr.n0[s]; n <= n_max_; ++n) {
        const T& pi = angular.pi_mn[n];
        const T& tau = angular.tau_mn[n];
        if (k >= 0) {
          uj[0][n * U_BLOCK + b] = complex::scale(tau + pi, phi_[n]);
          uj[1][n * U_BLOCK + b] = complex::scale(pi - tau, phi_[n]);
        } else {
          uj[0][n * U_BLOCK + b] = complex::scale(sg * (tau - pi), phi_[n]);
          uj[1][n * U_BLOCK + b] = complex::scale((-sg) * (pi + tau), phi_[n]);
        }
      }
    }
  }

  /// P_f(L, b) = sum over n ascending of Z_f(L, n) U(n, b).
  void collapse(const Projection& pr, size_t f, const std::vector<Complex<T>>& u, size_t width,
                std::vector<Complex<T>>& pf_out) const {
    const size_t s = f % 2;
    pf_out.assign(orders_ * U_BLOCK, zero_);
    Complex<T>* pf = pf_out.data();
    for (size_t n = pr.n0[s]; n <= n_max_; ++n) {
      const Complex<T>* zn = pr.z[f].data() + n * orders_;
      const Complex<T>* un = u.data() + n * U_BLOCK;
      // Z_f(L, n) is written only for |M| <= L <= n + N.
      const size_t lo = static_cast<size_t>(pr.big_m < 0 ? -pr.big_m : pr.big_m);
      const size_t hi = std::min(orders_, n + n_max_ + 1);
      if constexpr (std::is_same_v<T, double>) {
        if (wide_) {
          collapse_lanes(zn, un, pf, lo, hi);
          continue;
        }
      }
      for (size_t l = lo; l < hi; ++l) {
        if (negligible(zn[l])) continue;
        const Complex<T> zl = zn[l];
        Complex<T>* pl = pf + l * U_BLOCK;
        for (size_t b = 0; b < width; ++b) pl[b] = pl[b] + zl * un[b];
      }
    }
  }

  /// X(4f + g, u) += sum over L of P_f(L) conj(P_g(L)) / (2L + 1).
  void add_products(const Projection& pr, const std::array<std::vector<Complex<T>>, 4>& p, size_t u0,
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
            acc = acc + complex::scale(p[f][l * U_BLOCK + b] * complex::conj(p[g][l * U_BLOCK + b]), r_l_[l]);
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
  std::vector<Complex<T>> x_;
};

}  // namespace

template <class T>
std::array<std::vector<T>, 6> random_orientation(const TMatrixModes<T>& modes,
                                                 std::span<const T> mu) {
  VANTOK_ASSERT(modes.n_terms < (size_t{1} << 30));
  const std::vector<Complex<T>> x = Average<T>(modes, mu).run();
  return mueller<T>(x, mu.size());
}

template <class T>
Result<GreekCoefficients<T>> greek_raw(const TMatrixModes<T>& modes, size_t order) {
  const size_t n_max = modes.n_terms;
  const size_t big_l = std::min(sat_mul<size_t>(2, n_max), order);
  if (big_l > MAX_GREEK_ORDER) {
    return std::unexpected(Error::invalid_input("the Greek order must be at most " +
                                                fmt::plain(MAX_GREEK_ORDER) + ", got " +
                                                fmt::plain(big_l)));
  }
  const size_t q = n_max + big_l / 2 + 1;
  VANTOK_TRY(rule, special::gauss_legendre::gauss_legendre<T>(q));
  const auto& [nodes, weights] = rule;
  const std::array<std::vector<T>, 6> f = random_orientation<T>(modes, nodes);
  for (const auto& v : f) VANTOK_ASSERT(v.size() == q);

  GreekCoefficients<T> g = GreekCoefficients<T>::zeros(big_l + 1);
  std::array<std::vector<T>, 4> d;
  for (auto& v : d) v.assign(big_l + 1, cst<T>(0.0));
  static constexpr std::int32_t MN[4][2] = {{0, 0}, {2, 2}, {2, -2}, {0, 2}};
  for (size_t i = 0; i < q; ++i) {
    for (size_t t = 0; t < 4; ++t) {
      VANTOK_CHECK(special::wigner::wigner_d<T>(MN[t][0], MN[t][1], nodes[i], d[t]));
    }
    const T& wt = weights[i];
    const T f11 = wt * f[0][i];
    const T f12 = wt * f[1][i];
    const T f22 = wt * f[2][i];
    const T f33 = wt * f[3][i];
    const T f34 = wt * f[4][i];
    const T f44 = wt * f[5][i];
    for (size_t l = 0; l <= big_l; ++l) {
      g.alpha1[l] = g.alpha1[l] + d[0][l] * f11;
      g.alpha4[l] = g.alpha4[l] + d[0][l] * f44;
      g.alpha2[l] = g.alpha2[l] + d[1][l] * (f22 + f33);
      g.alpha3[l] = g.alpha3[l] + d[2][l] * (f22 - f33);
      g.beta1[l] = g.beta1[l] + d[3][l] * f12;
      g.beta2[l] = g.beta2[l] + d[3][l] * f34;
    }
  }
  // alpha2 and alpha3 from S+ = sum d22 (F22 + F33) and S- = sum d2-2 (F22 - F33).
  for (size_t l = 0; l <= big_l; ++l) {
    const double c_l = static_cast<double>(2 * l + 1) * 0.5;
    const T c = cst<T>(c_l);
    g.alpha1[l] = g.alpha1[l] * c;
    g.alpha4[l] = g.alpha4[l] * c;
    g.beta1[l] = g.beta1[l] * c;
    g.beta2[l] = g.beta2[l] * c;
    const T s_plus = g.alpha2[l];
    const T s_minus = g.alpha3[l];
    if constexpr (scalar::ScalarTraits<T>::is_dual) {
      const T c4 = cst<T>(static_cast<double>(2 * l + 1) * 0.25);
      g.alpha2[l] = (s_plus + s_minus) * c4;
      g.alpha3[l] = (s_plus - s_minus) * c4;
    } else {
      g.alpha2[l] = ((s_plus + s_minus) * c_l) * 0.5;
      g.alpha3[l] = ((s_plus - s_minus) * c_l) * 0.5;
    }
  }
  return g;
}

#define VANTOK_TMATRIX_RANDOM(T)                                                                  \
  template std::array<std::vector<T>, 6> mueller<T>(std::span<const Complex<T>>, std::size_t);    \
  template std::array<std::vector<T>, 6> random_orientation<T>(const TMatrixModes<T>&,    \
                                                               std::span<const T>);               \
  template Result<GreekCoefficients<T>> greek_raw<T>(const TMatrixModes<T>&, std::size_t);
VANTOK_TMATRIX_RANDOM(double)
VANTOK_TMATRIX_RANDOM(scalar::DualF64)
#undef VANTOK_TMATRIX_RANDOM

}  // namespace vantok::tmatrix::random
