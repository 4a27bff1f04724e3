#pragma once
// The packed vectors of quantities the wavelength engine integrates at each
// size node, one layout per pass, each in its fixed pass order (the passes
// order C_back and C_abs differently; the outputs' order is result.hpp's
// `output::`). Every index into these vectors and into the sums formed from
// them goes through the accessors below.

#include <cstddef>
#include <optional>
#include <span>

namespace vantok::ensemble::engine {

/// The first pass's per-node vector: the values 1 (the weight of the number
/// density), C_ext, C_sca, C_sca·g, C_back, C_abs; with a refinement order L
/// the Greek terms G alpha1 .. G beta2 (G = πr², six series of L + 1 orders,
/// one after the other); then, per requested particle parameter, the
/// derivatives of C_ext, C_sca, C_sca·g, C_back and C_abs. A part's sums hold
/// blocks of such vectors: the values, then the derivatives with respect to
/// each requested distribution parameter.
class FirstPassLayout {
 public:
  /// The value entries.
  enum Value : std::size_t { NUMBER, EXTINCTION, SCATTERING, ASYMMETRY, BACKSCATTER, ABSORPTION };

  FirstPassLayout(std::optional<std::size_t> refine_order, std::size_t parameters) noexcept
      : refine_order_(refine_order), parameters_(parameters) {}

  /// The Greek order whose terms are carried, if any.
  std::optional<std::size_t> refine_order() const noexcept { return refine_order_; }
  /// The number of requested particle parameters.
  std::size_t parameters() const noexcept { return parameters_; }
  /// The entries before the particle-parameter derivatives: the values and
  /// the Greek terms.
  std::size_t values() const noexcept { return VALUES + GREEK_SERIES * greek_orders(); }
  /// Q, the length of the vector.
  std::size_t size() const noexcept { return values() + PER_PARAMETER * parameters_; }

  /// The Greek term of series s (alpha1, alpha2, alpha3, alpha4, beta1, beta2)
  /// at order l.
  std::size_t greek(std::size_t series, std::size_t order) const noexcept {
    return VALUES + series * greek_orders() + order;
  }
  /// The derivative of value v (EXTINCTION .. ABSORPTION) with respect to
  /// requested particle parameter p.
  std::size_t derivative(std::size_t p, Value v) const noexcept {
    return values() + PER_PARAMETER * p + (v - EXTINCTION);
  }
  /// Whether entry k is a particle-parameter derivative.
  bool is_derivative(std::size_t k) const noexcept { return k >= values(); }
  /// The entry whose integral stands for entry k's in a tolerance: the C_ext
  /// entry of the same kind for C_abs and for each derivative of C_abs (an
  /// absorption integral may vanish), else k itself.
  std::size_t tolerance_entry(std::size_t k) const noexcept {
    if (k == ABSORPTION) return EXTINCTION;
    if (is_derivative(k) && (k - values()) % PER_PARAMETER == ABSORPTION - EXTINCTION) {
      return k - (ABSORPTION - EXTINCTION);
    }
    return k;
  }
  /// Entry k of block b of a part's sums.
  std::size_t in_block(std::size_t block, std::size_t k) const noexcept { return block * size() + k; }

 private:
  static constexpr std::size_t VALUES = 6;
  static constexpr std::size_t GREEK_SERIES = 6;
  static constexpr std::size_t PER_PARAMETER = 5;

  std::size_t greek_orders() const noexcept { return refine_order_ ? *refine_order_ + 1 : 0; }

  std::optional<std::size_t> refine_order_;
  std::size_t parameters_;
};

/// The scalar entries of the second pass's per-node vector: 1, C_ext, C_sca,
/// C_sca·g, C_abs, C_back, r², r³. The phase matrix at the requested cosines
/// follows them (requested_phase), then each Greek band's block (Band::phase).
namespace quantity2 {
enum Scalar : std::size_t { NUMBER, EXTINCTION, SCATTERING, ASYMMETRY, ABSORPTION, BACKSCATTER, R2, R3, SCALARS };
}  // namespace quantity2

/// The phase-matrix elements of a block: F11, F12, F33, F34.
inline constexpr std::size_t PHASE_ELEMENTS = 4;

/// A block of the phase matrix at n cosines from entry `offset` on, element
/// after element: element t at cosine j is entry offset + t n + j.
struct PhaseBlock {
  std::size_t offset = 0;
  std::size_t n = 0;

  /// Element t (0 .. 3: F11, F12, F33, F34) at cosine j.
  std::size_t at(std::size_t element, std::size_t j) const noexcept { return offset + element * n + j; }
  /// The block's k-th entry, in its order.
  std::size_t entry(std::size_t k) const noexcept { return offset + k; }
  /// The entries of the block and the first after it.
  std::size_t size() const noexcept { return PHASE_ELEMENTS * n; }
  std::size_t end() const noexcept { return offset + size(); }
  /// The block's entries of a vector, and the run of element t among them.
  template <class T>
  std::span<T> of(std::span<T> vector) const {
    return vector.subspan(offset, size());
  }
  template <class T>
  std::span<T> element(std::span<T> vector, std::size_t t) const {
    return vector.subspan(at(t, 0), n);
  }
};

/// The block of the phase matrix at the n_mu requested cosines.
inline PhaseBlock requested_phase(std::size_t n_mu) noexcept { return {quantity2::SCALARS, n_mu}; }

/// The length of the base range of the second pass's vector: the scalar
/// entries and the phase matrix at the n_mu requested cosines.
inline std::size_t base_quantities(std::size_t n_mu) { return requested_phase(n_mu).end(); }

}  // namespace vantok::ensemble::engine
