#pragma once
// Definitions of the generic mode kernel (detail_kernel.hpp), included only by
// the translation units that instantiate it for one scalar each.
//
// Scaled basis: a function of r of order n is divided by P_n = out_0 ... out_n
// (|h_n(rmin)|), a function of z = eta r by Q_n = reg_0 ... reg_n and by
// e^gamma, gamma = |Im(eta rmax)|, so that no order over- or underflows. The
// power series of the outgoing part carry the same factors in their leading
// coefficients; the caller undoes the scaling on the solved T blocks.

#include <new>
#include <tuple>

#include "tmatrix/detail_dd_lanes.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_ops.hpp"
#include "tmatrix/detail_widest.hpp"
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

template <KernelScalar T>
regular::Series<T> series_tables(const functions::Scales<T>& scales, std::size_t nmax,
                                 const T& rmin, const T& rmax, const Complex<T>& eta) {
  using M = Member<T>;
  const T zero{};
  const T tol = scalar::constant<T>(M::series_tolerance);
  const T half = scalar::constant<T>(0.5);
  const T nan = scalar::constant<T>(std::numeric_limits<double>::quiet_NaN());
  VANTOK_ASSERT(scales.outgoing.size() >= nmax + 1 && scales.regular.size() >= nmax + 1);

  regular::Series<T> series;
  series.irregular.resize(nmax + 1);
  series.regular.resize(nmax + 1);
  series.rmin = rmin;
  series.m = eta;

  const T rmin2 = rmin * rmin;
  const T q = rmax / rmin;
  const T q2 = q * q;
  const T big_r = rmin2 * q2;
  const T neg_rmin2 = -rmin2;

  // Irregular: c_n = -prod_{l=1..n} (2l-1)/(rmin out_l), built up in l order.
  T c = M::from_int(-1);
  for (std::size_t n = 1; n <= nmax; ++n) {
    c = c * (M::from_int(static_cast<std::int64_t>(2 * n - 1)) / (rmin * scales.outgoing[n]));
    std::vector<T>& terms = series.irregular[n];
    T t = c;
    terms.push_back(t);
    T b = abs(c);
    T big_b = b;
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const std::int64_t den = (2 * s) * (2 * s - two_n1);
      t = (t * neg_rmin2) / M::from_int(den);
      terms.push_back(t);
      const T rho = big_r / M::from_int(den < 0 ? -den : den);
      b = b * rho;
      big_b = M::running_max(big_b, b);
      if (2 * s > two_n1 && rho < half && (b < tol * big_b || M::is_zero(big_b))) break;
      if (!M::finite(b) || !M::finite(rho) || terms.size() >= MAX_SERIES_TERMS) {
        terms.push_back(nan);
        break;
      }
    }
  }

  // Regular: c_n = (e^-h / reg_0) prod_{l=1..n} zeta / ((2l+1) reg_l).
  const Complex<T> zeta{eta.re * rmin, eta.im * rmin};
  const Complex<T> zeta2 = zeta * zeta;
  const T growth = hypot(zeta2.re, zeta2.im) * q2;
  Complex<T> cz{M::exp_neg(scales.im_abs) / scales.regular[0], zero};
  for (std::size_t n = 0; n <= nmax; ++n) {
    if (n >= 1) {
      const T d = M::from_int(static_cast<std::int64_t>(2 * n + 1)) * scales.regular[n];
      cz = cz * Complex<T>{zeta.re / d, zeta.im / d};
    }
    std::vector<Complex<T>>& terms = series.regular[n];
    Complex<T> t = cz;
    terms.push_back(t);
    T b = hypot(cz.re, cz.im);
    T big_b = b;
    const auto two_n1 = static_cast<std::int64_t>(2 * n + 1);
    for (std::int64_t s = 1;; ++s) {
      const T den = M::from_int((two_n1 + 2 * s) * (2 * s));
      t = complex::scale(t * zeta2, M::from_int(-1) / den);
      terms.push_back(t);
      const T rho = growth / den;
      b = b * rho;
      big_b = M::running_max(big_b, b);
      if (rho < half && (b < tol * big_b || M::is_zero(big_b))) break;
      if (!M::finite(b) || !M::finite(rho) || terms.size() >= MAX_SERIES_TERMS) {
        terms.push_back(Complex<T>{nan, nan});
        break;
      }
    }
  }
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

VANTOK_WIDEST_BEGIN
/// Sums::add over double-double lanes: the same additions element by element.
inline void add_lanes(Sums<DoubleDouble>& total, const Sums<DoubleDouble>& part, std::size_t begin,
                      std::size_t end) {
  for (std::size_t a = 0; a < 4; ++a) {
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

template <KernelScalar T>
Result<std::vector<ModeMatrices<T>>> run_kernel(const KernelCall<T>& call) {
  using M = Member<T>;
  using Size = std::size_t;
  const Size nmax = call.nmax;
  const Mask mask = call.mask;

  // Invariants of the callers, checked once: one mask entry per mode, and a
  // record with a code 0..2 for every element of every mode.
  VANTOK_ASSERT(nmax < std::numeric_limits<Size>::max() && mask.size() == nmax + 1);
  if (call.choice != nullptr) {
    const Choice& c = *call.choice;
    VANTOK_ASSERT(c.grid.size() == sat_mul<Size>(nmax + 1, nmax + 1) &&
                  c.per_mode.size() == nmax + 1);
    for (Size m = 0; m <= nmax; ++m) {
      const Size k = block_size(m, nmax);
      for (const auto& codes : c.per_mode[m]) {
        VANTOK_ASSERT(codes.size() == k * k);
        for (const std::uint8_t code : codes) VANTOK_ASSERT(code <= 2);
      }
    }
  }

  // Working set, before anything is allocated: the result arrays of every
  // mode, the sums of the active modes, and per chunk its partial sums and
  // scratch. Beyond the machine's memory even one chunk at a time cannot
  // run: that is an allocation failure.
  const Size result_bytes = 2 * sizeof(Complex<T>) + 2 * sizeof(T) + 1;
  const Size sums_bytes = 4 * sizeof(Complex<T>) + 4 * sizeof(T);
  Size all_elements = 0;
  Size active_elements = 0;
  for (Size m = 0; m <= nmax; ++m) {
    const Size k = block_size(m, nmax);
    const Size e = sat_mul<Size>(2, sat_mul(k, k));
    all_elements = sat_add(all_elements, e);
    if (mask[m]) active_elements = sat_add(active_elements, e);
  }
  const Size orders2 = sat_mul(nmax + 1, nmax + 1);
  const Size scratch_bytes = sat_mul<Size>(sat_mul<Size>(4 * CHUNK, orders2),
                                          sizeof(Complex<T>) + sizeof(T) + sizeof(regular::Forms<T>));
  const Size chunk_bytes = sat_add(sat_mul(active_elements, sums_bytes), scratch_bytes);
  memory::require(sat_add(sat_add(sat_mul(all_elements, result_bytes),
                                  sat_mul(active_elements, sums_bytes)),
                          chunk_bytes));

  // 1. Lowest requested order.
  Size n_low = nmax + 1;
  for (const auto& entry : mask) {
    if (entry) n_low = std::min(n_low, *entry);
  }

  // 3.-5. Semi-axes, scales and series.
  const Spheroid<T>& sph = call.spheroid;
  const auto [rmin, rmax] = M::semi_axes(sph.a, sph.b);
  const Complex<T> z_max{call.eta.re * rmax, call.eta.im * rmax};
  const functions::Scales<T> scales(nmax, rmin, z_max);
  const regular::Series<T> series = series_tables<T>(scales, nmax, rmin, rmax, call.eta);

  // 6. Quadrature rule; its errors are the only errors.
  VANTOK_TRY(rule, M::rule(rule_points(call.ngauss)));

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
  ctx.n_low = n_low;
  ctx.g0 = recip(ctx.b2) - recip(ctx.a2);
  ctx.regular_limit = call.regular_limit;
  ctx.choice = call.choice;
  // The pairs with series forms: rows from n_low on, off the diagonal, and
  // with a record only those of a wanted form.
  ctx.form_place.assign((nmax + 1) * (nmax + 1), Context<T>::NO_FORMS);
  for (Size ni = std::max<Size>(n_low, 1); ni <= nmax; ++ni) {
    for (Size nj = 1; nj <= nmax; ++nj) {
      if (ni == nj || (call.choice != nullptr && call.choice->grid[ni * (nmax + 1) + nj] == 0)) continue;
      ctx.form_place[ni * (nmax + 1) + nj] = static_cast<std::uint32_t>(ctx.form_pairs++);
    }
  }
  if (call.choice != nullptr) {
    // The orders whose node series a wanted form reads: rows from n_low on,
    // off the diagonal.
    ctx.series_rows.assign(nmax + 1, 0);
    ctx.series_columns.assign(nmax + 1, 0);
    for (Size ni = std::max<Size>(n_low, 1); ni <= nmax; ++ni) {
      for (Size nj = 1; nj <= nmax; ++nj) {
        if (ni == nj || call.choice->grid[ni * (nmax + 1) + nj] == 0) continue;
        ctx.series_rows[ni] = 1;
        ctx.series_columns[nj] = 1;
      }
    }
  }

  // 7. Normalisation nu_n = sqrt((2n+1) / (4n(n+1) pi)), 4n(n+1) an integer.
  ctx.norm.push_back(T{});
  for (Size n = 1; n <= nmax; ++n) {
    const T den = M::from_int(static_cast<std::int64_t>(4 * n * (n + 1))) * M::pi();
    ctx.norm.push_back(sqrt(M::from_int(static_cast<std::int64_t>(2 * n + 1)) / den));
  }

  // 8. Nodes in (0, 1), ascending.
  std::vector<Node<T>> nodes;
  const T zero{};
  {
    const auto& [xs, ws] = rule;
    const Size count = std::min(xs.size(), ws.size());
    for (Size i = 0; i < count; ++i) {
      if (M::greater(xs[i], zero)) nodes.emplace_back(xs[i], ws[i]);
    }
  }

  // Modes, their rows and the flat layout of the active ones.
  ctx.rows.reserve(nmax + 1);
  Size offset = 0;
  for (Size m = 0; m <= nmax; ++m) {
    ctx.rows.push_back(row_lists(m, nmax));
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
  VANTOK_ASSERT(offset == active_elements);

  // 9.-13. Chunks of 8 nodes, in groups of at most the arena's concurrency
  // (and of what the budget allows); every group's sums are added in chunk
  // order, so the result is ((0 + P_1) + P_2) + ... whatever the schedule.
  constexpr Size chunk_size = CHUNK;
  const Size chunks = (nodes.size() + chunk_size - 1) / chunk_size;
  const Size threads = std::max<Size>(1, pool::thread_count());
  Size budget = call.partial_budget;
  if (budget == 0) budget = std::max<Size>(memory::physical_bytes() / 4, 1);
  const Size by_budget = std::max<Size>(1, budget / std::max<Size>(chunk_bytes, 1));

  // Per group: every node's tables (one task per node), then the element
  // rows of every chunk, mode and block in pieces (one mode's vector
  // functions per worker, reused while its tasks stay on one chunk and mode),
  // then the partials added into the totals in chunk order, element by
  // element. Each partial is the sum over its chunk's nodes in node order, so
  // the split into tasks changes no bit.
  Sums<T> total;
  total.assign_zero(active_elements);
  std::vector<Sums<T>> parts;
  std::vector<ChunkTables<T>> tables;
  std::vector<NodeScratch<T>> node_scratch(threads);
  std::vector<ModeTables<T>> mode_scratch(threads);
  // The widest code where the processor has it: the element loops in lanes
  // for the f64 and double-double members, and the node tables of the
  // members with double-double products (the f64 member's gain nothing from
  // it).
  constexpr bool lanes = std::is_same_v<T, double> || std::is_same_v<T, DoubleDouble>;
  const bool widest_here = widest_available();
  const bool wide = widest_here && !std::is_same_v<T, double>;
  const auto chunk_nodes = [&](Size c) { return std::min(nodes.size(), (c + 1) * chunk_size) - c * chunk_size; };

  // Row pieces of about `piece` elements each, so that the smallest group
  // (one chunk of one mode) still gives every thread several tasks.
  struct Piece {
    Size chunk, active, p, begin, end;
  };
  std::vector<Piece> pieces;
  Size active_rows = 0;
  for (const ActiveMode& a : ctx.active) {
    for (Size p = 0; p < 2; ++p) {
      for (const Row& r : ctx.rows[a.m][p]) active_rows += r.second >= a.n_from ? a.k[p] : 0;
    }
  }
  const Size piece = std::max<Size>(64, active_rows / (8 * threads));

  for (Size next = 0; next < chunks;) {
    const Size group = std::min({threads, chunks - next, by_budget});
    if (parts.size() < group) {
      parts.resize(group);
      tables.resize(group);
    }
    pool::for_each_index(group, [&](Size c) {
      parts[c].assign_zero(active_elements);
      if (tables[c].products.empty()) tables[c].reserve(nmax, ctx.form_pairs);
    }, pool::Grain::One);

    // Four nodes per task for the f64 member, their series forms in lanes.
    const bool quads = std::is_same_v<T, double> && widest_here;
    if (quads) {
      if constexpr (std::is_same_v<T, double>) {
          constexpr Size quad = 4;
          pool::for_each_index(group * (chunk_size / quad), [&](Size index) {
            const Size c = index / (chunk_size / quad);
            const Size q0 = index % (chunk_size / quad) * quad;
            const Size in_chunk = chunk_nodes(next + c);
            if (q0 >= in_chunk) return;
            const Size count = std::min(quad, in_chunk - q0);
            NodeScratch<T>& scratch = node_scratch[pool::worker_index()];
            std::array<regular::NodeSeries<T>, quad>& ns = scratch.series;
            for (Size l = 0; l < count; ++l) {
              const Node<T>& node = nodes[(next + c) * chunk_size + q0 + l];
              baseline::node_parts<T>(ctx, node.first, node.second, q0 + l, tables[c], scratch, ns[l]);
            }
            // Lanes beyond the chunk's last node repeat it.
            const regular::NodeSeries<T>* const lists[quad] = {&ns[0], &ns[std::min<Size>(1, count - 1)],
                                                               &ns[std::min<Size>(2, count - 1)],
                                                               &ns[std::min<Size>(3, count - 1)]};
            Series4& buffer = scratch.series4;
            ctx.choice != nullptr ? widest::node_forms4<true>(ctx, q0, count, tables[c], lists, buffer)
                                  : widest::node_forms4<false>(ctx, q0, count, tables[c], lists, buffer);
          }, pool::Grain::One);
      }
    } else {
      pool::for_each_index(group * chunk_size, [&](Size index) {
        const Size c = index / chunk_size;
        const Size q = index % chunk_size;
        if (q >= chunk_nodes(next + c)) return;
        const Node<T>& node = nodes[(next + c) * chunk_size + q];
        NodeScratch<T>& scratch = node_scratch[pool::worker_index()];
        const bool with_choice = ctx.choice != nullptr;
        if (wide) {
          with_choice ? widest::node_tables<T, true>(ctx, node.first, node.second, q, tables[c], scratch)
                      : widest::node_tables<T, false>(ctx, node.first, node.second, q, tables[c], scratch);
        } else {
          with_choice ? baseline::node_tables<T, true>(ctx, node.first, node.second, q, tables[c], scratch)
                      : baseline::node_tables<T, false>(ctx, node.first, node.second, q, tables[c], scratch);
        }
      }, pool::Grain::One);
    }

    pieces.clear();
    for (Size c = 0; c < group; ++c) {
      for (Size a = 0; a < ctx.active.size(); ++a) {
        const ActiveMode& mode = ctx.active[a];
        for (Size p = 0; p < 2; ++p) {
          const std::vector<Row>& list = ctx.rows[mode.m][p];
          const Size k = mode.k[p];
          if (k == 0) continue;
          const Size rows = std::max<Size>(1, piece / k);
          for (Size begin = 0; begin < k; begin += rows) {
            const Size end = std::min(k, begin + rows);
            // A piece of rows that are all below n_from has nothing to add.
            if (std::all_of(list.begin() + static_cast<std::ptrdiff_t>(begin),
                            list.begin() + static_cast<std::ptrdiff_t>(end),
                            [&](const Row& r) { return r.second < mode.n_from; })) {
              continue;
            }
            pieces.push_back({c, a, p, begin, end});
          }
        }
      }
    }
    pool::for_each_index(pieces.size(), [&](Size index) {
      const Piece& pc = pieces[index];
      const ActiveMode& mode = ctx.active[pc.active];
      const Size count = chunk_nodes(next + pc.chunk);
      ModeTables<T>& mw = mode_scratch[pool::worker_index()];
      if (mw.nodes[0].pi.empty()) mw.reserve(nmax);
      const bool with_choice = ctx.choice != nullptr;
      if (mw.chunk != next + pc.chunk || mw.m != mode.m) {
        mw.chunk = std::numeric_limits<Size>::max();
        wide ? widest::mode_vectors<T>(ctx, mode.m, count, tables[pc.chunk], mw)
             : baseline::mode_vectors<T>(ctx, mode.m, count, tables[pc.chunk], mw);
        mw.chunk = next + pc.chunk;
        mw.m = mode.m;
      }
      Sums<T>& out = parts[pc.chunk];
      if constexpr (lanes) {
        if (widest_here) {
          with_choice ? widest::element_rows_lanes<T, true>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out)
                      : widest::element_rows_lanes<T, false>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out);
          return;
        }
      }
      if (wide) {
        with_choice ? widest::element_rows<T, true>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out)
                    : widest::element_rows<T, false>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out);
      } else {
        with_choice ? baseline::element_rows<T, true>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out)
                    : baseline::element_rows<T, false>(ctx, mode, pc.p, pc.begin, pc.end, count, tables[pc.chunk], mw, out);
      }
    });

    // Element ranges in parallel, each adding the group's partials in chunk
    // order.
    constexpr Size range = 1024;
    pool::for_each_index((active_elements + range - 1) / range, [&](Size r) {
      const Size begin = r * range;
      const Size end = std::min(active_elements, begin + range);
      for (Size c = 0; c < group; ++c) {
        if constexpr (std::is_same_v<T, DoubleDouble>) {
          if (widest_here) {
            add_lanes(total, parts[c], begin, end);
            continue;
          }
        }
        total.add(parts[c], begin, end);
      }
    });
    next += group;
  }
  parts = {};
  tables = std::vector<ChunkTables<T>>();

  // 14. Assembly: per element the variant by magnitude (0 on the diagonal;
  // 2 when M0 > M2; then 1 when |n_i - n_j| >= 3 and M_code > M1; strict, so
  // ties keep the earlier code and NaN never wins), or the record's code.
  std::vector<ModeMatrices<T>> modes(nmax + 1);
  auto active = ctx.active.begin();
  for (Size m = 0; m <= nmax; ++m) {
    ModeMatrices<T>& mm = modes[m];
    mm.rows = std::move(ctx.rows[m]);
    const bool is_active = active != ctx.active.end() && active->m == m;
    for (Size p = 0; p < 2; ++p) {
      const Size k = mm.rows[p].size();
      const Size k2 = k * k;
      mm.q[p].assign(k2, Complex<T>{zero, zero});
      mm.rg[p].assign(k2, Complex<T>{zero, zero});
      mm.q_mag[p].assign(k2, zero);
      mm.rg_mag[p].assign(k2, zero);
      mm.choice[p].assign(k2, 0);
      if (call.choice != nullptr) mm.choice[p] = call.choice->per_mode[m][p];
      if (!is_active) continue;
      const Size base = active->offset[p];
      for (Size i = 0; i < k; ++i) {
        const Size ni = mm.rows[p][i].second;
        for (Size j = 0; j < k; ++j) {
          const Size nj = mm.rows[p][j].second;
          const Size idx = i * k + j;
          const Size e = base + idx;
          std::uint8_t code = 0;
          if (call.choice != nullptr) {
            code = mm.choice[p][idx];
          } else if (ni != nj) {
            const auto& mg = total.magnitude;
            if (M::greater(mg[1][e], mg[3][e])) code = 2;
            const Size gap = ni > nj ? ni - nj : nj - ni;
            if (gap >= 3 && M::greater(mg[1 + code][e], mg[2][e])) code = 1;
          }
          mm.rg[p][idx] = total.value[0][e];
          mm.rg_mag[p][idx] = total.magnitude[0][e];
          mm.q[p][idx] = total.value[1 + code][e] + total.value[0][e];
          mm.q_mag[p][idx] = total.magnitude[1 + code][e] + total.magnitude[0][e];
          mm.choice[p][idx] = code;
        }
      }
    }
    if (is_active) ++active;
  }
  return modes;
}

}  // namespace vantok::tmatrix::kernel::detail
