#pragma once
// Visitor of a std::variant built from one lambda per alternative.

namespace vantok::ensemble::detail {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

}  // namespace vantok::ensemble::detail
