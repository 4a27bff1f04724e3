#pragma once
// Visitor of a std::variant built from one lambda per alternative.

namespace vantok::ensemble::detail {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

// Clang 16 deduces no aggregate template arguments without a guide.
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace vantok::ensemble::detail
