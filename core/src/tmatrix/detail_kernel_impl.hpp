#pragma once
// Definitions of the generic mode kernel (detail_kernel_run.hpp), included only by
// the translation units that instantiate it for one scalar each.
//
// Scaled basis: a function of r of order n is divided by P_n = out_0 ... out_n
// (|h_n(rmin)|), a function of z = eta r by Q_n = reg_0 ... reg_n and by
// e^gamma, gamma = |Im(eta rmax)|, so that no order over- or underflows. The
// power series of the outgoing part carry the same factors in their leading
// coefficients; the caller undoes the scaling on the solved T blocks.

#include <new>
#include <string>
#include <tuple>

#include "tmatrix/detail_dd_lanes.hpp"
#include "tmatrix/detail_lanes8.hpp"
#include "tmatrix/detail_kernel_run.hpp"
#include "tmatrix/detail_ops.hpp"
#include "tmatrix/detail_widest.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::kernel::detail {

// ---------------------------------------------------------------------------
// Series coefficient tables.
//
// Outgoing side: the small-argument series of y_n(r) = -(2n-1)!!/r^(n+1)
// sum_s (-r^2)^s / prod(2l)(2l-2n-1), in powers of rho = r/rmin, with the
// scale P_n folded into the leading coefficient. Regular side: j_n(z) = z^n /
// (2n+1)!! sum_s (-z^2/2)^s / (s! (2n+3)...(2n+2s+1)) with Q_n and e^-gamma
// folded in. A term loop stops once the terms are negligible at the largest
// radius rmax: the bound b_s follows the term ratio there, and the loop ends
// when that ratio is below 1/2 and b_s below tol times the largest bound so
// far. A bound or ratio that is not finite, or more than MAX_SERIES_TERMS
// terms, would keep the loop going for ever: the table is then ended with a
// NaN term, so that every form built on it carries a NaN bound and the
// variant choice keeps the direct evaluation.

/// The end of a series' term loop: the bound b_s follows the term ratio
/// rho at rmax from the leading term's bound, and the loop ends once
/// `may_end`, rho < 1/2 and b_s is below tol times the largest bound so far
/// (or that is exactly zero); it also ends, as a runaway, once a bound or
/// ratio is not finite or the list has MAX_SERIES_TERMS terms.
template <KernelScalar T>
class TermBound {
 public:
  enum class Step { Go, End, Runaway };
  explicit TermBound(const T& first) : b_(first), big_b_(first) {}
  Step next(const T& rho, bool may_end, std::size_t terms) {
    using Traits = scalar::ScalarTraits<T>;
    b_ = b_ * rho;
    big_b_ = Member<T>::running_max(big_b_, b_);
    if (may_end && rho < half_ && (b_ < tol_ * big_b_ || Traits::value_is_exact_zero(big_b_))) return Step::End;
    if (!Traits::is_finite(b_) || !Traits::is_finite(rho) || terms >= MAX_SERIES_TERMS) return Step::Runaway;
    return Step::Go;
  }

 private:
  T tol_ = scalar::constant<T>(Member<T>::series_tolerance);
  T half_ = scalar::constant<T>(0.5);
  T b_, big_b_;
};

/// The outgoing side's lists of series_tables (orders 1..nmax).
template <KernelScalar T>
void irregular_series(const functions::Scales<T>& scales, std::size_t nmax, const T& rmin, const T& big_r,
                      regular::Series<T>& series) {
  using Traits = scalar::ScalarTraits<T>;
  const T nan = scalar::constant<T>(std::numeric_limits<double>::quiet_NaN());
  const T neg_rmin2 = -(rmin * rmin);
  // c_n = -prod_{l=1..n} (2l-1)/(rmin out_l), built up in l order; each
  // order's terms then follow from its c_n alone, the orders side by side on
  // the pool.
  std::vector<T> leads(nmax + 1, T{});
  T lead = Traits::from_int(-1);
  for (std::size_t n = 1; n <= nmax; ++n) {
    lead = lead * (Traits::from_int(static_cast<std::int64_t>(2 * n - 1)) / (rmin * scales.outgoing[n]));
    leads[n] = lead;
  }
  work::parallel(nmax, [&](std::size_t index) {
    const std::size_t n = index + 1;
    stop::check();  // up to MAX_SERIES_TERMS terms per order
    const T& c = leads[n];
    std::vector<T>& terms = series.irregular[n];
    T t = c;
    terms.push_back(t);
    TermBound<T> bound(abs(c));
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const std::int64_t den = (2 * s) * (2 * s - two_n1);
      t = (t * neg_rmin2) / Traits::from_int(den);
      terms.push_back(t);
      const T rho = big_r / Traits::from_int(den < 0 ? -den : den);
      const auto step = bound.next(rho, 2 * s > two_n1, terms.size());
      if (step == TermBound<T>::Step::Runaway) terms.push_back(nan);
      if (step != TermBound<T>::Step::Go) break;
    }
  });
}

/// The regular side's lists of series_tables (orders 0..nmax).
template <KernelScalar T>
void regular_series(const functions::Scales<T>& scales, std::size_t nmax, const Complex<T>& zeta, const T& q2,
                    regular::Series<T>& series) {
  using M = Member<T>;
  using Traits = scalar::ScalarTraits<T>;
  const T zero{};
  const T nan = scalar::constant<T>(std::numeric_limits<double>::quiet_NaN());
  const Complex<T> zeta2 = zeta * zeta;
  const T growth = hypot(zeta2.re, zeta2.im) * q2;
  // c_n = (e^-h / reg_0) prod_{l=1..n} zeta / ((2l+1) reg_l), then the terms
  // order by order on the pool.
  std::vector<Complex<T>> leads(nmax + 1);
  Complex<T> lead{M::exp_neg(scales.im_abs) / scales.regular[0], zero};
  for (std::size_t n = 0; n <= nmax; ++n) {
    if (n >= 1) {
      const T d = Traits::from_int(static_cast<std::int64_t>(2 * n + 1)) * scales.regular[n];
      lead = lead * Complex<T>{zeta.re / d, zeta.im / d};
    }
    leads[n] = lead;
  }
  work::parallel(nmax + 1, [&](std::size_t n) {
    stop::check();
    const Complex<T>& cz = leads[n];
    std::vector<Complex<T>>& terms = series.regular[n];
    Complex<T> t = cz;
    terms.push_back(t);
    TermBound<T> bound(hypot(cz.re, cz.im));
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const T den = Traits::from_int((two_n1 + 2 * s) * (2 * s));
      t = complex::scale(t * zeta2, Traits::from_int(-1) / den);
      terms.push_back(t);
      const auto step = bound.next(growth / den, true, terms.size());
      if (step == TermBound<T>::Step::Runaway) terms.push_back(Complex<T>{nan, nan});
      if (step != TermBound<T>::Step::Go) break;
    }
  });
}

template <KernelScalar T>
regular::Series<T> series_tables(const functions::Scales<T>& scales, std::size_t nmax,
                                 const T& rmin, const T& rmax, const Complex<T>& eta) {
  VANTOK_ASSERT(scales.outgoing.size() >= nmax + 1 && scales.regular.size() >= nmax + 1);
  regular::Series<T> series;
  series.irregular.resize(nmax + 1);
  series.regular.resize(nmax + 1);
  series.rmin = rmin;
  series.m = eta;
  const T q = rmax / rmin;
  const T q2 = q * q;
  irregular_series<T>(scales, nmax, rmin, (rmin * rmin) * q2, series);
  regular_series<T>(scales, nmax, Complex<T>{eta.re * rmin, eta.im * rmin}, q2, series);
  return series;
}

// ---------------------------------------------------------------------------
// Node integrand, compiled twice.

#define VANTOK_KERNEL_LANES 0
namespace baseline {
#include "tmatrix/detail_kernel_node.inc"
}  // namespace baseline
#undef VANTOK_KERNEL_LANES

#define VANTOK_KERNEL_LANES 1
VANTOK_WIDEST_BEGIN
namespace widest {
#include "tmatrix/detail_kernel_node.inc"
}  // namespace widest
VANTOK_WIDEST_END
#undef VANTOK_KERNEL_LANES

// And a third time for AVX-512, where only the element loops of the f64 and
// double-double members are taken from (eight lanes wide).
#define VANTOK_KERNEL_LANES 2
VANTOK_WIDEST512_BEGIN
namespace widest512 {
#include "tmatrix/detail_kernel_node.inc"
}  // namespace widest512
VANTOK_WIDEST512_END
#undef VANTOK_KERNEL_LANES

VANTOK_WIDEST_BEGIN
/// Sums::add over double-double lanes: the same additions element by element.
inline void add_lanes(Sums<DoubleDouble>& total, const Sums<DoubleDouble>& part, std::size_t begin,
                      std::size_t end) {
  for (std::size_t a = 0; a < 4; ++a) {
    if (total.value[a].empty()) continue;
    VANTOK_ASSERT(end <= total.value[a].size() && end <= part.value[a].size() &&
                  end <= total.magnitude[a].size() && end <= part.magnitude[a].size());
    // A complex double-double is two double-doubles.
    lanes::add_arrays(&total.value[a][begin].re, &part.value[a][begin].re, 2 * (end - begin));
    lanes::add_arrays(total.magnitude[a].data() + begin, part.magnitude[a].data() + begin, end - begin);
  }
}
VANTOK_WIDEST_END

// ---------------------------------------------------------------------------
// Driver.

/// Rows (and columns) of each block of mode m: nmax - max(m, 1) + 1 orders.
inline std::size_t block_size(std::size_t m, std::size_t nmax) {
  const std::size_t m1 = std::max<std::size_t>(m, 1);
  return m1 <= nmax ? nmax - m1 + 1 : 0;
}

/// The callers' invariants, checked once: one mask entry per mode, and a
/// record with a code 0..2 for every element of every mode.
template <KernelScalar T>
void check_call(const KernelCall<T>& call) {
  using Size = std::size_t;
  const Size nmax = call.nmax;
  VANTOK_ASSERT(nmax < std::numeric_limits<Size>::max() && call.mask.size() == nmax + 1);
  if (call.choice == nullptr) return;
  const Choice& c = *call.choice;
  VANTOK_ASSERT(c.grid.size() == sat_mul<Size>(nmax + 1, nmax + 1) && c.per_mode.size() == nmax + 1);
  for (Size m = 0; m <= nmax; ++m) {
    const Size k = block_size(m, nmax);
    for (const auto& codes : c.per_mode[m]) {
      VANTOK_ASSERT(codes.size() == k * k);
      for (const std::uint8_t code : codes) VANTOK_ASSERT(code <= 2);
    }
  }
}

/// The element counts of a call and the bytes of its work arrays.
struct WorkingSet {
  std::size_t all_elements = 0;
  std::size_t active_elements = 0;
  /// Alive for the whole call: the result matrices of every mode, the totals
  /// of the active ones, the context's tables and every worker's scratch.
  std::size_t fixed_bytes = 0;
  /// One chunk's partial sums and tables.
  std::size_t chunk_bytes = 0;
};

/// The bytes of one node's series (NodeSeries) over the coefficient tables,
/// for the orders whose forms the context wants.
template <KernelScalar T>
std::size_t node_series_bytes(const Context<T>& ctx, const regular::Series<T>& series) {
  using Size = std::size_t;
  constexpr Size t = sizeof(T);
  constexpr Size c = sizeof(Complex<T>);
  Size bytes = sat_mul<Size>(ctx.nmax + 1, 3 * (sizeof(regular::RealSeries<T>) + sizeof(regular::SuffixSums<T>) +
                                                sizeof(regular::JTerms<T>)));
  for (Size k = std::max<Size>(ctx.n_low, 1); k <= ctx.nmax; ++k) {
    if (!ctx.series_row(k)) continue;
    // Three coefficient lists, each with its suffix sums and bounds.
    bytes = sat_add(bytes, sat_mul<Size>(3 * t, sat_add<Size>(sat_mul<Size>(3, series.irregular[k].size()), 2)));
  }
  for (Size k = 1; k <= ctx.nmax; ++k) {
    if (!ctx.series_column(k)) continue;
    // Three term lists, each with prefix and suffix sums and bounds.
    const Size len = series.regular[k].size();
    bytes = sat_add(bytes, sat_mul<Size>(3, sat_add(sat_mul(sat_add<Size>(sat_mul<Size>(2, len), 1), c + t),
                                                    sat_mul(len, c))));
  }
  return bytes;
}

/// The bytes of the double-double lanes buffer of eight nodes (the kept
/// entries of their series, one order's staged terms and the radial
/// functions of the products), 8 double-doubles an entry.
template <KernelScalar T>
std::size_t eight_node_bytes(const Context<T>& ctx, const regular::Series<T>& series) {
  using Size = std::size_t;
  Size staged = 0;
  for (Size k = 1; k <= ctx.nmax; ++k) {
    if (ctx.series_row_lanes(k)) staged = std::max(staged, sat_mul<Size>(3, series.irregular[k].size()));
    if (ctx.series_column(k)) staged = std::max(staged, sat_mul<Size>(6, series.regular[k].size()));
  }
  const Size entries = sat_add(sat_add(eight_node_entries(ctx), staged), sat_mul<Size>(9, ctx.nmax + 1));
  return sat_mul(entries, 8 * sizeof(T));
}

/// The working set of a call with its context and series: the element counts,
/// the bytes alive throughout (with one scratch per thread that may take part)
/// and one chunk's sums and tables.
template <KernelScalar T>
WorkingSet working_set(const Context<T>& ctx, const regular::Series<T>& series, const Mask& mask) {
  using Size = std::size_t;
  constexpr Size t = sizeof(T);
  constexpr Size c = sizeof(Complex<T>);
  const Size nmax = ctx.nmax;
  const Size n = nmax + 1;
  const Size orders2 = sat_mul(n, n);
  WorkingSet ws;
  for (Size m = 0; m <= nmax; ++m) {
    const Size k = block_size(m, nmax);
    const Size e = sat_mul<Size>(2, sat_mul(k, k));
    ws.all_elements = sat_add(ws.all_elements, e);
    if (mask[m]) ws.active_elements = sat_add(ws.active_elements, e);
  }
  // Results: q, rg, their magnitudes and the variant codes.
  const Size result_bytes = 2 * c + 2 * t + 1;
  const Size sums_bytes = Sums<T>::arrays(ctx.choice != nullptr) * (c + t);
  // The node scratch of a worker: its ratio buffers and series (the f64
  // member's widest code also keeps eight nodes' series and radial functions
  // side by side in lanes, or four without AVX-512; the budget counts eight
  // node series either way); and the
  // vector functions of a group of up to four modes.
  const Size series_bytes = node_series_bytes(ctx, series);
  Size node_scratch = sat_add(sat_mul(n + 1, t + c),
                              std::is_same_v<T, double> ? sat_mul<Size>(8, series_bytes) : series_bytes);
  // The double-double member's eight nodes in lanes besides (counted
  // wherever they would run, as the f64 member's).
  if constexpr (std::is_same_v<T, DoubleDouble>) node_scratch = sat_add(node_scratch, eight_node_bytes(ctx, series));
  // (The double-double member's mode tables keep every node's d_n side by
  // side too.)
  constexpr Size per_node = 3 * t + 6 * sizeof(Vec3<T>) + (std::is_same_v<T, DoubleDouble> ? t : 0);
  const Size mode_scratch = sat_mul<Size>(4, sat_mul(n, 3 * t + CHUNK * per_node + 4 * sizeof(Size)));
  const Size threads = sat_add<Size>(pool::thread_count(), 1);
  ws.fixed_bytes = sat_add(sat_add(sat_mul(ws.all_elements, result_bytes), sat_mul(ws.active_elements, sums_bytes)),
                           sat_add(sat_mul(orders2, sizeof(std::uint32_t) + 2 * sizeof(Row)),
                                   sat_mul(threads, sat_add(node_scratch, mode_scratch))));
  // A chunk: its partial sums, the radial tables of its nodes, and per node
  // the outgoing-part products with their bounds and series forms.
  const Size tables = sat_add(sat_add(sat_mul<Size>(CHUNK * 9 * c, n), sat_mul<Size>(4 * CHUNK * (c + t), orders2)),
                              sat_mul<Size>(4 * CHUNK * sizeof(regular::Forms<T>), sat_add<Size>(ctx.form_pairs, 1)));
  ws.chunk_bytes = sat_add(sat_mul(ws.active_elements, sums_bytes), tables);
  return ws;
}

/// The order pairs with series forms: rows from n_low on, off the diagonal,
/// and with a record only those of a wanted form; with a record also the
/// orders whose node series a wanted form reads.
template <KernelScalar T>
void form_pairs(Context<T>& ctx, const Choice* choice) {
  using Size = std::size_t;
  const Size nmax = ctx.nmax;
  const auto wanted = [&](Size ni, Size nj) {
    return ni != nj && (choice == nullptr || choice->grid[ni * (nmax + 1) + nj] != 0);
  };
  ctx.form_place.assign((nmax + 1) * (nmax + 1), Context<T>::NO_FORMS);
  for (Size ni = std::max<Size>(ctx.n_low, 1); ni <= nmax; ++ni) {
    for (Size nj = 1; nj <= nmax; ++nj) {
      if (wanted(ni, nj)) ctx.form_place[ni * (nmax + 1) + nj] = static_cast<std::uint32_t>(ctx.form_pairs++);
    }
  }
  if (choice == nullptr) return;
  ctx.series_rows.assign(nmax + 1, 0);
  ctx.series_columns.assign(nmax + 1, 0);
  for (Size ni = std::max<Size>(ctx.n_low, 1); ni <= nmax; ++ni) {
    for (Size nj = 1; nj <= nmax; ++nj) {
      if (!wanted(ni, nj)) continue;
      ctx.series_rows[ni] = 1;
      ctx.series_columns[nj] = 1;
    }
  }
}

/// Steps 1 and 3-7 but the rule: the lowest requested order, the scaled
/// inverses, the series, the form pairs and the normalisation
/// nu_n = sqrt((2n+1) / (4n(n+1) pi)), 4n(n+1) an integer. The context
/// points to `scales` and `series`, which must outlive it.
template <KernelScalar T>
Context<T> make_context(const KernelCall<T>& call, const functions::Scales<T>& scales,
                        const regular::Series<T>& series) {
  using M = Member<T>;
  using Traits = scalar::ScalarTraits<T>;
  using Size = std::size_t;
  const Size nmax = call.nmax;
  const Axes<T>& sph = call.spheroid;
  Context<T> ctx;
  ctx.nmax = nmax;
  ctx.spheroid = sph;
  ctx.a2 = sph.a * sph.a;
  ctx.b2 = sph.b * sph.b;
  ctx.ab = sph.a * sph.b;
  ctx.eta = call.eta;
  ctx.scales = &scales;
  for (Size n = 0; n <= nmax; ++n) {
    ctx.inv_out.push_back(recip(scales.outgoing[n]));
    ctx.inv_reg.push_back(recip(scales.regular[n]));
  }
  ctx.series = &series;
  ctx.inv_series_rmin = recip(series.rmin);
  ctx.inv_series_zeta = complex::inv(complex::scale(series.m, series.rmin));
  ctx.node_rmin = M::series_rmin(sph.a, sph.b);
  ctx.n_low = nmax + 1;
  for (const auto& entry : call.mask) {
    if (entry) ctx.n_low = std::min(ctx.n_low, *entry);
  }
  ctx.g0 = recip(ctx.b2) - recip(ctx.a2);
  ctx.regular_limit = call.regular_limit;
  ctx.choice = call.choice;
  ctx.magnitudes = call.magnitudes || call.choice == nullptr;
  form_pairs(ctx, call.choice);
  ctx.norm.push_back(T{});
  for (Size n = 1; n <= nmax; ++n) {
    const T den = Traits::from_int(static_cast<std::int64_t>(4 * n * (n + 1))) * Traits::pi();
    ctx.norm.push_back(sqrt(Traits::from_int(static_cast<std::int64_t>(2 * n + 1)) / den));
  }
  return ctx;
}

/// Every mode's rows into the context, and the flat layout of the active
/// ones; the number of active elements.
template <KernelScalar T>
std::size_t active_layout(Context<T>& ctx, const Mask& mask) {
  using Size = std::size_t;
  ctx.rows.reserve(ctx.nmax + 1);
  Size offset = 0;
  for (Size m = 0; m <= ctx.nmax; ++m) {
    ctx.rows.push_back(row_lists(m, ctx.nmax));
    if (!mask[m]) continue;
    ActiveMode a;
    a.m = m;
    a.n_from = *mask[m];
    for (Size p = 0; p < 2; ++p) {
      a.k[p] = ctx.rows[m][p].size();
      a.offset[p] = offset;
      offset += a.k[p] * a.k[p];
    }
    ctx.active.push_back(a);
  }
  return offset;
}

/// The quadrature over the chunks of 8 nodes: per chunk every node's tables,
/// then the element rows of every mode and block in pieces, into the chunk's
/// partial or straight into the totals, in chunk order.
template <KernelScalar T>
class Quadrature {
 public:
  using Size = std::size_t;

  /// `group`: the most chunks whose sums and tables may be alive at once.
  Quadrature(const Context<T>& ctx, const std::vector<Node<T>>& nodes, const WorkingSet& ws, Size group)
      : ctx_(ctx), nodes_(nodes), elements_(ws.active_elements) {
    chunks_ = (nodes.size() + CHUNK - 1) / CHUNK;
    threads_ = std::max<Size>(1, pool::thread_count());
    by_budget_ = std::max<Size>(1, group);
    // The rows the element loops sum (orders from max(m, 1, n_from) on; a
    // mode's rows start at max(m, 1)) as ranges of the flat layout, adjacent
    // rows merged, then cut into ranges of at most RANGE elements: the only
    // entries of a chunk partial that are zeroed and added into the totals,
    // range by range in parallel. The others stay +0 in the totals, as they
    // did when zero partials were added.
    std::vector<std::pair<Size, Size>> rows;
    Size summed_elements = 0;
    for (const ActiveMode& a : ctx.active) {
      for (Size p = 0; p < 2; ++p) {
        const std::vector<Row>& list = ctx.rows[a.m][p];
        for (Size i = 0; i < list.size(); ++i) {
          if (list[i].second < a.n_from) continue;
          const Size begin = a.offset[p] + i * a.k[p];
          summed_elements += a.k[p];
          if (!rows.empty() && rows.back().second == begin) {
            rows.back().second = begin + a.k[p];
          } else {
            rows.emplace_back(begin, begin + a.k[p]);
          }
        }
      }
    }
    for (const auto& [first, last] : rows) {
      for (Size b = first; b < last; b += RANGE) summed_.emplace_back(b, std::min(last, b + RANGE));
    }
    // Pieces of about `piece` elements each, so that one chunk still gives
    // every thread several tasks, but of at least about 16
    // orders of every block of a mode group, over which the setup of a
    // block's column lanes is spread.
    piece_ = std::max<Size>({64, summed_elements / (8 * threads_), 16 * 2 * MODES * ctx.nmax});
    // Chunk after chunk straight into the totals, without partial sums, where
    // one chunk's pieces give every thread two or more (or there is one
    // thread): that saves zeroing the partials and adding them in a pass of
    // their own, and their memory. With fewer pieces, chunks summed side by
    // side into their partials keep the threads busy instead.
    for (Size a = 0; a < ctx.active.size(); a += MODES) add_pieces(a, std::min(a + MODES, ctx.active.size()));
    direct_ = threads_ == 1 || pieces_.size() >= 2 * threads_;
  }

  /// Every element's sums, ((0 + P_1) + P_2) + ... over the chunks in node
  /// order whatever the schedule: the chunk sums P_c added in chunk order,
  /// from the partials or as each chunk is summed.
  ///
  /// The chunks run as a pipeline over `group` slots of tables (and
  /// partials): a chunk's node tables (and, with partials, its element rows)
  /// start as soon as the chunk `group` places before it has been added in,
  /// and the additions into the totals run one chunk at a time in chunk
  /// order. No thread waits for a whole group to end, and no more than
  /// `group` chunks' tables and partials are alive at once.
  Sums<T> run() {
    const bool recorded = ctx_.choice != nullptr;
    Sums<T> total;
    total.allocate(elements_, recorded);
    // Tens of megabytes for many modes: zeroed on the pool.
    constexpr Size span = Size{1} << 14;
    work::parallel((elements_ + span - 1) / span,
                   [&](Size r) { total.zero(r * span, std::min(elements_, (r + 1) * span)); });
    const Size slots = std::min({threads_, chunks_, by_budget_});
    tables_.resize(slots);
    if (!direct_) parts_.resize(slots);
    pool::pipeline(
        chunks_, slots,
        [&](Size c) {
          ChunkTables<T>& w = tables_[c % slots];
          if (w.products.empty()) w.reserve(ctx_.nmax, ctx_.form_pairs);
          node_tables(c, w);
          if (direct_) return;
          Sums<T>& part = parts_[c % slots];
          part.allocate(elements_, recorded);
          for (const auto& [begin, end] : summed_) part.zero(begin, end);
          element_sums(c, w, part, Deposit::Store);
        },
        [&](Size c) {
          if (direct_) {
            element_sums(c, tables_[c % slots], total, Deposit::Add);
          } else {
            add_partial(total, parts_[c % slots]);
          }
        });
    return total;
  }

 private:
  // The widest code where the processor has it: the element loops in lanes
  // for the f64 and double-double members, and the node tables of the
  // members with double-double products (the f64 member's gain nothing from
  // it).
  static constexpr bool LANES = std::is_same_v<T, double> || std::is_same_v<T, DoubleDouble>;

  Size chunk_nodes(Size c) const { return std::min(nodes_.size(), (c + 1) * CHUNK) - c * CHUNK; }

  /// Every node's tables of chunk c into w: one task per node, or for the
  /// f64 member several nodes per task with their series forms in lanes
  /// (node_tables_in_lanes), for the double-double member the chunk's eight
  /// (node_tables_eight).
  void node_tables(Size c, ChunkTables<T>& w) {
    if constexpr (std::is_same_v<T, double>) {
      if (widest_here_) {
        node_tables_in_lanes(c, w);
        return;
      }
    }
    if constexpr (std::is_same_v<T, DoubleDouble>) {
      if (widest512_here_) {
        node_tables_eight(c, w);
        return;
      }
    }
    work::parallel(chunk_nodes(c), [&](Size q) {
      const Node<T>& node = nodes_[c * CHUNK + q];
      NodeScratch<T>& scratch = node_scratch_.local();
      const bool with_choice = ctx_.choice != nullptr;
      if (wide_) {
        with_choice ? widest::node_tables<T, true>(ctx_, node.first, node.second, q, w, scratch)
                    : widest::node_tables<T, false>(ctx_, node.first, node.second, q, w, scratch);
      } else {
        with_choice ? baseline::node_tables<T, true>(ctx_, node.first, node.second, q, w, scratch)
                    : baseline::node_tables<T, false>(ctx_, node.first, node.second, q, w, scratch);
      }
    }, pool::Grain::One);
  }

  /// The f64 member's node tables, the series forms of several nodes per
  /// task in lanes: the chunk's eight where the processor has AVX-512, else
  /// four. (Eight-lane tasks, half as many and each with twice the series
  /// buffer, were slower on several threads while the chunks of a group
  /// waited for each other; with the chunks pipelined they are faster.) Each
  /// lane runs its node's own operations, so the split changes no bit.
  void node_tables_in_lanes(Size c, ChunkTables<T>& w)
    requires std::is_same_v<T, double>
  {
    const Size lanes = widest512_here_ ? 8 : 4;
    const Size in_chunk = chunk_nodes(c);
    work::parallel((in_chunk + lanes - 1) / lanes, [&](Size index) {
      const Size q0 = index * lanes;
      const Size count = std::min(lanes, in_chunk - q0);
      NodeScratch<T>& scratch = node_scratch_.local();
      for (Size l = 0; l < count; ++l) {
        const Node<T>& node = nodes_[c * CHUNK + q0 + l];
        baseline::node_radial_parts<T>(ctx_, node.first, node.second, q0 + l, w, scratch, /*products=*/false);
      }
      // The nodes' series, outgoing-part products and forms are built side by
      // side in lanes.
      SeriesLanes& buffer = scratch.series_lanes;
      const bool with_choice = ctx_.choice != nullptr;
      if (widest512_here_) {
        with_choice ? widest512::node_forms_lanes<true>(ctx_, q0, count, w, buffer)
                    : widest512::node_forms_lanes<false>(ctx_, q0, count, w, buffer);
      } else {
        with_choice ? widest::node_forms_lanes<true>(ctx_, q0, count, w, buffer)
                    : widest::node_forms_lanes<false>(ctx_, q0, count, w, buffer);
      }
    }, pool::Grain::One);
  }

  /// The double-double member's node tables where the processor has
  /// AVX-512, in one task: each node's radial functions by the one-node
  /// code, then the series, outgoing-part products and series forms of the
  /// chunk's eight nodes side by side in lanes. (Unlike the f64 member's,
  /// the eight-lane tasks were faster on several threads too: the lanes keep
  /// only the first entries of the series.) Where the lanes met a value that
  /// is not finite, the chunk's tables are built again node by node.
  void node_tables_eight(Size c, ChunkTables<T>& w)
    requires std::is_same_v<T, DoubleDouble>
  {
    const bool with_choice = ctx_.choice != nullptr;
    const Size count = chunk_nodes(c);
    NodeScratch<T>& scratch = node_scratch_.local();
    SeriesLanes& buffer = scratch.series_lanes;
    for (Size q = 0; q < count; ++q) {
      const Node<T>& node = nodes_[c * CHUNK + q];
      widest::node_radial_parts<T>(ctx_, node.first, node.second, q, w, scratch, /*products=*/false);
    }
    const bool done = widest512::dd_series_nodes(ctx_, w, count, buffer) &&
                      (with_choice ? widest512::node_forms_dd_lanes<true>(ctx_, count, w, buffer)
                                   : widest512::node_forms_dd_lanes<false>(ctx_, count, w, buffer));
    if (done) return;
    for (Size q = 0; q < count; ++q) {
      const Node<T>& node = nodes_[c * CHUNK + q];
      with_choice ? widest::node_tables<T, true>(ctx_, node.first, node.second, q, w, scratch)
                  : widest::node_tables<T, false>(ctx_, node.first, node.second, q, w, scratch);
    }
  }

  /// A group of active modes and a range of orders, the same for every chunk.
  struct Piece {
    Size active_begin, active_end, n_begin, n_end;
  };

  /// Active modes summed together by one task, order by order: the two rows
  /// of an order in each of them read the same outgoing-part products and
  /// forms, which stay in cache across the group. The members without lanes
  /// keep one mode's vector functions per worker.
  static constexpr Size MODES = LANES ? 4 : 1;

  /// The element rows of chunk c (tables w) for every group of active modes
  /// in pieces of orders (the modes' vector functions per worker, reused
  /// while its tasks stay on one chunk and group), stored into its partial
  /// or added to the totals. The chunk sum is the sum over its nodes in node
  /// order, so the split into tasks and the order of the elements change no
  /// bit.
  void element_sums(Size c, const ChunkTables<T>& w, Sums<T>& out, Deposit deposit) {
    const Size count = chunk_nodes(c);
    work::parallel(pieces_.size(), [&](Size index) {
      const Piece& pc = pieces_[index];
      std::vector<ModeTables<T>>& mws = mode_scratch_.local();
      if (mws.size() < MODES) mws.resize(MODES);
      for (Size a = pc.active_begin; a < pc.active_end; ++a) {
        const Size m = ctx_.active[a].m;
        ModeTables<T>& mw = mws[a - pc.active_begin];
        if (mw.nodes[0].pi.empty()) mw.reserve(ctx_.nmax);
        if (mw.chunk == c && mw.m == m) continue;
        mw.chunk = std::numeric_limits<Size>::max();
        const Size n_from = ctx_.active[a].n_from;
        bool formed = false;
        if constexpr (std::is_same_v<T, DoubleDouble>) {
          formed = widest512_here_ && widest512::mode_vectors_eight(ctx_, m, n_from, count, w, mw);
        }
        if (!formed) {
          wide_ ? widest::mode_vectors<T>(ctx_, m, n_from, count, w, mw)
                : baseline::mode_vectors<T>(ctx_, m, n_from, count, w, mw);
        }
        mw.chunk = c;
        mw.m = m;
      }
      group_rows_of(pc, count, w, mws.data(), out, deposit);
    });
  }

  /// The pieces of the active modes a_begin..a_end: orders of about piece_
  /// elements each (both kinds of every mode), none below n_from.
  void add_pieces(Size a_begin, Size a_end) {
    Size n_begin = ctx_.nmax + 1;
    for (Size a = a_begin; a < a_end; ++a) {
      const ActiveMode& mode = ctx_.active[a];
      n_begin = std::min(n_begin, std::max({mode.m, Size{1}, mode.n_from}));
    }
    Size elements = 0;
    for (Size n = n_begin; n <= ctx_.nmax; ++n) {
      for (Size a = a_begin; a < a_end; ++a) {
        const ActiveMode& mode = ctx_.active[a];
        if (n >= std::max({mode.m, Size{1}, mode.n_from})) elements += mode.k[0] + mode.k[1];
      }
      if (elements >= piece_ || n == ctx_.nmax) {
        if (elements > 0) pieces_.push_back({a_begin, a_end, n_begin, n + 1});
        n_begin = n + 1;
        elements = 0;
      }
    }
  }

  /// One piece's rows by the widest element loop available.
  void group_rows_of(const Piece& pc, Size count, const ChunkTables<T>& w, const ModeTables<T>* mws,
                     Sums<T>& out, Deposit deposit) const {
    const bool with_choice = ctx_.choice != nullptr;
    const std::span<const ActiveMode> modes(ctx_.active.data() + pc.active_begin, pc.active_end - pc.active_begin);
    const Size b = pc.n_begin;
    const Size e = pc.n_end;
    if constexpr (LANES) {
      if (widest512_here_) {
        with_choice ? widest512::group_rows_lanes<T, true>(ctx_, modes, b, e, count, w, mws, out, deposit)
                    : widest512::group_rows_lanes<T, false>(ctx_, modes, b, e, count, w, mws, out, deposit);
        return;
      }
    }
    if constexpr (LANES) {
      if (widest_here_) {
        with_choice ? widest::group_rows_lanes<T, true>(ctx_, modes, b, e, count, w, mws, out, deposit)
                    : widest::group_rows_lanes<T, false>(ctx_, modes, b, e, count, w, mws, out, deposit);
        return;
      }
    }
    if (wide_) {
      with_choice ? widest::group_rows<T, true>(ctx_, modes, b, e, count, w, mws, out, deposit)
                  : widest::group_rows<T, false>(ctx_, modes, b, e, count, w, mws, out, deposit);
    } else {
      with_choice ? baseline::group_rows<T, true>(ctx_, modes, b, e, count, w, mws, out, deposit)
                  : baseline::group_rows<T, false>(ctx_, modes, b, e, count, w, mws, out, deposit);
    }
  }

  /// A chunk's partial added into the totals, the summed rows' element
  /// ranges in parallel.
  void add_partial(Sums<T>& total, const Sums<T>& part) {
    work::parallel(summed_.size(), [&](Size r) {
      const auto [begin, end] = summed_[r];
      if constexpr (std::is_same_v<T, DoubleDouble>) {
        if (widest_here_) {
          add_lanes(total, part, begin, end);
          return;
        }
      }
      total.add(part, begin, end);
    });
  }

  const Context<T>& ctx_;
  const std::vector<Node<T>>& nodes_;
  Size elements_;
  Size chunks_ = 0;
  Size threads_ = 1;
  Size by_budget_ = 1;
  Size piece_ = 64;
  bool widest_here_ = widest_available();
  bool widest512_here_ = widest512_available();
  bool wide_ = widest_here_ && !std::is_same_v<T, double>;
  bool direct_ = false;
  std::vector<Sums<T>> parts_;
  /// Elements per range of summed_.
  static constexpr Size RANGE = 1024;
  /// The summed rows' element ranges, at most RANGE elements each.
  std::vector<std::pair<Size, Size>> summed_;
  std::vector<ChunkTables<T>> tables_;
  pool::PerThread<NodeScratch<T>> node_scratch_;
  pool::PerThread<std::vector<ModeTables<T>>> mode_scratch_;
  std::vector<Piece> pieces_;
};

/// Step 14, the assembly of mode m from the totals: per element the variant
/// by magnitude (0 on the diagonal; 2 when M0 > M2; then 1 when
/// |n_i - n_j| >= 3 and M_code > M1; strict, so ties keep the earlier code
/// and NaN never wins), or the record's code. `active` is the mode's layout
/// when it is active.
template <KernelScalar T>
ModeMatrices<T> assemble_mode(std::size_t m, RowLists&& rows, const ActiveMode* active, const Sums<T>& total,
                              const Choice* choice) {
  using Traits = scalar::ScalarTraits<T>;
  using Size = std::size_t;
  const T zero{};
  ModeMatrices<T> mm;
  mm.rows = std::move(rows);
  for (Size p = 0; p < 2; ++p) {
    const Size k = mm.rows[p].size();
    const Size k2 = k * k;
    mm.q[p].assign(k2, Complex<T>{zero, zero});
    mm.rg[p].assign(k2, Complex<T>{zero, zero});
    mm.q_mag[p].assign(k2, zero);
    mm.rg_mag[p].assign(k2, zero);
    mm.choice[p].assign(k2, 0);
    if (choice != nullptr) mm.choice[p] = choice->per_mode[m][p];
    if (active == nullptr) continue;
    const Size base = active->offset[p];
    for (Size i = 0; i < k; ++i) {
      const Size ni = mm.rows[p][i].second;
      for (Size j = 0; j < k; ++j) {
        const Size nj = mm.rows[p][j].second;
        const Size idx = i * k + j;
        const Size e = base + idx;
        std::uint8_t code = 0;
        if (choice != nullptr) {
          code = mm.choice[p][idx];
        } else if (ni != nj) {
          const auto& mg = total.magnitude;
          if (Traits::greater(mg[1][e], mg[3][e])) code = 2;
          const Size gap = ni > nj ? ni - nj : nj - ni;
          if (gap >= 3 && Traits::greater(mg[1 + code][e], mg[2][e])) code = 1;
        }
        mm.rg[p][idx] = total.value[0][e];
        mm.rg_mag[p][idx] = total.magnitude[0][e];
        // With a record the element's one variant is at index 1.
        const Size slot = choice != nullptr ? 1 : 1 + code;
        mm.q[p][idx] = total.value[slot][e] + total.value[0][e];
        mm.q_mag[p][idx] = total.magnitude[slot][e] + total.magnitude[0][e];
        mm.choice[p][idx] = code;
      }
    }
  }
  return mm;
}

template <KernelScalar T>
Result<std::vector<ModeMatrices<T>>> run_kernel(const KernelCall<T>& call) {
  using M = Member<T>;
  using Traits = scalar::ScalarTraits<T>;
  using Size = std::size_t;
  const Size nmax = call.nmax;
  check_call(call);

  // 3.-5. Semi-axes, scales and series.
  const Axes<T>& sph = call.spheroid;
  const auto [rmin, rmax] = sph.min_max();
  const Complex<T> z_max{call.eta.re * rmax, call.eta.im * rmax};
  const functions::Scales<T> scales(nmax, rmin, z_max);
  const regular::Series<T> series = series_tables<T>(scales, nmax, rmin, rmax, call.eta);

  // 6. Quadrature rule; its errors are the only errors.
  VANTOK_TRY(rule, M::rule(rule_points(call.ngauss)));
  Context<T> ctx = make_context(call, scales, series);

  // 8. Nodes in (0, 1), ascending.
  std::vector<Node<T>> nodes;
  {
    const T zero{};
    const auto& [xs, ws_] = rule;
    const Size count = std::min(xs.size(), ws_.size());
    for (Size i = 0; i < count; ++i) {
      if (Traits::greater(xs[i], zero)) nodes.emplace_back(xs[i], ws_[i]);
    }
  }
  const Size active_elements = active_layout(ctx, call.mask);

  // The ratio recurrences of the nodes, refused before any starts when one
  // could not end: the largest argument decides, not the node a thread
  // happens to take first.
  double largest = 0.0;
  for (const Node<T>& node : nodes) {
    const T r = baseline::surface_radius(ctx, node.first)[0];
    const double z = std::hypot(scalar::value_f64(call.eta.re * r), scalar::value_f64(call.eta.im * r));
    largest = std::fmax(largest, std::fmax(z, std::fabs(scalar::value_f64(r))));
  }
  mie::kernel::checked_start_order(largest, nmax, M::start_rule);

  // The work arrays, with those the caller keeps alive, must fit the work
  // budget with one chunk at a time; the lease sets how many chunks a group
  // holds at once.
  const WorkingSet ws = working_set<T>(ctx, series, call.mask);
  VANTOK_ASSERT(active_elements == ws.active_elements);
  const Size chunks = std::max<Size>((nodes.size() + CHUNK - 1) / CHUNK, 1);
  const Size chunk_bytes = std::max<Size>(ws.chunk_bytes, 1);
  memory::require_bytes(ws.all_elements, sat_add(call.held_bytes, sat_add(ws.fixed_bytes, chunk_bytes)),
                        std::string("the ") + Traits::name + " EBCM matrices of " + fmt::plain(nmax + 1) +
                            " modes (N = " + fmt::plain(nmax) + ") and their quadrature work arrays");
  Size most = std::min(std::max<Size>(pool::thread_count(), 1), chunks);
  if (call.partial_budget != 0) most = std::clamp<Size>(call.partial_budget / chunk_bytes, 1, most);
  const memory::Lease lease = memory::lease(sat_add(ws.fixed_bytes, chunk_bytes),
                                            sat_add(ws.fixed_bytes, sat_mul(most, chunk_bytes)));
  const Size group = std::clamp<Size>((lease.bytes() - ws.fixed_bytes) / chunk_bytes, 1, most);

  // 9.-13.
  const Sums<T> total = Quadrature<T>(ctx, nodes, ws, group).run();

  // 14. Assembly, the modes side by side (each reads the totals and writes
  // only its own matrices).
  std::vector<const ActiveMode*> layout(nmax + 1, nullptr);
  for (const ActiveMode& a : ctx.active) layout[a.m] = &a;
  std::vector<ModeMatrices<T>> modes(nmax + 1);
  work::parallel(nmax + 1, [&](Size m) {
    modes[m] = assemble_mode(m, std::move(ctx.rows[m]), layout[m], total, call.choice);
  });
  return modes;
}

}  // namespace vantok::tmatrix::kernel::detail
