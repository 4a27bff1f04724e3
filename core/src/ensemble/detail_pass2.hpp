#pragma once
// The second pass's refusal of a term count whose band key was not built.

#include <cstddef>
#include <cstdint>

#include "vantok/error.hpp"
#include "vantok/format.hpp"

namespace vantok::ensemble::detail {

/// "no projector band for {} terms": the keys come from the same term counts,
/// so this does not happen in a consistent run.
inline Error no_band(std::size_t terms) {
  return Error::invalid_input("no projector band for " + fmt::plain(static_cast<std::uint64_t>(terms)) + " terms");
}

}  // namespace vantok::ensemble::detail
