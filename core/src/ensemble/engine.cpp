// The place an engine error names.
#include "ensemble/detail_engine.hpp"

#include <string>
#include <utility>

#include "vantok/format.hpp"

namespace vantok::ensemble::engine {

Error context(Error error, double wavelength, double radius) {
  return std::move(error).with_context("at wavelength " + fmt::exp(wavelength) + ", radius " + fmt::exp(radius));
}

}  // namespace vantok::ensemble::engine
