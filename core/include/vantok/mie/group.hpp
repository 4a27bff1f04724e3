#pragma once
// Spheres solved side by side in SIMD lanes, one sphere per lane: the kernel of
// State::prepare and State::finish run over two lanes (SSE2) or four (AVX2,
// when the processor has it), every lane performing exactly the scalar
// sequence of its sphere, so each solved State holds the bits a State of its
// own would. Spheres of equal or similar term counts belong in one group (the
// lanes run to the group's largest N).

#include <array>
#include <cstddef>
#include <memory>
#include <span>

#include "vantok/complex.hpp"
#include "vantok/mie/kernel.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::mie::group {

/// A checked sphere and its number of terms (from check_inputs).
struct Sphere {
  double x;
  Complex<double> m;
  std::size_t n_terms;
};

/// What a group solve forms beyond the absorption sums (and with derivatives
/// their derivatives), which it always forms.
struct Products {
  /// a_n, b_n and their derivatives in each State.
  bool coefficients = true;
  /// The efficiencies and, with derivatives, their Jacobian, each to the bit
  /// what Coefficients::efficiencies and efficiencies_jacobian give.
  bool efficiencies = false;
};

/// The efficiencies (Q_ext, Q_sca, Q_abs, Q_back, g) of one sphere of a group
/// and, with derivatives, their 3 x 5 Jacobian row by row.
struct Efficiencies {
  std::array<double, 5> values{};
  std::array<double, 15> jacobian{};
};

/// Term counts above this are solved one sphere at a time: a group's work
/// arrays grow with the lanes times its largest N.
inline constexpr std::size_t MAX_LANE_TERMS = 16384;

/// The solver of groups, used by one thread at a time; its work arrays keep
/// their capacity from group to group.
class Solver {
 public:
  explicit Solver(scalar::lanes::Width width = scalar::lanes::Width::Widest);
  ~Solver();
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;

  /// The most spheres of one group.
  std::size_t lanes() const { return lanes_; }

  /// Solves 1 to lanes() spheres into out[0 .. size): a_n, b_n, the absorption
  /// sum and, with derivatives, their derivatives, as prepare and finish of
  /// each State would; with products.efficiencies also efficiencies[0 ..
  /// size). A single sphere, or one of more than MAX_LANE_TERMS terms, is
  /// solved by its State alone; a State solved in lanes has empty ratio
  /// buffers, and when products leaves out the coefficients, empty a_n, b_n
  /// and derivative vectors.
  void solve(std::span<const Sphere> group, bool derivatives, std::span<kernel::State> out,
             const Products& products = {}, std::span<Efficiencies> efficiencies = {});

 private:
  struct Work;
  scalar::lanes::Width width_;
  std::size_t lanes_;
  std::unique_ptr<Work> work_;
};

}  // namespace vantok::mie::group
