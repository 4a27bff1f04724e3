// Text form of errors and the internal-failure exception.
#include "vantok/error.hpp"

#include "vantok/format.hpp"

namespace vantok {

namespace error {

std::string Error::to_string() const {
  switch (kind_) {
    case Kind::InvalidInput:
      return std::string("invalid input: ").append(message_);
    case Kind::NotConverged:
      return "not converged: achieved " + fmt::exp(achieved_) + ", requested " +
             fmt::exp(requested_);
    case Kind::OutsideValidatedDomain:
      return std::string("outside validated domain: ").append(message_);
  }
  return {};
}

Error Error::with_context(const std::string& prefix) && {
  if (kind_ != Kind::NotConverged) {
    std::string text;
    text.reserve(prefix.size() + 2 + message_.size());
    text.append(prefix).append(": ").append(message_);
    message_ = std::move(text);
  }
  return std::move(*this);
}

}  // namespace error

void internal_failure(const char* what, const char* file, int line) {
  throw InternalFailure(std::string("internal invariant broken: ") + what + " (" + file + ":" +
                        std::to_string(line) + ")");
}

}  // namespace vantok
