#pragma once
// Storage left uninitialised for large tables that are set part by part.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "vantok/numeric.hpp"

namespace vantok::tmatrix {

/// An array of n values left uninitialised: every entry is written before it
/// is read (the kernel's chunk tables by the node loops, its sums and the
/// orientation average's coupled tables where they are zeroed, part by part
/// on the pool). They are tens of megabytes, and zero-filling them for every
/// call would cost as much as some of the calls' work. The value types are
/// implicit-lifetime types (aggregates of doubles), which storage from
/// std::malloc holds without construction.
template <class V>
class RawArray {
 public:
  void assign(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_destructible_v<V>);
    if (n == size_) return;
    data_.reset(static_cast<V*>(std::malloc(sat_mul(n, sizeof(V)))));
    if (n != 0 && !data_) throw std::bad_alloc();
    size_ = n;
  }
  V* data() { return data_.get(); }
  const V* data() const { return data_.get(); }
  V& operator[](std::size_t i) { return data_.get()[i]; }
  const V& operator[](std::size_t i) const { return data_.get()[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Free {
    void operator()(V* p) const { std::free(p); }
  };
  std::unique_ptr<V, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace vantok::tmatrix
