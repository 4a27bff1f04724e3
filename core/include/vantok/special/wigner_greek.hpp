#pragma once
// The four Wigner functions of the Greek expansion, d^l_00, d^l_22, d^l_2,-2
// and d^l_02, at many arguments for l = 0..l_max, each value bit for bit the
// one wigner_d gives. The per-degree coefficients of every recurrence these
// functions use (their square roots and quotients depend on l, m and n only)
// are tabulated once; the four recurrences advance together, in SIMD lanes of
// consecutive arguments that share a recurrence, each lane running exactly the
// scalar sequence of its argument.

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

#include "vantok/error.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::special::wigner {

using scalar::lanes::Width;

/// The functions in order: (m, n) = (0, 0), (2, 2), (2, -2), (0, 2).
inline constexpr std::size_t GREEK_FUNCTIONS = 4;
/// Degrees handed over per block.
inline constexpr std::size_t GREEK_BLOCK = 32;
/// Arguments advanced together, at most.
inline constexpr std::size_t GREEK_LANES = 8;

/// One block of values: the arguments first .. first + lanes - 1 at the degrees
/// l_begin .. l_end - 1.
struct GreekBlock {
  std::size_t first;
  std::size_t lanes;
  std::size_t l_begin;
  std::size_t l_end;
  /// values[f][j * GREEK_BLOCK + (l - l_begin)] = function f at degree l and argument first + j.
  std::array<const double*, GREEK_FUNCTIONS> values;

  /// Function f at argument first + j for the block's degrees.
  std::span<const double> row(std::size_t f, std::size_t j) const noexcept {
    return {values[f] + j * GREEK_BLOCK, l_end - l_begin};
  }
};

/// The recurrence coefficients of the four functions up to a degree.
class GreekWigner {
 public:
  explicit GreekWigner(std::size_t l_max);

  std::size_t l_max() const noexcept { return l_max_; }

  /// Hands every value at the arguments x (each in [-1, 1]) to sink(const
  /// GreekBlock&): blocks in ascending degree, and within one block's degrees
  /// the arguments in ascending order, so that a sum over the arguments per
  /// degree keeps the order of the arguments. An x outside [-1, 1] or NaN
  /// fails as wigner_d does, before any value is handed over.
  template <class Sink>
  Result<void> evaluate(std::span<const double> x, Sink&& sink, Width width = Width::Widest) const {
    using Function = std::remove_reference_t<Sink>;
    auto call = [](void* context, const GreekBlock& block) { (*static_cast<Function*>(context))(block); };
    return evaluate_blocks(x, call, const_cast<void*>(static_cast<const void*>(&sink)), width);
  }

  /// The coefficients of the steps l -> l + 1, indexed by l, of each of the
  /// eight recurrences (kind, m and n' after the mirror) these functions use.
  using Tables = std::array<std::vector<double>, 8>;

 private:
  using BlockSink = void (*)(void*, const GreekBlock&);
  Result<void> evaluate_blocks(std::span<const double> x, BlockSink sink, void* context, Width width) const;

  std::size_t l_max_;
  Tables tables_;
};

}  // namespace vantok::special::wigner
