#pragma once
// The EBCM mode kernel written once over the scalar: the driver (geometry
// constants, scales, series tables, quadrature rule, chunked parallel sums in a
// fixed order, assembly with the variant choice) and the node integrand
// (radial functions of r and of z = eta r, angular functions, the regular
// element and the three evaluations of the outgoing part of every element).
// This header holds the records of one run (its call, the chunk tables and
// per-worker scratch); the definitions are in detail_kernel_impl.hpp, the
// per-scalar rules in detail_kernel_members.hpp.
//
// The surface integrals of Waterman's extended boundary condition method are
// taken over the polar angle with the Gauss-Legendre nodes cos(theta) in (0, 1)
// only: the spheroid is symmetric about its equator, so each parity block
// doubles the upper half.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_kernel_members.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_raw_array.hpp"
#include "tmatrix/detail_series_tails.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/numeric.hpp"

// The math of every scalar (abs, exp, hypot, ...) is brought into this
// namespace by detail_kernel_members.hpp.
namespace vantok::tmatrix::kernel::detail {

/// A three-component complex vector: radial, polar and azimuthal components of
/// a vector spherical function at the surface point.
template <class T>
using Vec3 = std::array<Complex<T>, 3>;

/// Terms per series order beyond which a coefficient table is cut short and
/// marked unusable. The series of the validated domain need a few hundred.
inline constexpr std::size_t MAX_SERIES_TERMS = 4096;

/// Where the accumulators of one active mode live in the flat partial arrays.
struct ActiveMode {
  std::size_t m = 0;
  std::size_t n_from = 0;
  std::array<std::size_t, 2> offset{};
  std::array<std::size_t, 2> k{};
};

/// The flat sums of one chunk (or of the whole quadrature): per element of
/// every active mode, index 0 the regular part and 1 + v variant v, with the
/// matching magnitude sums; with a variant record an element sums only its
/// recorded variant, at index 1 whatever its code, and indices 2 and 3 have
/// no storage. Only active modes have storage.
template <class T>
struct Sums {
  std::array<RawArray<Complex<T>>, 4> value;
  std::array<RawArray<T>, 4> magnitude;

  /// The arrays in use: 2 with a variant record, else 4.
  static std::size_t arrays(bool recorded) { return recorded ? 2 : 4; }

  /// Room for `elements` sums in each array in use, left unset; the other
  /// arrays empty.
  void allocate(std::size_t elements, bool recorded) {
    for (std::size_t a = 0; a < 4; ++a) {
      const std::size_t n = a < arrays(recorded) ? elements : 0;
      value[a].assign(n);
      magnitude[a].assign(n);
    }
  }
  /// Zeros (+0) for the elements begin..end of the arrays in use.
  void zero(std::size_t begin, std::size_t end) {
    const T zero{};
    for (std::size_t a = 0; a < 4; ++a) {
      if (value[a].empty()) continue;
      VANTOK_ASSERT(end <= value[a].size() && end <= magnitude[a].size());
      std::fill(value[a].data() + begin, value[a].data() + end, Complex<T>{zero, zero});
      std::fill(magnitude[a].data() + begin, magnitude[a].data() + end, zero);
    }
  }
  /// this += other for the elements begin..end (of the arrays in use).
  void add(const Sums& other, std::size_t begin, std::size_t end) {
    for (std::size_t a = 0; a < 4; ++a) {
      if (value[a].empty()) continue;
      VANTOK_ASSERT(end <= value[a].size() && end <= other.value[a].size() &&
                    end <= magnitude[a].size() && end <= other.magnitude[a].size());
      Complex<T>* dst = value[a].data();
      const Complex<T>* src = other.value[a].data();
      for (std::size_t e = begin; e < end; ++e) dst[e] = dst[e] + src[e];
      T* mdst = magnitude[a].data();
      const T* msrc = other.magnitude[a].data();
      for (std::size_t e = begin; e < end; ++e) mdst[e] = mdst[e] + msrc[e];
    }
  }
};

/// How the element loops leave a chunk's sums, each begun from zero and
/// taken over the chunk's nodes in node order: stored into the chunk's own
/// partial sums (added to the totals afterwards in chunk order), or added to
/// the totals at once (total + chunk sum, the same addition), when the chunks
/// are summed one after another.
enum class Deposit : bool { Store, Add };

/// The product kinds of the outgoing part that an element of each parity of
/// n_i - n_j reads, in the order of the coefficient table: the same kinds
/// (0, 0) and (1, 1) pair orders of equal parity, mixed kinds orders of
/// opposite parity. The other four kinds are never read and never formed.
inline constexpr std::array<std::array<std::size_t, 4>, 2> KINDS{{{1, 2, 4, 6}, {0, 3, 5, 7}}};

/// Quadrature nodes per chunk.
inline constexpr std::size_t CHUNK = 8;

/// Everything the node integrand reads, shared read-only by all chunks.
template <class T>
struct Context {
  std::size_t nmax = 0;
  Axes<T> spheroid;
  T a2{}, b2{}, ab{};
  Complex<T> eta;
  const functions::Scales<T>* scales = nullptr;
  std::vector<T> inv_out;
  std::vector<T> inv_reg;
  const regular::Series<T>* series = nullptr;
  T inv_series_rmin{};
  /// 1 / (m rmin) of the series, the scale of the regular derivative forms.
  Complex<T> inv_series_zeta;
  /// The integrand's own rmin, the length unit of rho = r / rmin.
  T node_rmin{};
  std::size_t n_low = 0;
  /// 1/b^2 - 1/a^2.
  T g0{};
  std::vector<T> norm;
  std::size_t regular_limit = std::numeric_limits<std::size_t>::max();
  const Choice* choice = nullptr;
  /// Whether the magnitude sums are formed (always without a record).
  bool magnitudes = true;
  /// With a record: per order, whether a wanted series form has its row
  /// (series_rows) or its column (series_columns) there; empty without one.
  std::vector<std::uint8_t> series_rows;
  std::vector<std::uint8_t> series_columns;
  /// Whether order k needs its row / column series (always without a record).
  bool series_row(std::size_t k) const { return series_rows.empty() || series_rows[k] != 0; }
  bool series_column(std::size_t k) const { return series_columns.empty() || series_columns[k] != 0; }
  /// Per order pair (n_i (N + 1) + n_j), its place among the pairs with
  /// series forms (those the integrand evaluates), NO_FORMS for the others;
  /// form_pairs of them. The chunk tables keep their forms at
  /// ((place CHUNK + node) 4 + slot), and one spare pair of zeros last.
  std::vector<std::uint32_t> form_place;
  std::size_t form_pairs = 0;
  static constexpr std::uint32_t NO_FORMS = std::numeric_limits<std::uint32_t>::max();
  std::vector<ActiveMode> active;

  std::size_t form_base(std::size_t ni, std::size_t nj, std::size_t node) const {
    const std::uint32_t place = form_place[ni * (nmax + 1) + nj];
    VANTOK_ASSERT(place != NO_FORMS);
    return (place * CHUNK + node) * 4;
  }
  std::size_t spare_form() const { return form_pairs * CHUNK * 4; }
  std::vector<RowLists> rows;
  /// Whether node_series builds the row series of order k (from n_low on).
  bool series_row_lanes(std::size_t k) const { return k >= std::max<std::size_t>(n_low, 1) && series_row(k); }
};

/// The entries of each series list that the tails read: a tail of row r and
/// column n cuts at D = (idx - base) / 2 with idx <= 0 and base = alpha
/// offset + beta offset + h >= -r (alpha offset >= -r - 2, beta offset >= 0,
/// h >= 2), and at the same time base >= n - 1 - N (alpha offset >= -N - 2,
/// beta offset >= n - 1). It reads alpha's terms 0..D and its sums at D + 1
/// at most, beta's prefix sums 0..D and suffix sums 0..D + 1: the first D + 2
/// entries of each list (at most its length + 1), for a series of `length`
/// terms.
inline std::size_t kept_real(std::size_t r, std::size_t length) { return std::min(length + 1, r / 2 + 2); }
inline std::size_t kept_complex(std::size_t n, std::size_t nmax, std::size_t length) {
  return std::min(length + 1, (nmax + 1 - n) / 2 + 2);
}

/// The entries of the double-double eight-node series (the kept entries of
/// three real lists of three arrays per row order, of three complex lists of
/// six per column order).
template <class T>
std::size_t eight_node_entries(const Context<T>& ctx) {
  std::size_t entries = 0;
  for (std::size_t k = 1; k <= ctx.nmax; ++k) {
    if (ctx.series_row_lanes(k)) {
      entries = sat_add(entries, sat_mul<std::size_t>(9, kept_real(k, ctx.series->irregular[k].size())));
    }
    if (ctx.series_column(k)) {
      entries = sat_add(entries, sat_mul<std::size_t>(18, kept_complex(k, ctx.nmax, ctx.series->regular[k].size())));
    }
  }
  return entries;
}

/// What one node of a chunk keeps for the element loops: its surface point
/// and weights and its radial functions.
template <class T>
struct NodeTables {
  T x{}, st{}, r{}, s{}, g{}, big_w{}, big_a{};
  std::vector<Complex<T>> h, hb, hc, j, jb, jc, u, ub, uc;
};

/// The tables of one chunk, filled node by node (each node writes only its own
/// entries, so that the nodes of a chunk can be filled in parallel) and then
/// read by every mode's element loops. The outgoing-part products, their
/// bounds and their series forms are kept for every node, four per order pair
/// and node: index ((n_i N + n_j) CHUNK + node) 4 + slot, so that an element
/// finds the values of all its nodes side by side.
template <class T>
struct ChunkTables {
  std::array<NodeTables<T>, CHUNK> nodes;
  RawArray<Complex<T>> products;
  /// |Re| + |Im| of each product, the bound of variant 0.
  RawArray<T> product_bounds;
  RawArray<regular::Forms<T>> forms;

  /// Storage for nmax and form_pairs pairs with series forms (and the spare).
  void reserve(std::size_t nmax, std::size_t form_pairs) {
    const std::size_t n = nmax + 1;
    const T zero{};
    const Complex<T> czero{zero, zero};
    for (NodeTables<T>& t : nodes) {
      for (auto* f : {&t.h, &t.hb, &t.hc, &t.j, &t.jb, &t.jc, &t.u, &t.ub, &t.uc}) {
        f->assign(n, czero);
      }
    }
    products.assign(4 * CHUNK * n * n);
    product_bounds.assign(4 * CHUNK * n * n);
    forms.assign(4 * CHUNK * (form_pairs + 1));
    // The spare pair, read by lanes without forms, holds zeros.
    for (std::size_t i = 4 * CHUNK * form_pairs; i < forms.size(); ++i) {
      forms[i] = regular::Forms<T>{czero, czero, zero, zero};
    }
  }
};

/// The series of the nodes of a task side by side (a chunk's eight where the
/// processor has AVX-512, else four), for the f64 member's series forms in
/// lanes (detail_kernel_lanes.inc): each entry of a NodeSeries list as
/// `width` doubles (lane l from node l), in one buffer. node_series_nodes
/// builds it for all the nodes at once, each lane by its node's own
/// operations. The
/// double-double member's eight nodes use the same record with sixteen
/// doubles an entry (eight leading, eight trailing parts) and only the first
/// entries of each list (detail_kernel_dd_nodes.inc).
struct SeriesLanes {
  struct Real {
    std::int64_t offset = 0;
    std::size_t length = 0;
    std::size_t coefficients = 0, sums = 0, bounds = 0;
    /// The double-double lanes keep the first entries of a list only, those
    /// its tails read (0 for a list not built); the f64 ones every entry.
    std::size_t kept = 0;
  };
  struct Terms {
    std::int64_t offset = 0;
    std::size_t length = 0;
    std::size_t prefix_re = 0, prefix_im = 0, prefix_bounds = 0, suffix_re = 0, suffix_im = 0, suffix_bounds = 0;
    /// As Real::kept.
    std::size_t kept = 0;
  };
  std::vector<std::array<Real, 3>> real;
  std::vector<std::array<Terms, 3>> terms;
  std::vector<double> values;
  /// The nodes' functions of the outgoing-part products (radial_nodes).
  std::vector<double> radial;
  /// The term lists of one order of the double-double lanes, before their
  /// sums.
  std::vector<double> staged;
  /// Doubles per entry: the number of lanes.
  std::size_t width = 4;
  /// Entries of `values` handed out so far.
  std::size_t used = 0;

  /// Empty lists for orders 0..nmax and room for `entries` entries of
  /// `lanes` doubles (the buffer is sized once per worker; every entry read
  /// is written).
  void reset(std::size_t nmax, std::size_t entries, std::size_t lanes) {
    real.assign(nmax + 1, {});
    terms.assign(nmax + 1, {});
    width = lanes;
    if (values.size() < width * entries) values.resize(width * entries);
    used = 0;
  }

  /// The first of `length` further entries.
  std::size_t take(std::size_t length) {
    const std::size_t start = used;
    used += length;
    VANTOK_ASSERT(width * used <= values.size());
    return start;
  }

  /// The doubles of entry `index`.
  double* at(std::size_t index) { return values.data() + width * index; }
  const double* at(std::size_t index) const { return values.data() + width * index; }
};

/// SeriesLanes for the f64 and double-double members, nothing for the others.
template <class T>
struct SeriesLanesOf {
  struct type {};
};
template <>
struct SeriesLanesOf<double> {
  using type = SeriesLanes;
};
template <>
struct SeriesLanesOf<scalar::DoubleDouble> {
  using type = SeriesLanes;
};

/// The ratio buffers of the radial recurrences of one node, and the series
/// of the nodes of a task (per worker, reused).
template <class T>
struct NodeScratch {
  std::vector<T> alpha;
  std::vector<Complex<T>> sigma;
  regular::NodeSeries<T> series;
  /// The nodes' series in lanes of the widest code (f64 and double-double).
  typename SeriesLanesOf<T>::type series_lanes;
};

/// The angular functions of one mode at one node and the vector functions
/// built from them.
template <class T>
struct ModeNode {
  std::vector<T> pi, tau, gld;
  std::array<std::vector<Vec3<T>>, 6> v;
};

/// The mode tables of one chunk (per worker): every node's ModeNode for the
/// mode `m` of the chunk numbered `chunk`, kept while a worker's consecutive
/// tasks share both.
template <class T>
struct ModeTables {
  functions::Angular<T> angular;
  std::array<ModeNode<T>, CHUNK> nodes;
  /// The d_n of every node side by side, for the vector functions in lanes
  /// (double-double only).
  std::vector<T> lanes;
  std::size_t chunk = std::numeric_limits<std::size_t>::max();
  std::size_t m = 0;

  void reserve(std::size_t nmax) {
    const std::size_t n = nmax + 1;
    const T zero{};
    const Complex<T> czero{zero, zero};
    for (ModeNode<T>& t : nodes) {
      for (auto* f : {&t.pi, &t.tau, &t.gld}) f->assign(n, zero);
      for (auto& f : t.v) f.assign(n, Vec3<T>{czero, czero, czero});
    }
  }
};

/// Inputs of one kernel call.
template <class T>
struct KernelCall {
  Axes<T> spheroid;
  Complex<T> eta;
  std::size_t nmax = 0;
  std::size_t ngauss = 0;
  Mask mask;
  const Choice* choice = nullptr;
  std::size_t regular_limit = std::numeric_limits<std::size_t>::max();
  /// At most this many bytes of chunk sums and tables alive at once; 0 = as
  /// many as a lease of the work budget covers. Any value gives the same bits.
  std::size_t partial_budget = 0;
  /// Bytes of work arrays the caller keeps alive during the call, counted
  /// with the kernel's own against the work budget.
  std::size_t held_bytes = 0;
  /// With a record, false leaves the magnitude sums out (zeros).
  bool magnitudes = true;
};

/// The call of one public member: its inputs, the rest defaulted.
template <class T>
KernelCall<T> kernel_call(const Axes<T>& spheroid, const Complex<T>& eta, std::size_t nmax,
                          std::size_t ngauss, Mask mask, const Choice* choice = nullptr,
                          std::size_t regular_limit = std::numeric_limits<std::size_t>::max()) {
  KernelCall<T> call;
  call.spheroid = spheroid;
  call.eta = eta;
  call.nmax = nmax;
  call.ngauss = ngauss;
  call.mask = mask;
  call.choice = choice;
  call.regular_limit = regular_limit;
  return call;
}

/// The driver: all_modes_masked over T.
template <KernelScalar T>
Result<std::vector<ModeMatrices<T>>> run_kernel(const KernelCall<T>& call);

/// The series coefficient tables of the driver (public for tests).
template <KernelScalar T>
regular::Series<T> series_tables(const functions::Scales<T>& scales, std::size_t nmax,
                                 const T& rmin, const T& rmax, const Complex<T>& eta);

#define VANTOK_TMATRIX_KERNEL_DETAIL(T)                                                    \
  extern template Result<std::vector<ModeMatrices<T>>> run_kernel<T>(const KernelCall<T>&); \
  extern template regular::Series<T> series_tables<T>(const functions::Scales<T>&,         \
                                                      std::size_t, const T&, const T&,     \
                                                      const Complex<T>&);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_KERNEL_DETAIL)
#undef VANTOK_TMATRIX_KERNEL_DETAIL

}  // namespace vantok::tmatrix::kernel::detail
