// Clebsch-Gordan coefficients from the recurrence in L of the 3j symbols
// f_L = (l1 l2 L; m1 m2 -M):
//   L a_{L+1} f_{L+1} + b_L f_L + (L+1) a_L f_{L-1} = 0,
//   a_L = sqrt((L^2 - M^2)((l1+l2+1)^2 - L^2)(L^2 - (l1-l2)^2)),
//   b_L = -(2L+1)(D - L(L+1)(m2 - m1)),  D = -M (l1(l1+1) - l2(l2+1)).
// The recurrence is stable only in the direction in which |f| grows, so it is
// run backward from L_max and forward from L_min, and the two are matched at
// the largest backward value; then sum (2L+1) f_L^2 = 1 fixes the scale and
// the sign convention fixes the sign.
#include "vantok/special/clebsch.hpp"

#include "vantok/error.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"
#include "vantok/scalar/scalars.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <vector>

namespace vantok::special::clebsch {
namespace {

using scalar::value_f64;

// Checked 64-bit integer arithmetic: an overflow is a broken precondition
// (arguments beyond what the recurrence supports), never a wrapped value.
std::int64_t add(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(checked_add(a, b, r));
  return r;
}
std::int64_t sub(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(checked_sub(a, b, r));
  return r;
}
std::int64_t mul(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  VANTOK_ASSERT(checked_mul(a, b, r));
  return r;
}

// The coefficients of one call's recurrence, with the parts that do not
// depend on L formed once:
//   A(L) = (L^2 - M^2)((l1 + l2 + 1)^2 - L^2)(L^2 - (l1 - l2)^2), a_L = sqrt(A(L)),
//   b_L = (D - L(L+1) (m2 - m1)) (-(2L+1)), D = l1(l1+1)(-M) - l2(l2+1)(-M),
// each integer product converted before it enters floating point.
struct Coefficients {
  std::int64_t m_sq, top_sq, diff_sq;
  double d, dm;

  Coefficients(std::int64_t l1, std::int64_t l2, std::int64_t m1, std::int64_t m2) {
    const std::int64_t big_m = add(m1, m2);
    const std::int64_t top = add(add(l1, l2), 1);
    const std::int64_t diff = sub(l1, l2);
    m_sq = mul(big_m, big_m);
    top_sq = mul(top, top);
    diff_sq = mul(diff, diff);
    const double minus_m = -static_cast<double>(big_m);
    d = static_cast<double>(mul(l1, add(l1, 1))) * minus_m - static_cast<double>(mul(l2, add(l2, 1))) * minus_m;
    dm = static_cast<double>(sub(m2, m1));
  }

  std::int64_t a_squared(std::int64_t big_l) const {
    const std::int64_t l_sq = mul(big_l, big_l);
    return mul(mul(sub(l_sq, m_sq), sub(top_sq, l_sq)), sub(l_sq, diff_sq));
  }

  /// a_L as a double.
  double a_at(std::int64_t big_l) const {
    const std::int64_t a_sq = a_squared(big_l);
    return a_sq > 0 ? std::sqrt(static_cast<double>(a_sq)) : 0.0;
  }

  /// b_L as a double.
  double b_at(std::int64_t big_l) const {
    return (d - static_cast<double>(mul(big_l, add(big_l, 1))) * dm) * static_cast<double>(-add(mul(2, big_l), 1));
  }

  /// b_at for L = ld, an integer of a call whose L_max + 1 passed b_at: the
  /// integers L (L + 1) and -(2L + 1) are formed exactly in doubles (they
  /// stay far below 2^53), so the value is b_at's to the bit, without the
  /// checked integer steps.
  double b_of(double ld) const { return (d - (ld * (ld + 1.0)) * dm) * (-(2.0 * ld + 1.0)); }

  /// (a_L, b_L) as doubles.
  std::pair<double, double> at(std::int64_t big_l) const { return {a_at(big_l), b_at(big_l)}; }

  /// What a_L depends on besides L: calls that agree here (and in L_min and
  /// the count) have the same a_L, bit for bit.
  std::array<std::int64_t, 3> a_key() const { return {m_sq, top_sq, diff_sq}; }
};

}  // namespace

template <class T>
std::pair<T, T> ab(std::int64_t big_l, std::int64_t l1, std::int64_t l2, std::int64_t m1,
                   std::int64_t m2) {
  const auto [a, b] = Coefficients(l1, l2, m1, m2).at(big_l);
  return {scalar::constant<T>(a), scalar::constant<T>(b)};
}

namespace {

double lf(std::int64_t v) { return static_cast<double>(v); }

// The arguments of one call: the recurrence's coefficients A(L), B(L) depend
// on L and on these alone.
struct Orders {
  std::int64_t l1, m1, l2, m2;
  std::int64_t l_min, l_max;
};

// One call's working values: a_L and b_L for L = L_min..L_max + 1 (index
// L - L_min), the backward values f, which become the result g (the forward
// values h scaled below the matching point), and h.
template <class T>
struct Sweep {
  Orders o{};
  std::size_t count = 0;
  std::vector<T> a, b, f, h;
  std::size_t h_len = 0;  // forward values formed (0: no forward sweep)
  std::size_t k_star = 0;
};

// The recurrences of up to MAX_LANES calls side by side. Each call's values
// are its own and formed exactly as if it ran alone; running several in one
// loop only lets their chains of dependent divisions overlap.
constexpr std::size_t MAX_LANES = 4;

}  // namespace

VANTOK_AVX2_BEGIN
namespace {

/// b[k] = b_L for L = l_min + k, four L per register: Coefficients::b_of
/// on each lane.
void b_values_four(const Coefficients& c, std::int64_t l_min, std::vector<double>& b) {
  using scalar::lanes::F64x4;
  const auto first = static_cast<double>(l_min);
  const F64x4 one = F64x4::broadcast(1.0);
  const F64x4 two = F64x4::broadcast(2.0);
  const F64x4 d = F64x4::broadcast(c.d);
  const F64x4 dm = F64x4::broadcast(c.dm);
  std::size_t k = 0;
  for (; k + 4 <= b.size(); k += 4) {
    const double kd = first + static_cast<double>(k);
    const F64x4 ld{_mm256_setr_pd(kd, kd + 1.0, kd + 2.0, kd + 3.0)};
    ((d - (ld * (ld + one)) * dm) * (-(two * ld + one))).store(b.data() + k);
  }
  for (; k < b.size(); ++k) b[k] = c.b_of(first + static_cast<double>(k));
}

/// a[k] = a_L for L = l_min + k, four L per register, where every factor of
/// A(L) lies in [0, 2^17] (top_sq <= 2^17): the factors and their product,
/// below 2^51, are then exact in doubles, so A(L) is the integer a_at
/// converts and its root a_at's to the bit.
void a_values_four(const Coefficients& c, std::int64_t l_min, std::vector<double>& a) {
  using scalar::lanes::F64x4;
  const auto first = static_cast<double>(l_min);
  const F64x4 m_sq = F64x4::broadcast(static_cast<double>(c.m_sq));
  const F64x4 top_sq = F64x4::broadcast(static_cast<double>(c.top_sq));
  const F64x4 diff_sq = F64x4::broadcast(static_cast<double>(c.diff_sq));
  const __m256d zero = _mm256_setzero_pd();
  std::size_t k = 0;
  for (; k + 4 <= a.size(); k += 4) {
    const double kd = first + static_cast<double>(k);
    const F64x4 ld{_mm256_setr_pd(kd, kd + 1.0, kd + 2.0, kd + 3.0)};
    const F64x4 l_sq = ld * ld;
    const F64x4 a_sq = ((l_sq - m_sq) * (top_sq - l_sq)) * (l_sq - diff_sq);
    _mm256_storeu_pd(a.data() + k, _mm256_sqrt_pd(_mm256_max_pd(a_sq.v, zero)));
  }
  for (; k < a.size(); ++k) a[k] = c.a_at(l_min + static_cast<std::int64_t>(k));
}

}  // namespace
VANTOK_AVX2_END

namespace {

/// a[k] = a_L for L = l_min + k (a sized to the call's count + 1).
void a_values(const Coefficients& c, std::int64_t l_min, std::vector<double>& a) {
  static const bool wide = scalar::lanes::has_avx2();
  if (wide && c.top_sq <= (std::int64_t{1} << 17)) {
    a_values_four(c, l_min, a);
    return;
  }
  for (std::size_t k = 0; k < a.size(); ++k) a[k] = c.a_at(l_min + static_cast<std::int64_t>(k));
}

/// b[k] = b_L for L = l_min + k (b sized to the call's count + 1).
void b_values(const Coefficients& c, std::int64_t l_min, std::vector<double>& b) {
  static const bool wide = scalar::lanes::has_avx2();
  if (wide) {
    b_values_four(c, l_min, b);
    return;
  }
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = c.b_of(static_cast<double>(l_min + static_cast<std::int64_t>(k)));
}

// The a_L of the last call whose a_L were formed on this thread, with what
// they depend on: a call that agrees in all of it takes them from here (calls
// of one M^2, l1 + l2 and |l1 - l2| with different m1, m2 share them).
template <class T>
struct RecentA {
  std::array<std::int64_t, 5> key{-1, -1, -1, -1, -1};
  std::vector<T> a;
};

// Each call's a_L and b_L, and f set to 1 at L_max; the longest call's count.
template <class T, std::size_t E>
std::size_t prepare(std::span<Sweep<T>, E> lanes, RecentA<T>& recent) {
  const T zero = scalar::constant<T>(0.0);
  const T one = scalar::constant<T>(1.0);
  std::size_t longest = 0;
  for (Sweep<T>& w : lanes) {
    const Orders& o = w.o;
    w.a.resize(w.count + 1);
    w.b.resize(w.count + 1);
    const Coefficients c(o.l1, o.l2, o.m1, o.m2);
    const auto [m_sq, top_sq, diff_sq] = c.a_key();
    const std::array<std::int64_t, 5> key{m_sq, top_sq, diff_sq, o.l_min, static_cast<std::int64_t>(w.count)};
    if (key != recent.key) {
      if constexpr (std::is_same_v<T, double>) {
        a_values(c, o.l_min, w.a);
      } else {
        for (std::size_t k = 0; k <= w.count; ++k) {
          w.a[k] = scalar::constant<T>(c.a_at(o.l_min + static_cast<std::int64_t>(k)));
        }
      }
      recent.key = key;
      recent.a = w.a;
    } else {
      std::copy(recent.a.begin(), recent.a.end(), w.a.begin());
    }
    if constexpr (std::is_same_v<T, double>) {
      b_values(c, o.l_min, w.b);
    } else {
      for (std::size_t k = 0; k <= w.count; ++k) {
        w.b[k] = scalar::constant<T>(c.b_of(static_cast<double>(o.l_min + static_cast<std::int64_t>(k))));
      }
    }
    w.f.assign(w.count, zero);
    w.f[w.count - 1] = one;
    longest = std::max(longest, w.count);
  }
  return longest;
}

// Far from overflow, and so that the normalising sum of (2L+1) g_L^2 over at
// most a few thousand L stays finite: a sweep whose values pass BIG scales
// all it has formed by 1/BIG, exactly (values that become subnormal are some
// 2^-500 of the largest and do not count). A 3j list spans more than 2^500
// only for l1 + l2 in the hundreds, where its smallest values lie deep in a
// classically forbidden region; the backward sweep, whose loop is the hot
// one, runs plainly and is redone with the scaling for such a list alone.
constexpr double BIG = 0x1p500;
constexpr double SMALL = 0x1p-500;

template <class T>
bool too_big(const T& v) {
  return std::fabs(value_f64(v)) > BIG;
}

template <class T>
void scale_down(T* first, T* last) {
  for (; first != last; ++first) *first = *first * SMALL;
}

// The forward step of one lane: h at L_min + k + 1 from the values below
// (h_{L_min} = 1, h_{L_min-1} = 0), the lane's forward values growing to
// k + 2. Run only where L_min >= 1: at L_min = 0 the first step divides by 0.
template <class T>
[[gnu::always_inline]] inline void forward_step(Sweep<T>& w, std::size_t k) {
  const T zero = scalar::constant<T>(0.0);
  T& next = w.h[k + 1];
  if (k == 0) {
    const T denominator = w.a[1] * lf(w.o.l_min);
    next = value_f64(denominator) == 0.0
               ? zero
               : -(w.b[0] * scalar::constant<T>(1.0) + (w.a[0] * lf(w.o.l_min + 1)) * zero) / denominator;
  } else {
    const std::int64_t big_l = w.o.l_min + static_cast<std::int64_t>(k);
    const T denominator = w.a[k + 1] * lf(big_l);
    next = value_f64(denominator) == 0.0
               ? zero
               : -((w.a[k] * lf(big_l + 1)) * w.h[k - 1] + w.b[k] * w.h[k]) / denominator;
  }
  if (too_big(next)) scale_down(w.h.data(), w.h.data() + (k + 2));
  w.h_len = k + 2;
}

// Where the forward values stop rising: the first k at which |h_{k+1}| does
// not exceed |h_k| by more than one part in 2^30 (the last index when they
// rise to the end). Below it the 3j symbols rise monotonically through the
// classically forbidden region of small L, where the backward sweep grows
// the other solution and can lose every digit (<30 30 60 1 | 31 31> would
// come out as 0.78 for 1.3e-17); the forward sweep is stable there, and the
// backward one from that point up. The margin keeps two values equal but for
// rounding (the symmetric pairs of the allowed region) from counting as a
// rise, so that wherever the largest backward value is a sound matching
// point it stays the matching point.
constexpr double RISE = 0x1p-30;

template <class T, std::size_t E>
void first_peaks(std::span<Sweep<T>, E> lanes, std::array<std::size_t, MAX_LANES>& peak) {
  std::array<bool, MAX_LANES> rising{};
  std::size_t active = 0;
  for (std::size_t l = 0; l < lanes.size(); ++l) {
    Sweep<T>& w = lanes[l];
    peak[l] = 0;
    w.h_len = 0;
    rising[l] = w.o.l_min >= 1 && w.count >= 2;
    if (!rising[l]) continue;
    if (w.h.size() < w.count) w.h.resize(w.count);
    w.h[0] = scalar::constant<T>(1.0);
    w.h_len = 1;
    ++active;
  }
  for (std::size_t k = 0; active > 0; ++k) {
    for (std::size_t l = 0; l < lanes.size(); ++l) {
      if (!rising[l]) continue;
      Sweep<T>& w = lanes[l];
      if (k + 1 < w.count) forward_step(w, k);
      // Risen to the last index, or no longer rising.
      if (k + 1 >= w.count ||
          !(std::fabs(value_f64(w.h[k + 1])) > std::fabs(value_f64(w.h[k])) * (1.0 + RISE))) {
        rising[l] = false;
        --active;
        continue;
      }
      peak[l] = k + 1;
    }
  }
}

// f at L_min + k - 1 from the recurrence, given f at L_min + k (in f) and
// the one above it with its a_{L+1} (f_above, a_above).
template <class T>
[[gnu::always_inline]] inline T backward_value(const Sweep<T>& w, std::size_t k, const T& a_above, const T& f_above) {
  const std::int64_t big_l = w.o.l_min + static_cast<std::int64_t>(k);
  const T denominator = w.a[k] * lf(big_l + 1);
  if (value_f64(denominator) == 0.0) return scalar::constant<T>(0.0);
  return -(w.b[k] * w.f[k] + (a_above * lf(big_l)) * f_above) / denominator;
}

// Backward sweep from f_{L_max} = 1, f_{L_max+1} = 0 down to the lane's
// first peak (`stop`, an index of L - L_min): step j forms f at
// L_max - j - 1. Below the first peak the backward values are never used.
template <class T, std::size_t E>
void backward_sweep(std::span<Sweep<T>, E> lanes, std::size_t longest,
                    const std::array<std::size_t, MAX_LANES>& stop) {
  std::array<T, MAX_LANES> f_above;
  std::array<T, MAX_LANES> a_above;
  std::array<std::size_t, MAX_LANES> steps{};
  for (std::size_t l = 0; l < lanes.size(); ++l) {
    f_above[l] = scalar::constant<T>(0.0);
    a_above[l] = lanes[l].a[lanes[l].count];
    steps[l] = lanes[l].count - 1 - stop[l];
  }
  for (std::size_t j = 0; j + 1 < longest; ++j) {
    for (std::size_t l = 0; l < lanes.size(); ++l) {
      Sweep<T>& w = lanes[l];
      if (j >= steps[l]) continue;
      const std::size_t k = w.count - 1 - j;
      w.f[k - 1] = backward_value(w, k, a_above[l], f_above[l]);
      f_above[l] = w.f[k];
      a_above[l] = w.a[k];
    }
  }
}

// The backward sweep of one lane again, its values scaled down whenever
// they pass BIG: for the rare lists whose plain sweep passed it.
template <class T>
void backward_sweep_scaled(Sweep<T>& w, std::size_t stop) {
  T f_above = scalar::constant<T>(0.0);
  T a_above = w.a[w.count];
  for (std::size_t k = w.count - 1; k > stop; --k) {
    w.f[k - 1] = backward_value(w, k, a_above, f_above);
    if (too_big(w.f[k - 1])) scale_down(w.f.data() + (k - 1), w.f.data() + w.count);
    f_above = w.f[k];
    a_above = w.a[k];
  }
}

// The index of the largest |f_L| from `from` on, the larger L on ties; false
// when a value passed BIG or is not finite.
template <class T>
bool largest_from(Sweep<T>& w, std::size_t from) {
  w.k_star = from;
  double best = 0.0;
  bool bounded = true;
  for (std::size_t k = from; k < w.count; ++k) {
    const double mag = std::fabs(value_f64(w.f[k]));
    bounded = bounded && mag <= BIG;
    if (mag >= best) {
      best = mag;
      w.k_star = k;
    }
  }
  return bounded;
}

// The matching point: the index of the largest |f_L| at or above the first
// peak, the larger L on ties. Below it (k_star >= 1, L_min >= 1) the
// backward values give way to the forward sweep. Returns the longest forward
// sweep.
template <class T, std::size_t E>
std::size_t matching_points(std::span<Sweep<T>, E> lanes, const std::array<std::size_t, MAX_LANES>& peak) {
  std::size_t forward = 0;
  for (std::size_t l = 0; l < lanes.size(); ++l) {
    Sweep<T>& w = lanes[l];
    if (!largest_from(w, peak[l])) {
      backward_sweep_scaled(w, peak[l]);
      largest_from(w, peak[l]);
    }
    if (w.o.l_min >= 1 && w.k_star >= 1) {
      forward = std::max(forward, w.k_star);
    } else {
      w.h_len = 0;
    }
  }
  return forward;
}

// The forward sweep continued up to each matching point, then g below it: h
// scaled to meet f there (f becomes g, f at the matching point unchanged).
// Where h vanishes at the matching point (the zeros of alternate L of some
// symmetric lists) f stays as it is: such a list never rises, so its
// backward sweep ran down to L_min.
template <class T, std::size_t E>
void forward_sweep(std::span<Sweep<T>, E> lanes, std::size_t steps) {
  std::size_t from = steps;
  for (const Sweep<T>& w : lanes) {
    if (w.h_len > 0) from = std::min(from, w.h_len - 1);
  }
  for (std::size_t k = from; k < steps; ++k) {
    for (Sweep<T>& w : lanes) {
      if (w.h_len == k + 1 && k < w.k_star) forward_step(w, k);
    }
  }
  for (Sweep<T>& w : lanes) {
    if (w.h_len == 0 || value_f64(w.h[w.k_star]) == 0.0) continue;
    const T r = w.f[w.k_star] / w.h[w.k_star];
    for (std::size_t k = 0; k < w.k_star; ++k) w.f[k] = w.h[k] * r;
  }
}

// The sweeps of the lanes; the longest count. (A full set of lanes has a
// static extent, so that the loops over its lanes unroll and keep the
// lanes' running values in registers.)
template <class T, std::size_t E>
std::size_t sweeps(std::span<Sweep<T>, E> lanes, RecentA<T>& recent) {
  const std::size_t longest = prepare(lanes, recent);
  std::array<std::size_t, MAX_LANES> peak{};
  first_peaks(lanes, peak);
  backward_sweep(lanes, longest, peak);
  forward_sweep(lanes, matching_points(lanes, peak));
  return longest;
}

// sqrt(2L + 1) for L = 0..l_max, each formed once per thread by the same
// correctly rounded square root as anywhere else (the table only saves the
// root per coefficient, never changes a bit).
const double* root_weights(std::int64_t l_max) {
  auto& roots = pool::thread_scratch<std::vector<double>, struct RootWeights>();
  const auto need = static_cast<std::size_t>(l_max) + 1;
  for (std::size_t l = roots.size(); l < need; ++l) roots.push_back(std::sqrt(lf(2 * static_cast<std::int64_t>(l) + 1)));
  return roots.data();
}

// Each call's sum of (2L+1) g_L^2 in ascending L, the calls' sums side by
// side (each its own chain of additions).
template <class T, std::size_t E>
std::array<T, MAX_LANES> norm_sums(std::span<Sweep<T>, E> lanes, std::size_t longest) {
  std::array<T, MAX_LANES> sum;
  sum.fill(scalar::constant<T>(0.0));
  for (std::size_t k = 0; k < longest; ++k) {
    for (std::size_t l = 0; l < lanes.size(); ++l) {
      const Sweep<T>& w = lanes[l];
      if (k >= w.count) continue;
      sum[l] = sum[l] + (w.f[k] * lf(2 * (w.o.l_min + static_cast<std::int64_t>(k)) + 1)) * w.f[k];
    }
  }
  return sum;
}

// The coefficients from g, whose sum of (2L+1) g_L^2 is `sum`: normalised to
// 1, with the sign of the 3j symbol at L_max, (-1)^p, p = l1 - l2 + M.
template <class T>
void normalize(const Orders& o, const std::vector<T>& g, const T& sum, std::vector<T>& out) {
  using scalar::math::sqrt;
  const std::size_t count = g.size();
  T norm = scalar::constant<T>(1.0) / sqrt(sum);
  // Parity is tested with != 0 as p may be negative.
  const std::int64_t p = add(sub(o.l1, o.l2), o.m1 + o.m2);
  const bool p_odd = p % 2 != 0;
  if ((value_f64(g[count - 1]) < 0.0) != p_odd) norm = -norm;
  const double s = p_odd ? -1.0 : 1.0;
  const double* roots = root_weights(o.l_max) + o.l_min;
  out.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    const double weight = s * roots[k];
    out[k] = (g[k] * weight) * norm;
  }
}

// The checks and orders of one call: nullopt when out stays empty (with the
// L_min to return), else the Orders.
std::pair<std::int64_t, std::optional<Orders>> orders_of(std::int64_t l1, std::int64_t m1, std::int64_t l2,
                                                         std::int64_t m2) {
  // Written so that no negation can overflow: a negative l fails first.
  if (l1 < 0 || l2 < 0 || m1 > l1 || m1 < -l1 || m2 > l2 || m2 < -l2) return {0, std::nullopt};
  // L_max first: |M| <= L_max, so once l1 + l2 fits, M and |M| fit too.
  const std::int64_t l_max = add(l1, l2);
  const std::int64_t big_m = m1 + m2;
  const std::int64_t l_min = std::max(std::abs(l1 - l2), std::abs(big_m));
  if (l_max < l_min) return {l_min, std::nullopt};

  // A(L_max) is formed (and checked) before anything is allocated. With
  // L = L_max and count = L - L_min + 1 it is at least
  // (count - 1)^2 L^2 (2L + 1) >= 2 (count - 1)^5, so when it fits in 64 bits
  // the arrays hold a few thousand entries at most, and larger arguments fail
  // here rather than after reserving memory for them. (The coefficient above
  // L_max cannot serve: its middle factor is 0.)
  const Coefficients c(l1, l2, m1, m2);
  (void)c.at(add(l_max, 1));
  (void)c.a_squared(l_max);
  return {l_min, Orders{l1, m1, l2, m2, l_min, l_max}};
}

// Every call of `calls`, MAX_LANES at a time.
template <class T>
void many(std::span<const Call> calls, std::span<std::vector<T>> out, std::span<std::int64_t> l_min) {
  VANTOK_ASSERT(out.size() >= calls.size() && l_min.size() >= calls.size());
  auto& work = pool::thread_scratch<std::array<Sweep<T>, MAX_LANES>, struct ManySweeps>();
  auto& recent = pool::thread_scratch<RecentA<T>, struct ManyRecent>();
  std::array<std::size_t, MAX_LANES> index{};
  std::size_t used = 0;
  const auto run = [&](auto lanes) {
    const std::size_t longest = sweeps<T>(lanes, recent);
    const std::array<T, MAX_LANES> sums = norm_sums<T>(lanes, longest);
    for (std::size_t l = 0; l < used; ++l) normalize(work[l].o, work[l].f, sums[l], out[index[l]]);
    used = 0;
  };
  const auto flush = [&] {
    if (used == MAX_LANES) {
      run(std::span<Sweep<T>, MAX_LANES>(work.data(), MAX_LANES));
    } else {
      run(std::span<Sweep<T>>(work.data(), used));
    }
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    out[i].clear();
    const auto [low, orders] = orders_of(calls[i].l1, calls[i].m1, calls[i].l2, calls[i].m2);
    l_min[i] = low;
    if (!orders) continue;
    work[used].o = *orders;
    work[used].count = static_cast<std::size_t>(orders->l_max - orders->l_min + 1);
    index[used] = i;
    if (++used == MAX_LANES) flush();
  }
  if (used > 0) flush();
}

}  // namespace

template <class T>
std::int64_t clebsch_gordan(std::int64_t l1, std::int64_t m1, std::int64_t l2, std::int64_t m2,
                            std::vector<T>& out) {
  const Call call{l1, m1, l2, m2};
  std::int64_t l_min = 0;
  many<T>(std::span(&call, 1), std::span(&out, 1), std::span(&l_min, 1));
  return l_min;
}

void clebsch_gordan_many(std::span<const Call> calls, std::span<std::vector<double>> out,
                         std::span<std::int64_t> l_min) {
  many<double>(calls, out, l_min);
}

template std::int64_t clebsch_gordan<double>(std::int64_t, std::int64_t, std::int64_t,
                                             std::int64_t, std::vector<double>&);
template std::pair<double, double> ab<double>(std::int64_t, std::int64_t, std::int64_t,
                                              std::int64_t, std::int64_t);
template std::int64_t clebsch_gordan<scalar::DualF64>(std::int64_t, std::int64_t, std::int64_t,
                                                      std::int64_t, std::vector<scalar::DualF64>&);
template std::pair<scalar::DualF64, scalar::DualF64> ab<scalar::DualF64>(std::int64_t, std::int64_t,
                                                                        std::int64_t, std::int64_t,
                                                                        std::int64_t);

}  // namespace vantok::special::clebsch
