#pragma once
// The array routines every binding shares: the process-wide borrow registry
// and read borrows of input arrays, typed strided views read in C order, the
// same-shape check and options of x and m, output-size guards, zero-filled
// output buffers, output arrays that take over those buffers, and the cosine
// check.
//
// Lock discipline: routines that touch Python objects need the interpreter
// lock; views, guards and buffers do not.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/limits.hpp"
#include "vantok/mie/check.hpp"

namespace vantok_py {

using C64 = vantok::complex::Complex<double>;

/// The record behind the capsule "_RUST_NUMPY_BORROW_CHECKING_API", shared by
/// every extension module that follows the protocol. Codes: 0 granted, -1
/// already borrowed, -2 not writeable (exclusive only); others are faults.
struct BorrowApi {
  std::uint64_t version;
  void* flags;
  int (*acquire)(void* flags, PyObject* array);
  int (*acquire_mut)(void* flags, PyObject* array);
  void (*release)(void* flags, PyObject* array);
  void (*release_mut)(void* flags, PyObject* array);
};

namespace registry {

inline constexpr const char* CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API";

/// The registry in force: the record of the capsule on NumPy's multiarray
/// module, created there (with this module's table) when absent. Found once per
/// process with the lock held. Failures raise the internal failure "Internal
/// borrow checking API error" and throw PyErrSet.
const BorrowApi& get();

/// Takes an exclusive borrow of `array`; returns the registry's code, and on 0
/// fills `out`. Codes other than 0, -1 and -2 raise the internal failure
/// "Unexpected return code {} from borrow checking API".
int borrow_exclusive(PyObject* array, ArrayBorrow& out);

/// Takes a shared (read) borrow of `array`; returns the registry's code (0 or
/// -1), and on 0 fills `out`. Other codes raise the internal failure as above.
int borrow_shared(PyObject* array, ArrayBorrow& out);

}  // namespace registry

/// A typed read-only view of an input array: data, shape and byte strides
/// (copied when the view is made, with the lock held), read in place in C
/// order whatever the memory order. Negative and zero strides are allowed.
template <class T>
class ArrayView {
 public:
  /// Walks the elements in row-major order of the shape.
  class Cursor {
   public:
    explicit Cursor(const ArrayView& view) : view_(&view), index_(view.shape_.size(), 0) {}
    /// The current element; then steps to the next one.
    T next() noexcept {
      const T value = view_->at_offset(offset_);
      for (std::size_t d = index_.size(); d-- > 0;) {
        offset_ += view_->strides_[d];
        if (++index_[d] < view_->shape_[d]) break;
        offset_ -= view_->strides_[d] * view_->shape_[d];
        index_[d] = 0;
      }
      return value;
    }

   private:
    const ArrayView* view_;
    std::vector<np::npy_intp> index_;
    np::npy_intp offset_ = 0;
  };

  /// A view of a borrowed array (whose dtype the argument converter checked);
  /// valid while the borrow is held.
  explicit ArrayView(const ArrayBorrow& borrowed) {
    const np::ArrayFields* f = np::fields(borrowed.array());
    data_ = f->data;
    shape_.assign(f->dimensions, f->dimensions + f->nd);
    strides_.assign(f->strides, f->strides + f->nd);
    len_ = 1;
    for (np::npy_intp extent : shape_) len_ *= static_cast<std::size_t>(extent);
  }

  /// Number of elements: the product of the extents (1 for no dimensions).
  std::size_t len() const noexcept { return len_; }
  std::size_t ndim() const noexcept { return shape_.size(); }
  std::span<const np::npy_intp> shape() const noexcept { return shape_; }
  std::span<const np::npy_intp> strides() const noexcept { return strides_; }
  /// The shape as a list of extents (for messages and outputs).
  std::vector<std::size_t> extents() const { return {shape_.begin(), shape_.end()}; }
  Cursor cursor() const { return Cursor(*this); }
  /// The element `offset` bytes from the first one (an offset the strides reach).
  T at_offset(np::npy_intp offset) const noexcept {
    T value;
    std::memcpy(&value, data_ + offset, sizeof(T));
    return value;
  }
  /// The elements copied out in C order.
  void copy_to(std::span<T> out) const {
    Cursor c = cursor();
    for (T& value : out) value = c.next();
  }

 private:
  const char* data_ = nullptr;
  std::vector<np::npy_intp> shape_;
  std::vector<np::npy_intp> strides_;
  std::size_t len_ = 0;
};

/// The limit of one kind of output, as it appears in the size-guard message.
struct OutputLimit {
  const char* kind;
  std::uint64_t limit;
  const char* limit_name;
};

inline constexpr OutputLimit REAL_VALUES{"real values", 2 * vantok::MAX_MIE_VALUES, "2 * MAX_MIE_VALUES"};
inline constexpr OutputLimit COMPLEX_VALUES{"complex values", vantok::MAX_MIE_VALUES, "MAX_MIE_VALUES"};

/// Why an output shape cannot be formed over a buffer.
enum class ShapeError {
  IncompatibleShape,   // element count differs from the buffer length
  OutOfBounds,         // the shape reaches past the buffer
  Overflow,            // the element count overflows
  IncompatibleLayout,
  RangeLimited,        // the shape does not fit in type limits
  Unsupported,
};

/// n zero-filled values from a fallible allocation (none for n = 0), or the
/// allocator's reason: "memory allocation failed because the computed capacity
/// exceeded the collection's maximum" when n values exceed the largest
/// allocation, else "memory allocation failed because the memory allocator
/// returned an error". Lock-free.
template <class T>
std::expected<Buffer<T>, const char*> allocate_zeroed(std::size_t n) noexcept;
extern template std::expected<Buffer<double>, const char*> allocate_zeroed<double>(std::size_t) noexcept;
extern template std::expected<Buffer<C64>, const char*> allocate_zeroed<C64>(std::size_t) noexcept;
extern template std::expected<Buffer<std::uint64_t>, const char*> allocate_zeroed<std::uint64_t>(
    std::size_t) noexcept;
extern template std::expected<Buffer<bool>, const char*> allocate_zeroed<bool>(std::size_t) noexcept;
extern template std::expected<Buffer<std::int64_t>, const char*> allocate_zeroed<std::int64_t>(
    std::size_t) noexcept;

/// A one-dimensional float64 output array that takes over the memory of
/// `values` (the vector moves to the heap and is freed with the array). Lock
/// held; throws PyErrSet on failure.
PyRef vector_array(std::vector<double>&& values);

/// Why `shape` cannot be laid over `size` values (C order), or nothing when it can.
std::optional<ShapeError> check_shape(std::span<const std::size_t> shape, std::size_t size) noexcept;

/// The text of a shape error: "incompatible shapes", "out of bounds indexing", ...
const char* shape_error_text(ShapeError error) noexcept;

/// The product of the factors, or nullopt when it overflows.
std::optional<std::size_t> product(std::initializer_list<std::size_t> factors) noexcept;

/// The number of values of an output of `elements` elements, each with
/// `per_element` values (cosines, orders, terms) in each of `rows` rows and
/// of `derivative_rows` rows per derivative set (none without derivatives, one
/// for a sphere, one per layer of a layered sphere):
/// elements per_element (rows + derivative_rows derivative_sets), or nullopt
/// when it overflows.
std::optional<std::size_t> output_count(std::size_t elements, std::size_t per_element, std::size_t rows,
                                        std::size_t derivative_rows, std::size_t derivative_sets) noexcept;

/// Read borrow of an input array under the parameter name `name` ("x", "m",
/// "mu", ...), taken after the last argument conversion: first the array must
/// still hold `element` values (else the refusal of its conversion, raised:
/// throws PyErrSet), then TypeError "{name} must be an aligned array" before the
/// registry is consulted; BufferError "{name} cannot be read: The given array is
/// already borrowed" when a writer holds it. No Python code runs between the
/// dtype check and the end of the borrow, so the views made next read the
/// layout that was checked. Lock held.
Outcome<ArrayBorrow> borrow(PyObject* array, const char* name, args::Element element);

/// ValueError "x and m must have one shape (broadcast them first), got [..]
/// and [..]" unless the two shapes are equal (never broadcast).
Outcome<void> same_shape(std::span<const np::npy_intp> x, std::span<const np::npy_intp> m);

/// The options of a call: n_max, when given, must lie in [1, 1048576]
/// (InvalidInput "the number of terms must be in [1, 1048576], got {}").
vantok::Result<vantok::mie::SolveOptions> solve_options(std::optional<std::uint64_t> n_max,
                                                        bool allow_unvalidated);

/// The output-size guard: `count` passes when present and at most `limit`;
/// otherwise InvalidInput "{what} would hold {count | more than usize::MAX}
/// {kind}{ (counting derivatives)}, more than {limit_name} = {limit}".
vantok::Result<std::size_t> bounded(std::string_view what, std::optional<std::size_t> count,
                                    std::string_view kind, bool counting_derivatives,
                                    std::uint64_t limit, std::string_view limit_name);
inline vantok::Result<std::size_t> bounded(std::string_view what, std::optional<std::size_t> count,
                                           const OutputLimit& limit, bool counting_derivatives) {
  return bounded(what, count, limit.kind, counting_derivatives, limit.limit, limit.limit_name);
}

/// n zero-filled values from a fallible allocation (none for n = 0); MemoryError
/// "cannot allocate {n} values for {what}: {reason}" on failure. Lock-free.
template <class T>
Outcome<Buffer<T>> zeros(std::size_t n, std::string_view what);
extern template Outcome<Buffer<double>> zeros<double>(std::size_t, std::string_view);
extern template Outcome<Buffer<C64>> zeros<C64>(std::size_t, std::string_view);
extern template Outcome<Buffer<std::uint64_t>> zeros<std::uint64_t>(std::size_t, std::string_view);
extern template Outcome<Buffer<bool>> zeros<bool>(std::size_t, std::string_view);
extern template Outcome<Buffer<std::int64_t>> zeros<std::int64_t>(std::size_t, std::string_view);

/// The u64 buffer of per-element term counts ("the numbers of terms").
Outcome<Buffer<std::uint64_t>> term_counts(std::size_t n);

/// RuntimeError "output shape: {text of the shape error}".
Failure shape_error(ShapeError error);

/// An output array of the given shape (C order, writeable) over the buffer,
/// which it takes over (NumPy frees it with the array). Shape errors raise
/// RuntimeError "output shape: {}". Lock held; throws PyErrSet on failure.
template <class T>
PyRef array(std::span<const std::size_t> shape, Buffer<T>&& buffer);
template <class T>
PyRef array(std::initializer_list<std::size_t> shape, Buffer<T>&& buffer) {
  return array<T>(std::span<const std::size_t>(shape.begin(), shape.size()), std::move(buffer));
}
extern template PyRef array<double>(std::span<const std::size_t>, Buffer<double>&&);
extern template PyRef array<C64>(std::span<const std::size_t>, Buffer<C64>&&);
extern template PyRef array<std::uint64_t>(std::span<const std::size_t>, Buffer<std::uint64_t>&&);
extern template PyRef array<bool>(std::span<const std::size_t>, Buffer<bool>&&);
extern template PyRef array<std::int64_t>(std::span<const std::size_t>, Buffer<std::int64_t>&&);

/// The first cosine of mu in C order that is not in [-1, 1] (NaN included),
/// refused with InvalidInput "element {j} of mu: a cosine of the scattering
/// angle must be in [-1, 1], got {v}". Read in place, so that a call can check
/// its cosines before its size guard and copy them only once the guard has
/// passed; an axis of stride 0 repeats its first entry and is read once, so
/// the work is bounded by the values mu holds, not by its shape.
vantok::Result<void> check_cosines(const ArrayView<double>& mu);

/// The cosines of mu in C order, checked by `check_cosines`, as a fallible
/// copy (MemoryError "... for the cosines").
Outcome<Buffer<double>> cosines(const ArrayView<double>& mu);

/// InvalidInput "element {i}: x or m changed during the call": element i needs
/// more terms in the second pass than the first pass found (a writer that
/// bypassed the borrows changed it in between).
vantok::Error changed_during_call(std::size_t i);

}  // namespace vantok_py
