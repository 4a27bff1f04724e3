#pragma once
// Dense real matrices of the ensemble engine, stored column-major, and their
// products. The product of the second pass's phase tables and of the Greek
// projection runs on a blocked, vectorised kernel; it is single-threaded (it is
// called from pool workers) and its result depends only on the operands' values
// and shapes: storage is 64-byte aligned, so the kernel's alignment-dependent
// paths are the same for every copy of an operand.

#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantok::ensemble::matrix {

/// Alignment of every matrix's storage, in bytes.
inline constexpr std::size_t STORAGE_ALIGNMENT = 64;

/// std::allocator with STORAGE_ALIGNMENT-aligned blocks.
template <class T>
struct AlignedAllocator {
  using value_type = T;

  AlignedAllocator() noexcept = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{STORAGE_ALIGNMENT}));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    ::operator delete(p, n * sizeof(T), std::align_val_t{STORAGE_ALIGNMENT});
  }

  /// Default-initialises: a resize without a value leaves the new elements
  /// uninitialised (every other construction is the usual one).
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  friend bool operator==(const AlignedAllocator&, const AlignedAllocator<U>&) noexcept {
    return true;
  }
};

/// Matrix storage. Note that resize(n) without a value leaves new elements
/// uninitialised.
using Storage = std::vector<double, AlignedAllocator<double>>;

/// A dense real matrix: element (i, j) is data[i + j * nrows]. Every matrix
/// built here holds exactly nrows * ncols elements; an empty one is 0 x 0.
struct Mat {
  Storage data;
  std::size_t nrows = 0;
  std::size_t ncols = 0;

  Mat() = default;
  /// nrows x ncols zeros.
  Mat(std::size_t rows, std::size_t cols);
  /// rows x cols elements left uninitialised, for a caller that writes every
  /// one of them (pages are then first touched by the writers).
  static Mat uninitialized(std::size_t rows, std::size_t cols);

  double& operator()(std::size_t i, std::size_t j) { return data[i + j * nrows]; }
  double operator()(std::size_t i, std::size_t j) const { return data[i + j * nrows]; }

  /// Column j.
  std::span<double> column(std::size_t j) { return {data.data() + j * nrows, nrows}; }
  std::span<const double> column(std::size_t j) const { return {data.data() + j * nrows, nrows}; }

  /// Makes the matrix rows x cols. A matrix of another shape gets rows * cols
  /// zeros; one of this shape keeps its elements.
  void reshape(std::size_t rows, std::size_t cols);

  friend bool operator==(const Mat&, const Mat&) = default;
};

/// dst = a[:, 0..k] * b[0..k, :], replacing what dst held: dst becomes
/// a.nrows x b.ncols (reallocated only when its shape differs), all zeros when
/// k = 0. k above a.ncols or b.nrows, or dst sharing storage with an operand,
/// is an internal failure.
void matmul(Mat& dst, const Mat& a, const Mat& b, std::size_t k);

/// How matmul sums the k terms a(i, t) b(t, j) of an element of an m x n
/// product (k >= 1); the order fixes the rounding, and code that forms such
/// sums itself (the Greek projection) follows it to give the same bits. Every
/// sum starts from +0 and takes its terms as s + a b.
///  - Coefficientwise (k + m + n < 20) and ColumnVector (n = 1): orders of
///    their own; only matmul forms them.
///  - RowVector (m = 1, n >= 2): two sums, of the terms of even t and of odd t
///    below 2 floor(k/2), added (even + odd); then the last term when k is odd
///    (sum + a b); the element is 0 + that.
///  - Blocked (m, n >= 2): the terms in consecutive blocks of depth_block(m,
///    k, n) (the last may be shorter); each block's sum s is added to the
///    element as s + element, the element starting at +0. Within a block of
///    kb terms an element is summed in increasing t, except in the paired
///    rows 4 floor(m/4) <= i < 2 floor(m/2) and the columns j < 4 floor(n/4):
///    there the first 8 floor(kb/8) terms of the block alternate between two
///    sums (even t from the block's start, odd t), which are added (even +
///    odd) before the remaining terms continue the first.
enum class ProductKind : unsigned char { Coefficientwise, ColumnVector, RowVector, Blocked };

/// The kind of an m x n product over k >= 1 terms.
ProductKind product_kind(std::size_t m, std::size_t k, std::size_t n) noexcept;

/// The terms per block of a Blocked product (k when it is not split).
std::size_t depth_block(std::size_t m, std::size_t k, std::size_t n);

/// Whether row i of an m-row Blocked product is a paired row.
inline bool paired_row(std::size_t i, std::size_t m) noexcept { return i >= 4 * (m / 4) && i < 2 * (m / 2); }

/// The full product a * b (a.ncols must equal b.nrows).
Mat product(const Mat& a, const Mat& b);

/// Element-wise sum, difference and scaling; the operands of a sum or
/// difference must have equal shapes.
Mat operator+(const Mat& a, const Mat& b);
Mat operator-(const Mat& a, const Mat& b);
/// Every element times s (the element is the left operand).
Mat operator*(const Mat& a, double s);

}  // namespace vantok::ensemble::matrix
