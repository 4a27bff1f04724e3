#pragma once
// Layered spheres solved side by side in SIMD lanes, one particle per lane: the
// recursion of Kernel::solve (and for one layer the sphere kernel) over two
// lanes (SSE2) or four (AVX2, when the processor has it), every lane
// performing exactly the scalar sequence of its particle, so each solved
// particle holds the bits of Layered::solve. The particles of a group have one
// number of layers; equal or similar term counts belong in one group.

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/group.hpp"
#include "vantok/mie/kernel.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::layered::group {

/// A checked particle (xs and ms from the core out, the derivative limit and
/// the size of its work arrays checked as Layered::solve checks them) and its
/// number of terms.
struct Particle {
  std::span<const double> xs;
  std::span<const Complex<double>> ms;
  std::size_t n_terms;
};

/// One solved particle, as Layered holds it after a solve.
struct Solved {
  /// The outermost layer: a_n, b_n, the absorption sum and, with derivatives,
  /// their derivatives with respect to x_L and m_L.
  mie::kernel::State state;
  /// With derivatives, the inner layers' records (layers 0 .. L-2).
  std::vector<mie::kernel::DerivativeRecord> records;
  std::size_t layers = 0;

  mie::coefficients::Coefficients coefficients() const { return state.coefficients(); }
  /// The derivatives with respect to layer l's x_l and m_l (outer set only for
  /// the last layer); needs a solve with derivatives and l < layers.
  mie::coefficients::CoefficientDerivatives layer_derivatives(std::size_t l) const;
};

/// The efficiencies of one particle and, with derivatives, the Jacobian of
/// each layer (core first).
struct Efficiencies {
  std::array<double, 5> values{};
  std::vector<std::array<double, 15>> jacobians;
};

/// Particles whose layers times terms exceed this are solved one at a time: a
/// group's work arrays grow with the lanes times that product.
inline constexpr std::size_t MAX_LANE_WORK = mie::group::MAX_LANE_TERMS;

/// The solver of groups, used by one thread at a time; its work arrays keep
/// their capacity from group to group.
class Solver {
 public:
  explicit Solver(scalar::lanes::Width width = scalar::lanes::Width::Widest);
  ~Solver();
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;

  std::size_t lanes() const { return spheres_.lanes(); }

  /// Solves 1 to lanes() particles of one number of layers into out[0 ..
  /// size), as Layered::solve would; with products.efficiencies also
  /// efficiencies[0 .. size). A single particle, or one above MAX_LANE_WORK,
  /// is solved alone; particles solved in lanes without products.coefficients
  /// have empty coefficient and derivative vectors (the sums are kept).
  void solve(std::span<const Particle> group, bool derivatives, std::span<Solved> out,
             const mie::group::Products& products = {}, std::span<Efficiencies> efficiencies = {});

 private:
  struct Work;
  scalar::lanes::Width width_;
  mie::group::Solver spheres_;
  std::unique_ptr<Work> work_;
};

}  // namespace vantok::layered::group
