#pragma once
// Particle optics at one radius: the per-thread solver between the ensemble
// engine and the sphere solvers. It turns an outer size parameter into the
// layer size parameters and indices of the particle, runs the solvers' own
// checks (so their messages, limits and validated domains apply unchanged),
// solves on buffers it reuses from call to call, and returns borrowed views of
// the coefficients and, on request, their derivatives.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/ensemble/particle.hpp"
#include "vantok/error.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/mie.hpp"

namespace vantok::ensemble::particle {

/// A particle at one wavelength; borrows from its Particle, which must outlive it.
struct Optics {
  struct Sphere {
    Complex<double> m;
  };
  struct Layered {
    /// The L - 1 radius fractions, core first.
    std::span<const double> radius_fractions;
    /// Every layer's indices over the wavelengths, core first. (Named apart
    /// from the method `layers`, which fills one wavelength's layer lists.)
    std::span<const std::vector<Complex<double>>> layer_indices;
    std::size_t wavelength;
  };
  std::variant<Sphere, Layered> kind;

  /// The optics of `particle` at wavelength `index` (within its index lists).
  static Optics at(const ensemble::Particle& particle, std::size_t index);

  /// A layered particle's layers at outer size parameter x, core first:
  /// xs = [f_0 x, ..., f_{L-2} x, x], ms = each layer's index at this
  /// wavelength. Both vectors are cleared first. Calling it on a sphere is an
  /// internal fault.
  void layers(std::vector<double>& xs, std::vector<Complex<double>>& ms, double x) const;

  /// The number of terms the sphere solvers would use at x, with all their
  /// input checks (errors unchanged).
  Result<std::size_t> n_terms(const mie::SolveOptions& options, double x) const;
};

/// A solution of the last Solver::solve: views into the Solver, valid until
/// its next solve.
struct ParticleSolution {
  /// Empty without derivatives; one view for a sphere; one per layer, core
  /// first, for a layered particle (outer set on the outermost only).
  std::span<const mie::coefficients::CoefficientDerivatives> derivatives;
  /// a_n, b_n, the outer size parameter and the absorption sum.
  mie::coefficients::Coefficients coefficients;
  /// The particle's radius fractions (empty for a sphere); a fraction's
  /// derivative is x times the size-parameter derivative of its layer.
  std::span<const double> radius_fractions;
};

/// One node's solution with its efficiencies Q_ext, Q_sca, Q_abs, Q_back, g
/// (to the bit what Coefficients::efficiencies gives).
struct NodeSolution {
  ParticleSolution solution;
  std::array<double, 5> efficiencies;
};

/// Copies of node solutions (the nodes of a panel) that outlive the solver's
/// next solve, in one buffer: the first pass keeps the solutions of its
/// panels' nodes so that the second pass, which visits the same nodes, need
/// not solve them again. Movable, not copyable (its views point into its own
/// storage).
class StoredSolutions {
 public:
  explicit StoredSolutions(std::span<const NodeSolution> nodes);
  StoredSolutions(StoredSolutions&&) noexcept = default;
  StoredSolutions& operator=(StoredSolutions&&) noexcept = default;

  std::size_t size() const noexcept { return entries_.size(); }
  /// Node i, with the same values as the one copied.
  NodeSolution node(std::size_t i) const noexcept;

  /// The bytes copies of `nodes` take.
  static std::size_t bytes(std::span<const NodeSolution> nodes) noexcept;

 private:
  struct Entry {
    // a, b, then per derivative view da_dx, da_dm, db_dx, db_dm, n each,
    // from data_[first] on; the views from views_[first_view] on.
    std::size_t first;
    std::size_t n;
    std::size_t first_view;
    std::size_t view_count;
    double x;
    double s_abs;
    std::array<double, 5> efficiencies;
    std::span<const double> radius_fractions;
  };
  std::vector<Complex<double>> data_;
  std::vector<mie::coefficients::CoefficientDerivatives> views_;
  std::vector<Entry> entries_;
};

/// Scratch of one worker: never shared between threads. Every buffer is
/// reused and only grows, so solving many radii allocates nothing in steady
/// state. Default-constructed empty.
class Solver {
 public:
  /// Solves the particle at outer size parameter x (x = (r·2π)/λ). With
  /// `derivatives` the solution carries the derivative views. A layered
  /// particle of several layers with derivatives must have x_L <= 1000 unless
  /// options.allow_unvalidated.
  Result<ParticleSolution> solve(const Optics& optics, const mie::SolveOptions& options, bool derivatives,
                                 double x);

  /// The first node of solve_nodes that failed its checks, and its error.
  struct NodeFailure {
    std::size_t node;
    Error error;
  };

  /// Solves the particle at the outer size parameters xs (the nodes of a
  /// panel, in order), each node checked and solved to the bits `solve` gives
  /// it, consecutive nodes side by side in SIMD lanes. The nodes are checked
  /// in order; at the first that fails, the nodes before it are solved and the
  /// failure is returned. The solutions stay valid until the next solve.
  std::optional<NodeFailure> solve_nodes(const Optics& optics, const mie::SolveOptions& options, bool derivatives,
                                         std::span<const double> xs);

  /// Node i of the last solve_nodes.
  NodeSolution node(std::size_t i) const;

  /// An estimate from above of the bytes a Solver holds once it has solved
  /// the nodes of a panel (at most `nodes` of them) of at most n_terms terms
  /// each: the nodes' coefficients (and derivatives, and a layered particle's
  /// inner layer records), their ratio tables and the work arrays of a group
  /// solve.
  static std::size_t bytes(const Optics& optics, std::size_t n_terms, bool derivatives, std::size_t nodes);

  Solver();
  ~Solver();
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;

 private:
  mie::Mie mie_;
  layered::Layered layered_;
  std::vector<double> xs_;
  std::vector<Complex<double>> ms_;
  std::vector<mie::coefficients::CoefficientDerivatives> views_;
  // The node solves.
  struct Nodes;
  std::unique_ptr<Nodes> nodes_;
};

}  // namespace vantok::ensemble::particle
