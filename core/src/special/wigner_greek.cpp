// The four Greek Wigner functions at many arguments.
//
// wigner_d picks one of three recurrences by the argument: for these four
// functions the choice changes only at x = -0.9, 0 and 0.9, so arguments in one
// of the four regions between share one recurrence per function (and one
// mirror). Consecutive arguments of a region form a group of lanes; each group
// is started by the scalar code (start values, the first step of d^l_00) and
// then advanced a block of degrees at a time, all groups per block, with the
// per-degree coefficients read from tables built once from the same formulas
// as the scalar steps (detail_wigner.hpp). Values come out degree-major from
// the lanes and are transposed to one row per argument for the sink.
#include "vantok/special/wigner_greek.hpp"

#include "special/detail_wigner.hpp"
#include "vantok/format.hpp"
#include "vantok/pool.hpp"
#include "vantok/scalar/lanes.hpp"
#include "vantok/special/wigner.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <tuple>
#include <utility>

namespace vantok::special::wigner {
namespace {

using detail::Kind;

// The four regions of the argument, ascending.
enum class Region : std::size_t { FarNegative, NearNegative, NearPositive, FarPositive };

Region region_of(double x) {
  if (x <= -0.9) return Region::FarNegative;
  if (x < 0.0) return Region::NearNegative;
  if (x < 0.9) return Region::NearPositive;
  return Region::FarPositive;
}

enum class Table {
  Difference0,
  Difference2,
  ThreeTerm22,
  ThreeTerm2m2,
  ThreeTerm02,
  General2m2,
  General0m2,
  General02
};

// The recurrence of one function in one region, as detail::path chooses it.
struct Recurrence {
  Kind kind;
  bool flip;
  Table table;
};

constexpr std::int64_t M[GREEK_FUNCTIONS] = {0, 2, 2, 0};
constexpr std::int64_t N[GREEK_FUNCTIONS] = {0, 2, -2, 2};

constexpr Recurrence RECURRENCES[4][GREEK_FUNCTIONS] = {
    // x <= -0.9: every argument mirrored, (2, 2) and (0, 2) onto n' = -2.
    {{Kind::Difference, true, Table::Difference0},
     {Kind::GeneralDifference, true, Table::General2m2},
     {Kind::Difference, true, Table::Difference2},
     {Kind::GeneralDifference, true, Table::General0m2}},
    // -0.9 < x < 0: m = -n mirrored.
    {{Kind::Difference, true, Table::Difference0},
     {Kind::ThreeTerm, false, Table::ThreeTerm22},
     {Kind::Difference, true, Table::Difference2},
     {Kind::ThreeTerm, false, Table::ThreeTerm02}},
    // 0 <= x < 0.9 (x = -0.0 included).
    {{Kind::Difference, false, Table::Difference0},
     {Kind::Difference, false, Table::Difference2},
     {Kind::ThreeTerm, false, Table::ThreeTerm2m2},
     {Kind::ThreeTerm, false, Table::ThreeTerm02}},
    // x >= 0.9.
    {{Kind::Difference, false, Table::Difference0},
     {Kind::Difference, false, Table::Difference2},
     {Kind::GeneralDifference, false, Table::General2m2},
     {Kind::GeneralDifference, false, Table::General02}},
};

const std::vector<double>& table(const GreekWigner::Tables& t, Table which) {
  return t[static_cast<std::size_t>(which)];
}

// One group of lanes: the arguments begin .. begin + lanes - 1 of one region
// (the unused lanes repeat lane 0), with the state of each recurrence: its
// argument (x' - 1 for the difference forms, x' for ThreeTerm) and its pair.
struct Group {
  std::size_t begin = 0;
  std::size_t lanes = 0;
  Region region = Region::NearPositive;
  alignas(32) double arg[GREEK_FUNCTIONS][GREEK_LANES] = {};
  alignas(32) double first[GREEK_FUNCTIONS][GREEK_LANES] = {};
  alignas(32) double second[GREEK_FUNCTIONS][GREEK_LANES] = {};
  // x' of d^l_00, its value at l = 1.
  double x00[GREEK_LANES] = {};
};

using Scratch = double[GREEK_FUNCTIONS][GREEK_BLOCK][GREEK_LANES];
using Rows = double[GREEK_FUNCTIONS][GREEK_LANES * GREEK_BLOCK];

// Lane j of g at argument x: the start of every function as wigner_d makes it.
void start_lane(Group& g, std::size_t j, double x, std::size_t l_max) {
  for (std::size_t f = 0; f < GREEK_FUNCTIONS; ++f) {
    const detail::Path path = detail::path(M[f], N[f], x);
    const Recurrence& rec = RECURRENCES[static_cast<std::size_t>(g.region)][f];
    VANTOK_ASSERT(path.kind == rec.kind && path.flip == rec.flip);
    const double xp = path.flip ? -x : x;
    g.arg[f][j] = rec.kind == Kind::ThreeTerm ? xp : xp - 1.0;
    std::pair<double, double> pair;
    if (f == 0) {
      // d^0_00 = 1, then the pair (x' - 1, x') at degree 1, stepped to degree 2.
      g.x00[j] = xp;
      pair = {xp - 1.0, xp};
      if (l_max >= 2) Difference<double>(xp - 1.0, 0.0).step(1, pair);
    } else {
      const auto [exponent, d] = detail::start(M[f], path, xp);
      // s^a c^b with a + b = 4 is 0 or above 2^-110: never in extended range.
      VANTOK_ASSERT(exponent == 0);
      pair = {rec.kind == Kind::ThreeTerm ? 0.0 : d, d};
    }
    g.first[f][j] = pair.first;
    g.second[f][j] = pair.second;
  }
}

std::vector<Group> make_groups(std::span<const double> x, std::size_t lanes, std::size_t l_max) {
  std::vector<Group> groups;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const Region r = region_of(x[k]);
    if (groups.empty() || groups.back().region != r || groups.back().lanes == lanes) {
      groups.emplace_back();
      groups.back().begin = k;
      groups.back().region = r;
    }
    Group& g = groups.back();
    start_lane(g, g.lanes, x[k], l_max);
    ++g.lanes;
  }
  for (Group& g : groups) {
    for (std::size_t j = g.lanes; j < lanes; ++j) {
      for (std::size_t f = 0; f < GREEK_FUNCTIONS; ++f) {
        g.arg[f][j] = g.arg[f][0];
        g.first[f][j] = g.first[f][0];
        g.second[f][j] = g.second[f][0];
      }
      g.x00[j] = g.x00[0];
    }
  }
  return groups;
}

// Degrees 0 and 1 (below l_end): d^0_00 = 1, d^1_00 = x' (negated when
// mirrored), and the other three are 0 below their l_min = 2.
void low_degrees(const Group& g, std::size_t l_end, Scratch& scratch) {
  const bool flip = RECURRENCES[static_cast<std::size_t>(g.region)][0].flip;
  for (std::size_t j = 0; j < GREEK_LANES; ++j) {
    for (std::size_t l = 0; l < std::min<std::size_t>(l_end, 2); ++l) {
      scratch[0][l][j] = l == 0 ? 1.0 : (flip ? -g.x00[j] : g.x00[j]);
      for (std::size_t f = 1; f < GREEK_FUNCTIONS; ++f) scratch[f][l][j] = 0.0;
    }
  }
}

#define VANTOK_LANES_BODY "special/detail_wigner_greek_lanes.inc"
#include "vantok/scalar/lanes_twice.inc"

// The kernels of one lane width.
struct Kernels {
  std::size_t lanes;
  void (*advance)(const GreekWigner::Tables&, Group&, std::size_t, std::size_t, std::size_t, std::size_t,
                  Scratch&);
  void (*transpose)(const Scratch&, std::size_t, Rows&);
};

Kernels kernels(Width width) {
  if (scalar::lanes::resolve(width) == Width::Four) {
    VANTOK_ASSERT(scalar::lanes::has_avx2());
    return {four::K * four::W, &four::advance_group, &four::transpose_block};
  }
  return {two::K * two::W, &two::advance_group, &two::transpose_block};
}

}  // namespace

GreekWigner::GreekWigner(std::size_t l_max) : l_max_(l_max) {
  // Coefficients of the steps l -> l + 1 for l < l_max, from the start degree
  // of each recurrence on (1 for d^l_00, l_min = 2 for the others), with S and
  // C carried as the scalar steps carry them.
  auto out = [&](Table which, std::size_t stride) -> double* {
    std::vector<double>& v = tables_[static_cast<std::size_t>(which)];
    v.assign(stride * l_max, 0.0);
    return v.data();
  };
  for (const auto& [which, m, start] :
       {std::tuple{Table::Difference0, 0.0, 1}, std::tuple{Table::Difference2, 2.0, 2}}) {
    double* c = out(which, 3);
    for (std::size_t l = start; l < l_max; ++l) {
      const detail::DifferenceStep step = detail::difference_step(l, m);
      std::copy_n(std::array{step.c1, step.c2, step.recip}.data(), 3, c + 3 * l);
    }
  }
  for (const auto& [which, m, n] :
       {std::tuple{Table::ThreeTerm22, 2.0, 2.0}, std::tuple{Table::ThreeTerm2m2, 2.0, -2.0},
        std::tuple{Table::ThreeTerm02, 0.0, 2.0}}) {
    double* c = out(which, 5);
    double s = 0.0;
    for (std::size_t l = 2; l < l_max; ++l) {
      const detail::ThreeTermStep step = detail::three_term_step(l, m, n, s);
      std::copy_n(std::array{step.ll, step.mn, step.two_l1, step.s_l, step.divisor}.data(), 5, c + 5 * l);
      s = step.s_next;
    }
  }
  for (const auto& [which, m, n] :
       {std::tuple{Table::General2m2, 2.0, -2.0}, std::tuple{Table::General0m2, 0.0, -2.0},
        std::tuple{Table::General02, 0.0, 2.0}}) {
    double* c = out(which, 5);
    // C at l_min = 2, as wigner_d starts it.
    double c_l = 2.0 * (2.0 + 1.0) - m * n;
    double s = 0.0;
    for (std::size_t l = 2; l < l_max; ++l) {
      const detail::GeneralDifferenceStep step = detail::general_difference_step(l, m, n, c_l, s);
      std::copy_n(std::array{step.lq, step.c_l, step.c1, step.s_l, step.recip}.data(), 5, c + 5 * l);
      c_l = step.c_next;
      s = step.s_next;
    }
  }
}

Result<void> GreekWigner::evaluate_blocks(std::span<const double> x, BlockSink sink, void* context,
                                          Width width) const {
  for (const double v : x) {
    if (!(std::fabs(v) <= 1.0)) {
      return std::unexpected(Error::invalid_input("wigner_d needs -1 <= x <= 1, got " + fmt::debug(v)));
    }
  }
  const Kernels k = kernels(width);
  std::vector<Group> groups = make_groups(x, k.lanes, l_max_);
  struct Buffers {
    Scratch scratch;
    Rows rows;
  };
  const auto buffers = std::make_unique<Buffers>();
  for (std::size_t l_begin = 0; l_begin <= l_max_; l_begin += GREEK_BLOCK) {
    // Polled once per block of degrees, some 0.1 us per argument.
    stop::check();
    const std::size_t l_end = std::min(l_begin + GREEK_BLOCK, l_max_ + 1);
    for (Group& g : groups) {
      std::size_t from = l_begin;
      if (l_begin == 0) {
        low_degrees(g, l_end, buffers->scratch);
        from = 2;
      }
      if (from < l_end) k.advance(tables_, g, from, l_end, l_begin, l_max_, buffers->scratch);
      k.transpose(buffers->scratch, l_end - l_begin, buffers->rows);
      const Rows& rows = buffers->rows;
      sink(context, GreekBlock{g.begin, g.lanes, l_begin, l_end, {rows[0], rows[1], rows[2], rows[3]}});
    }
  }
  return {};
}

}  // namespace vantok::special::wigner
