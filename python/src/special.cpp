// The two special functions on their own: Gauss-Legendre rules, whose node
// and weight vectors become the arrays' memory, and Wigner d^l_mn(x) for
// l = 0..l_max at every cosine of a contiguous float64 array, one output row
// per cosine filled in place by the core recurrence with the lock released.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"

namespace vantok_py::special {

namespace {

PyObject* gauss_legendre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"n"};
  static constexpr args::Spec spec{"gauss_legendre", nullptr, params, 1};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::uint64_t n = a.u64(0);

  // The core refuses n = 0 and n > MAX_GAUSS_LEGENDRE_POINTS before it allocates.
  auto rule = unlocked([&] { return vantok::special::gauss_legendre::gauss_legendre<double>(n); });
  if (!rule) errors::throw_failure(std::move(rule.error()));
  PyRef nodes = vector_array(std::move(rule->first));
  PyRef weights = vector_array(std::move(rule->second));
  return tuple_of(std::move(nodes), std::move(weights)).release();
}

// The rows d^l_mn(x_i), l = 0..l_max, of every cosine.
struct Output {
  std::size_t len;
  std::size_t row;  // l_max + 1
  Buffer<double> values;
};

PyObject* wigner_d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"m", "n", "l_max", "x"};
  static constexpr args::Spec spec{"wigner_d", nullptr, params, 4};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::int32_t m = a.i32(0);
  const std::int32_t n = a.i32(1);
  const std::uint64_t l_max = a.u64(2);
  PyObject* x = a.f64_array_1d(3);

  // Every failure is raised once the borrow of x is released.
  Outcome<Output> out = [&]() -> Outcome<Output> {
    // The registry first, then the layout: x is read in place as one block.
    ArrayBorrow borrow;
    if (registry::borrow_shared(x, borrow) != 0) {
      return std::unexpected(buffer_error("x cannot be read: The given array is already borrowed"));
    }
    const np::ArrayFields* fields = np::fields(x);
    const auto len = static_cast<std::size_t>(fields->dimensions[0]);
    constexpr int contiguous = np::ARRAY_C_CONTIGUOUS | np::ARRAY_F_CONTIGUOUS;
    if (len > 0 && ((fields->flags & np::ARRAY_ALIGNED) == 0 || (fields->flags & contiguous) == 0)) {
      return std::unexpected(type_error("The given array is not contiguous or is misaligned."));
    }

    // max(len, 1) (l_max + 1) <= MAX_WIGNER_D_VALUES; l_max is bounded first so
    // that l_max + 1 and the product cannot overflow.
    constexpr std::uint64_t limit = vantok::MAX_WIGNER_D_VALUES;
    const std::size_t row = static_cast<std::size_t>(l_max) + 1;
    const std::optional<std::size_t> count = l_max < limit ? product({len, row}) : std::nullopt;
    if (!count || *count > limit) {
      return std::unexpected(vantok::Error::invalid_input(
          "wigner_d needs max(x.size, 1) * (l_max + 1) <= " + vantok::fmt::plain(limit) + ", got x.size = " +
          vantok::fmt::plain(static_cast<std::uint64_t>(len)) + ", l_max = " + vantok::fmt::plain(l_max)));
    }
    auto buffer = allocate_zeroed<double>(*count);
    if (!buffer) {
      return std::unexpected(memory_error("wigner_d cannot allocate " +
                                          vantok::fmt::plain(static_cast<std::uint64_t>(*count)) +
                                          " float64 values for its output: " + buffer.error()));
    }

    // The first failing cosine ends the loop; the core message names its value.
    const auto* cosines = reinterpret_cast<const double*>(fields->data);
    return unlocked([&]() -> Outcome<Output> {
      const std::span<double> values = buffer->span();
      vantok::stop::Pace pace(1 << 16);
      for (std::size_t i = 0; i < len; ++i) {
        VANTOK_CHECK(vantok::special::wigner::wigner_d<double>(m, n, cosines[i], values.subspan(i * row, row)));
        pace.step(row);
      }
      return Output{len, row, std::move(*buffer)};
    });
  }();
  if (!out) errors::throw_failure(std::move(out.error()));
  const std::size_t shape[] = {out->len, out->row};
  if (const auto error = check_shape(shape, out->values.size())) {
    errors::throw_failure(runtime_error(std::string("wigner_d output shape: ") + shape_error_text(*error)));
  }
  return array<double>(shape, std::move(out->values)).release();
}

}  // namespace

PyMethodDef gauss_legendre_def = args::method(
    "gauss_legendre", &args::entry<&gauss_legendre>,
    "gauss_legendre(n)\n--\n\n"
    "Gauss\u2013Legendre nodes and weights on [-1, 1]; see `vantok.special.gauss_legendre`.\n\n"
    "Raises `InvalidInputError` for n == 0 or n > MAX_GAUSS_LEGENDRE_POINTS (checked by the core\n"
    "before it allocates), and `OverflowError` for n < 0 or n > usize::MAX.");

PyMethodDef wigner_d_def = args::method(
    "wigner_d", &args::entry<&wigner_d>,
    "wigner_d(m, n, l_max, x)\n--\n\n"
    "The Wigner d^l_{mn}(x) for l = 0..=l_max at each x = cos \u03b8, shape (len(x), l_max + 1);\n"
    "see `vantok.special.wigner_d`.\n\n"
    "x must be an aligned, contiguous, native-endian 1-D float64 array (otherwise `TypeError`).\n"
    "It is read in place with the interpreter lock released: do not modify or resize it from\n"
    "another thread during the call.\n\n"
    "Raises `InvalidInputError` for an x outside [-1, 1] or NaN and for\n"
    "max(len(x), 1) * (l_max + 1) > MAX_WIGNER_D_VALUES, `BufferError` when another extension\n"
    "holds a writeable borrow of x, `MemoryError` when the output cannot be allocated, and\n"
    "`OverflowError` for m or n outside the 32-bit range or l_max < 0 or l_max > usize::MAX.");

}  // namespace vantok_py::special
