#pragma once
// The single error type of the core library, the result alias built on it, and
// the exception that reports a broken internal invariant.

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace vantok {

namespace error {

/// One failure of a core operation: the caller's input is refused, an iteration
/// did not reach its accuracy, or the input lies outside the validated domain.
class Error {
 public:
  enum class Kind : std::uint8_t { InvalidInput = 0, NotConverged = 1, OutsideValidatedDomain = 2 };

  static Error invalid_input(std::string message) {
    return Error(Kind::InvalidInput, std::move(message), 0.0, 0.0);
  }
  static Error not_converged(double achieved, double requested) {
    return Error(Kind::NotConverged, std::string(), achieved, requested);
  }
  static Error outside_validated_domain(std::string message) {
    return Error(Kind::OutsideValidatedDomain, std::move(message), 0.0, 0.0);
  }

  Kind kind() const noexcept { return kind_; }
  /// The message of InvalidInput and OutsideValidatedDomain (empty for NotConverged).
  const std::string& message() const noexcept { return message_; }
  double achieved() const noexcept { return achieved_; }
  double requested() const noexcept { return requested_; }

  /// The text a user sees: "invalid input: {}", "not converged: achieved {:e},
  /// requested {:e}" or "outside validated domain: {}".
  std::string to_string() const;

  /// Prefixes the message of the two message variants ("element 3: ..."); a
  /// NotConverged error is returned unchanged.
  Error with_context(const std::string& prefix) &&;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(Kind kind, std::string message, double achieved, double requested)
      : kind_(kind), message_(std::move(message)), achieved_(achieved), requested_(requested) {}

  Kind kind_;
  std::string message_;
  double achieved_;
  double requested_;
};

}  // namespace error

using error::Error;

/// The result of every fallible core operation.
template <class T>
using Result = std::expected<T, Error>;

/// Thrown when an internal invariant is broken (a caller fault such as a short
/// buffer). The Python module turns it into its internal-failure exception; it
/// is never used for bad user input, which is always an Error value.
class InternalFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void internal_failure(const char* what, const char* file, int line);

}  // namespace vantok

/// Checks an internal invariant; a failure throws vantok::InternalFailure.
#define VANTOK_ASSERT(cond)                                                \
  do {                                                                     \
    if (!(cond)) [[unlikely]]                                              \
      ::vantok::internal_failure(#cond, __FILE__, __LINE__);               \
  } while (false)

/// Early return of the error of a Result expression; binds its value to `name`.
#define VANTOK_TRY(name, expr)                                             \
  auto name##_result_ = (expr);                                            \
  if (!name##_result_) return std::unexpected(std::move(name##_result_).error()); \
  auto&& name = *std::move(name##_result_)

/// Early return of the error of a Result<void> (or any Result whose value is unused).
#define VANTOK_CHECK(expr)                                                 \
  do {                                                                     \
    auto vantok_check_result_ = (expr);                                    \
    if (!vantok_check_result_) return std::unexpected(std::move(vantok_check_result_).error()); \
  } while (false)
