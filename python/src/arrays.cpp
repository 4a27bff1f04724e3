// Borrow registry, read borrows, size guards, buffers and output arrays.
//
// The registry groups borrows by the base object of an array (the end of its
// chain of NumPy bases) and describes each borrow by its byte range, data
// address, the gcd of its byte strides and its element size. Two borrows of one
// group conflict when their ranges overlap and their element lattices can
// share a byte: with g = gcd(g1, g2) the element starts of both lie on
// a + Z g and b + Z g, so bytes can coincide exactly when r = (b - a) mod g
// satisfies r < size_a or g - r < size_b; g = 0 (no strides) leaves the
// range test alone. This is exact for the lattices and never misses an
// overlap of, say, a complex array and the float view of its imaginary parts.
// A release frees the entry its array object took, as it was taken: the
// array's dtype, shape or strides may have changed in between (another thread
// can reassign them while a call reads the array with the lock released).
#include "arrays.hpp"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>

#include "vantok/format.hpp"
#include "vantok/numeric.hpp"

namespace vantok_py {

namespace {

// ---- the registry table owned by this module --------------------------------

struct BorrowKey {
  std::uintptr_t start;     // lowest byte the view reaches
  std::uintptr_t end;       // one past the highest byte
  std::uintptr_t data;      // address of the first element
  std::uintptr_t gcd;       // gcd of |byte strides|, 0 without strides
  std::uintptr_t itemsize;  // bytes per element

  friend bool operator<(const BorrowKey& l, const BorrowKey& r) {
    return std::tie(l.start, l.end, l.data, l.gcd, l.itemsize) <
           std::tie(r.start, r.end, r.data, r.gcd, r.itemsize);
  }
  friend bool operator==(const BorrowKey&, const BorrowKey&) = default;
  bool empty() const { return start == end; }
};

// One borrow as its array object took it, and the thread that took it (which
// holds it until it releases it on the same thread).
struct Taken {
  PyObject* base;
  BorrowKey key;
  bool exclusive;
  pthread_t thread;
};

struct BorrowTable {
  std::mutex mutex;
  // Per group base: the borrows and their holders (> 0 shared count, -1 exclusive).
  std::unordered_map<PyObject*, std::map<BorrowKey, int>> groups;
  // The borrows each array object holds (its holder keeps it alive meanwhile).
  std::unordered_multimap<PyObject*, Taken> taken;
};

bool conflict(const BorrowKey& a, const BorrowKey& b) {
  if (!(a.start < b.end && b.start < a.end)) return false;
  const std::uintptr_t g = std::gcd(a.gcd, b.gcd);
  if (g == 0) return true;
  const std::uintptr_t r = b.data >= a.data ? (b.data - a.data) % g : (g - (a.data - b.data) % g) % g;
  return r < a.itemsize || g - r < b.itemsize;
}

// The object naming the group of `array`: follow NumPy bases while the object
// is an array that has one.
PyObject* group_base(const np::Api& api, PyObject* array) {
  PyObject* current = array;
  while (api.is_array(current) && np::fields(current)->base != nullptr) current = np::fields(current)->base;
  return current;
}

BorrowKey describe(const np::Api& api, PyObject* array) {
  const np::ArrayFields* f = np::fields(array);
  const auto data = reinterpret_cast<std::uintptr_t>(f->data);
  const std::int64_t itemsize = api.itemsize(array);
  BorrowKey key{data, data, data, 0, static_cast<std::uintptr_t>(itemsize > 0 ? itemsize : 0)};
  bool empty = false;
  for (int d = 0; d < f->nd; ++d) {
    empty = empty || f->dimensions[d] == 0;
    const std::int64_t stride = f->strides[d];
    key.gcd = std::gcd(key.gcd, static_cast<std::uintptr_t>(stride < 0 ? -stride : stride));
  }
  if (empty) return key;  // reaches no byte, conflicts with nothing
  std::int64_t low = 0;
  std::int64_t high = 0;
  bool overflow = false;
  for (int d = 0; d < f->nd; ++d) {
    std::int64_t reach = 0;
    overflow = overflow || !vantok::checked_mul<std::int64_t>(f->dimensions[d] - 1, f->strides[d], reach);
    overflow = overflow || !vantok::checked_add(reach < 0 ? low : high, reach, reach < 0 ? low : high);
  }
  if (overflow) {
    // No real array gets here; refuse nothing silently: claim every byte.
    key.start = 0;
    key.end = std::numeric_limits<std::uintptr_t>::max();
    return key;
  }
  key.start = data + static_cast<std::uintptr_t>(low);  // low <= 0: modular add
  key.end = data + static_cast<std::uintptr_t>(high) + key.itemsize;
  return key;
}

// The four functions of our record. They are called with the lock held (also
// by other extension modules) and never throw: a table that cannot grow
// refuses the borrow.

// Enters a borrow of `array` unless it conflicts: a shared borrow with an
// exclusive one, an exclusive borrow with any; an exclusive borrow also needs
// a writeable array.
int acquire_entry(void* flags, PyObject* array, bool exclusive) noexcept {
  if (exclusive && (np::fields(array)->flags & np::ARRAY_WRITEABLE) == 0) return -2;
  const np::Api* api = np::try_api();
  if (api == nullptr) return -3;
  const BorrowKey key = describe(*api, array);
  if (key.empty()) return 0;
  PyObject* base = group_base(*api, array);
  auto* table = static_cast<BorrowTable*>(flags);
  try {
    std::lock_guard lock(table->mutex);
    auto& group = table->groups[base];
    for (const auto& [other, holders] : group) {
      if ((exclusive || holders < 0) && conflict(key, other)) return -1;
    }
    const auto record = table->taken.emplace(array, Taken{base, key, exclusive, pthread_self()});
    try {
      if (exclusive) {
        group.emplace(key, -1);
      } else {
        ++group[key];
      }
    } catch (...) {
      table->taken.erase(record);
      throw;
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

int acquire_shared(void* flags, PyObject* array) noexcept { return acquire_entry(flags, array, false); }
int acquire_exclusive(void* flags, PyObject* array) noexcept { return acquire_entry(flags, array, true); }

// Takes a borrow that was recorded as `held` out of its group.
void drop(BorrowTable& table, const Taken& held) noexcept {
  const auto group = table.groups.find(held.base);
  if (group == table.groups.end()) return;
  const auto entry = group->second.find(held.key);
  if (entry == group->second.end()) return;
  if (held.exclusive) {
    if (entry->second < 0) group->second.erase(entry);
  } else if (entry->second > 1) {
    --entry->second;
  } else if (entry->second == 1) {
    group->second.erase(entry);
  }
  if (group->second.empty()) table.groups.erase(group);
}

// Frees a borrow that `array` took: the one of its present layout when it
// holds one, else another of that access (taken under an earlier layout).
// Releases are tolerant: an array that holds no borrow releases nothing.
void release_entry(void* flags, PyObject* array, bool exclusive) noexcept {
  const np::Api* api = np::try_api();
  if (api == nullptr) return;
  const BorrowKey key = describe(*api, array);
  PyObject* base = group_base(*api, array);
  auto* table = static_cast<BorrowTable*>(flags);
  std::lock_guard lock(table->mutex);
  const auto [first, last] = table->taken.equal_range(array);
  auto chosen = last;
  for (auto it = first; it != last; ++it) {
    if (it->second.exclusive != exclusive) continue;
    if (chosen == last) chosen = it;
    if (it->second.base == base && it->second.key == key) {
      chosen = it;
      break;
    }
  }
  if (chosen == last) return;
  const Taken held = chosen->second;
  table->taken.erase(chosen);
  drop(*table, held);
}

void release_shared(void* flags, PyObject* array) noexcept { release_entry(flags, array, false); }
void release_exclusive(void* flags, PyObject* array) noexcept { release_entry(flags, array, true); }

// Found or made once per process (lock held); never freed: other modules may
// keep the record's pointers.
const BorrowApi* g_registry = nullptr;

// Our table, when it is the registry in force; a foreign one is left alone.
BorrowTable* g_own_table = nullptr;

// In a fork child only the forking thread exists: the borrows of every other
// thread would stay for good (their calls never end here), so they go. The
// child runs this before anything else; a lock another thread held at the
// fork is made anew.
void forget_other_threads() noexcept {
  BorrowTable* table = g_own_table;
  if (table == nullptr) return;
  new (&table->mutex) std::mutex;
  const pthread_t self = pthread_self();
  for (auto it = table->taken.begin(); it != table->taken.end();) {
    if (pthread_equal(it->second.thread, self) != 0) {
      ++it;
      continue;
    }
    drop(*table, it->second);
    it = table->taken.erase(it);
  }
}

[[noreturn]] void registry_failure() { errors::internal_failure("Internal borrow checking API error"); }

[[noreturn]] void unexpected_code(int code) {
  errors::internal_failure("Unexpected return code " + std::to_string(code) +
                           " from borrow checking API");
}

const char* const BUFFER_CAPSULE = "vantok._vantok.buffer";

void free_buffer(PyObject* capsule) noexcept {
  std::free(PyCapsule_GetPointer(capsule, BUFFER_CAPSULE));
}

template <class T>
constexpr int type_number() {
  if constexpr (std::is_same_v<T, double>) return np::NPY_DOUBLE;
  else if constexpr (std::is_same_v<T, C64>) return np::NPY_CDOUBLE;
  else if constexpr (std::is_same_v<T, bool>) return np::NPY_BOOL;
  else if constexpr (std::is_same_v<T, std::int64_t>) return np::NPY_LONG;
  else {
    static_assert(std::is_same_v<T, std::uint64_t>);
    return np::NPY_ULONG;
  }
}


const char* const VECTOR_CAPSULE = "vantok._vantok.vector";

void free_vector(PyObject* capsule) noexcept {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, VECTOR_CAPSULE));
}

// A C-ordered, writeable array of `dims` over `data`, whose base object is
// `owner` (it frees the memory with the array). A null `data` (no elements)
// lets NumPy allocate its own empty block; `owner` is then dropped.
PyRef wrap(int type_num, std::span<const np::npy_intp> dims, void* data, PyRef owner) {
  const np::Api& api = np::api();
  const int nd = static_cast<int>(dims.size());
  PyObject* descr = check(api.descr_from_type(type_num));
  if (data == nullptr) {
    return PyRef::checked(api.new_from_descr(api.array_type, descr, nd, dims.data(), nullptr, nullptr, 0, nullptr));
  }
  PyRef result = PyRef::steal(
      api.new_from_descr(api.array_type, descr, nd, dims.data(), nullptr, data, np::ARRAY_CARRAY, nullptr));
  if (!result) throw PyErrSet{};
  check_status(api.set_base_object(result.get(), owner.release()));  // steals the owner, also on failure
  return result;
}

}  // namespace

void ArrayBorrow::reset() noexcept {
  if (lock::lost()) {
    // The thread ends without the lock: the borrow and the reference stay.
    array_.release();
  } else if (api_ != nullptr && array_) {
    // A foreign registry may run Python code in its release, which must not
    // start with an exception set (a borrow is often dropped while the call's
    // own failure is pending). Park that exception around the release; a
    // failure of the release itself has no caller to go to and is reported as
    // unraisable.
    SavedError pending;
    if (access_ == Access::Shared) api_->release(api_->flags, array_.get());
    else api_->release_mut(api_->flags, array_.get());
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(array_.get());
    pending.restore();
  }
  api_ = nullptr;
  array_ = PyRef();
}

namespace registry {

const BorrowApi& get() {
  if (g_registry != nullptr) return *g_registry;
  const np::Api& api = np::api();
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(api.multiarray, CAPSULE_NAME));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) registry_failure();
    PyErr_Clear();
    // No module has installed a registry yet: install ours. The record and
    // its table live for the process (no capsule destructor).
    auto* record = new BorrowApi{1, new BorrowTable, &acquire_shared, &acquire_exclusive,
                                 &release_shared, &release_exclusive};
    PyRef made = PyRef::steal(PyCapsule_New(record, CAPSULE_NAME, nullptr));
    if (!made || PyObject_SetAttrString(api.multiarray, CAPSULE_NAME, made.get()) < 0) registry_failure();
    // Read it back: whatever is installed now is the registry in force.
    capsule = PyRef::steal(PyObject_GetAttrString(api.multiarray, CAPSULE_NAME));
    if (!capsule) registry_failure();
  }
  const auto* record = static_cast<const BorrowApi*>(PyCapsule_GetPointer(capsule.get(), CAPSULE_NAME));
  if (record == nullptr || record->version < 1) registry_failure();
  if (g_registry == nullptr) {
    g_registry = record;
    capsule.release();  // keep the capsule (and so the record) alive for good
    if (record->acquire == &acquire_shared) {
      g_own_table = static_cast<BorrowTable*>(record->flags);
      pthread_atfork(nullptr, nullptr, &forget_other_threads);
    }
  }
  return *g_registry;
}

int borrow_exclusive(PyObject* array, ArrayBorrow& out) {
  const BorrowApi& api = get();
  const int code = api.acquire_mut(api.flags, array);
  if (code == 0) {
    out = ArrayBorrow(PyRef::borrow(array), &api, ArrayBorrow::Access::Exclusive);
  } else if (code != -1 && code != -2) {
    unexpected_code(code);
  }
  return code;
}

int borrow_shared(PyObject* array, ArrayBorrow& out) {
  const BorrowApi& api = get();
  PyRef held = PyRef::borrow(array);
  const int code = api.acquire(api.flags, array);
  if (code == 0) {
    out = ArrayBorrow(std::move(held), &api, ArrayBorrow::Access::Shared);
  } else if (code != -1) {
    unexpected_code(code);
  }
  return code;
}

}  // namespace registry

template <class T>
std::expected<Buffer<T>, const char*> allocate_zeroed(std::size_t n) noexcept {
  if (n == 0) return Buffer<T>();
  if (n > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T)) {
    return std::unexpected(
        "memory allocation failed because the computed capacity exceeded the collection's maximum");
  }
  // calloc: zero pages come lazily from the kernel, and failure is a value.
  void* data = std::calloc(n, sizeof(T));
  if (data == nullptr) {
    return std::unexpected("memory allocation failed because the memory allocator returned an error");
  }
  return Buffer<T>(static_cast<T*>(data), n);
}

template std::expected<Buffer<double>, const char*> allocate_zeroed<double>(std::size_t) noexcept;
template std::expected<Buffer<C64>, const char*> allocate_zeroed<C64>(std::size_t) noexcept;
template std::expected<Buffer<std::uint64_t>, const char*> allocate_zeroed<std::uint64_t>(std::size_t) noexcept;
template std::expected<Buffer<bool>, const char*> allocate_zeroed<bool>(std::size_t) noexcept;
template std::expected<Buffer<std::int64_t>, const char*> allocate_zeroed<std::int64_t>(std::size_t) noexcept;

PyRef vector_array(std::vector<double>&& values) {
  const auto n = static_cast<np::npy_intp>(values.size());
  if (values.empty()) return wrap(np::NPY_DOUBLE, {&n, 1}, nullptr, PyRef());
  auto* held = new std::vector<double>(std::move(values));
  PyRef owner = PyRef::steal(PyCapsule_New(held, VECTOR_CAPSULE, &free_vector));
  if (!owner) {
    delete held;
    throw PyErrSet{};
  }
  return wrap(np::NPY_DOUBLE, {&n, 1}, held->data(), std::move(owner));
}

const char* shape_error_text(ShapeError error) noexcept {
  switch (error) {
    case ShapeError::IncompatibleShape: return "incompatible shapes";
    case ShapeError::OutOfBounds: return "out of bounds indexing";
    case ShapeError::Overflow: return "arithmetic overflow";
    case ShapeError::IncompatibleLayout: return "incompatible memory layout";
    case ShapeError::RangeLimited: return "the shape does not fit in type limits";
    case ShapeError::Unsupported: return "unsupported operation";
  }
  return "unsupported operation";
}

std::optional<ShapeError> check_shape(std::span<const std::size_t> shape, std::size_t size) noexcept {
  std::size_t count = 1;
  for (std::size_t extent : shape) {
    if (!vantok::checked_mul(count, extent, count)) return ShapeError::Overflow;
    if (extent > static_cast<std::size_t>(std::numeric_limits<np::npy_intp>::max())) return ShapeError::RangeLimited;
  }
  if (count != size) return ShapeError::IncompatibleShape;
  return std::nullopt;
}

std::optional<std::size_t> product(std::initializer_list<std::size_t> factors) noexcept {
  std::size_t result = 1;
  for (std::size_t factor : factors) {
    if (!vantok::checked_mul(result, factor, result)) return std::nullopt;
  }
  return result;
}

std::optional<std::size_t> output_count(std::size_t elements, std::size_t per_element, std::size_t rows,
                                        std::size_t derivative_rows, std::size_t derivative_sets) noexcept {
  std::size_t per_value = 0;
  if (!vantok::checked_mul(derivative_rows, derivative_sets, per_value) ||
      !vantok::checked_add(rows, per_value, per_value)) {
    return std::nullopt;
  }
  return product({elements, per_element, per_value});
}

Outcome<ArrayBorrow> borrow(PyObject* array, const char* name, args::Element element) {
  args::recheck(array, element, name);
  if ((np::fields(array)->flags & np::ARRAY_ALIGNED) == 0) {
    return std::unexpected(type_error(std::string(name) + " must be an aligned array"));
  }
  ArrayBorrow held;
  if (registry::borrow_shared(array, held) != 0) {
    return std::unexpected(
        buffer_error(std::string(name) + " cannot be read: The given array is already borrowed"));
  }
  return held;
}

Outcome<void> same_shape(std::span<const np::npy_intp> x, std::span<const np::npy_intp> m) {
  if (std::ranges::equal(x, m)) return {};
  const std::vector<std::size_t> x_shape(x.begin(), x.end());
  const std::vector<std::size_t> m_shape(m.begin(), m.end());
  return std::unexpected(value_error("x and m must have one shape (broadcast them first), got " +
                                     vantok::fmt::debug_list(x_shape) + " and " +
                                     vantok::fmt::debug_list(m_shape)));
}

vantok::Result<vantok::mie::SolveOptions> solve_options(std::optional<std::uint64_t> n_max,
                                                        bool allow_unvalidated) {
  if (n_max && (*n_max < 1 || *n_max > vantok::MAX_MIE_ORDER)) {
    return std::unexpected(vantok::Error::invalid_input("the number of terms must be in [1, " +
                                                        vantok::fmt::plain(vantok::MAX_MIE_ORDER) + "], got " +
                                                        vantok::fmt::plain(*n_max)));
  }
  vantok::mie::SolveOptions options;
  if (n_max) options.n_max = static_cast<std::size_t>(*n_max);
  options.allow_unvalidated = allow_unvalidated;
  return options;
}

vantok::Result<std::size_t> bounded(std::string_view what, std::optional<std::size_t> count,
                                    std::string_view kind, bool counting_derivatives,
                                    std::uint64_t limit, std::string_view limit_name) {
  if (count && *count <= limit) return *count;
  std::string message(what);
  message += " would hold ";
  message += count ? vantok::fmt::plain(static_cast<std::uint64_t>(*count)) : "more than usize::MAX";
  message += ' ';
  message += kind;
  if (counting_derivatives) message += " (counting derivatives)";
  message += ", more than ";
  message += limit_name;
  message += " = ";
  message += vantok::fmt::plain(limit);
  return std::unexpected(vantok::Error::invalid_input(std::move(message)));
}

template <class T>
Outcome<Buffer<T>> zeros(std::size_t n, std::string_view what) {
  auto buffer = allocate_zeroed<T>(n);
  if (!buffer) {
    return std::unexpected(memory_error("cannot allocate " + vantok::fmt::plain(static_cast<std::uint64_t>(n)) +
                                        " values for " + std::string(what) + ": " + buffer.error()));
  }
  return std::move(*buffer);
}

template Outcome<Buffer<double>> zeros<double>(std::size_t, std::string_view);
template Outcome<Buffer<C64>> zeros<C64>(std::size_t, std::string_view);
template Outcome<Buffer<std::uint64_t>> zeros<std::uint64_t>(std::size_t, std::string_view);
template Outcome<Buffer<bool>> zeros<bool>(std::size_t, std::string_view);
template Outcome<Buffer<std::int64_t>> zeros<std::int64_t>(std::size_t, std::string_view);

Outcome<Buffer<std::uint64_t>> term_counts(std::size_t n) {
  return zeros<std::uint64_t>(n, "the numbers of terms");
}

Failure shape_error(ShapeError error) {
  return runtime_error(std::string("output shape: ") + shape_error_text(error));
}

vantok::Result<void> check_cosines(const ArrayView<double>& mu) {
  if (mu.len() == 0) return {};
  // The distinct values: an axis of stride 0 taken at index 0 only. The first
  // bad value in C order of the whole array lies there too (a later index
  // along such an axis repeats it), so its index keeps 0 on those axes.
  const std::span<const np::npy_intp> shape = mu.shape();
  const std::span<const np::npy_intp> strides = mu.strides();
  const std::size_t nd = shape.size();
  std::vector<np::npy_intp> index(nd, 0);
  np::npy_intp offset = 0;
  while (true) {
    const double v = mu.at_offset(offset);
    if (!(std::fabs(v) <= 1.0)) {
      std::size_t j = 0;
      for (std::size_t d = 0; d < nd; ++d) {
        j = j * static_cast<std::size_t>(shape[d]) + static_cast<std::size_t>(index[d]);
      }
      return std::unexpected(vantok::Error::invalid_input(
          "element " + std::to_string(j) + " of mu: a cosine of the scattering angle must be in [-1, 1], got " +
          vantok::fmt::plain(v)));
    }
    std::size_t d = nd;
    for (; d-- > 0;) {
      if (strides[d] == 0) continue;
      offset += strides[d];
      if (++index[d] < shape[d]) break;
      offset -= strides[d] * shape[d];
      index[d] = 0;
    }
    if (d == static_cast<std::size_t>(-1)) return {};
  }
}

Outcome<Buffer<double>> cosines(const ArrayView<double>& mu) {
  VANTOK_CHECK(check_cosines(mu));
  auto copy = zeros<double>(mu.len(), "the cosines");
  if (!copy) return copy;
  mu.copy_to(copy->span());
  return copy;
}

vantok::Error changed_during_call(std::size_t i) {
  return at(i, vantok::Error::invalid_input("x or m changed during the call"));
}

template <class T>
PyRef array(std::span<const std::size_t> shape, Buffer<T>&& buffer) {
  if (const auto error = check_shape(shape, buffer.size())) errors::throw_failure(shape_error(*error));
  const std::vector<np::npy_intp> dims(shape.begin(), shape.end());

  if (buffer.empty()) return wrap(type_number<T>(), dims, nullptr, PyRef());
  // The owner frees the buffer when the array goes; made first, so that every
  // failure below frees the buffer through it exactly once.
  PyRef owner = PyRef::checked(PyCapsule_New(buffer.data(), BUFFER_CAPSULE, &free_buffer));
  return wrap(type_number<T>(), dims, buffer.release(), std::move(owner));
}

template PyRef array<double>(std::span<const std::size_t>, Buffer<double>&&);
template PyRef array<C64>(std::span<const std::size_t>, Buffer<C64>&&);
template PyRef array<std::uint64_t>(std::span<const std::size_t>, Buffer<std::uint64_t>&&);
template PyRef array<bool>(std::span<const std::size_t>, Buffer<bool>&&);
template PyRef array<std::int64_t>(std::span<const std::size_t>, Buffer<std::int64_t>&&);

}  // namespace vantok_py
