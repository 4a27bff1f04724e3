#pragma once
// The memory a call may use for its work arrays, checked before anything is
// allocated: under memory overcommit a huge request would otherwise be granted
// and the process killed once the pages are touched.
//
// The work budget is half the memory the process can have (the least of the
// physical memory, the address-space limit and the memory limits of the
// process's control groups).
// Calls running at the same time share it: each holds a Lease for the work
// arrays it has alive, and one that can split its work takes pieces that fit
// what the others leave free (the pieces never change a result). Only a call
// whose smallest piece exceeds the whole budget is refused.

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace vantok::memory {

/// Physical memory in bytes (saturating), or 0 when the system does not say.
std::size_t physical_bytes() noexcept;

/// The bytes all calls' work arrays may take together (at least 1).
std::size_t work_budget() noexcept;

/// The part of the work budget no lease holds now (0 when it is all held).
std::size_t work_free() noexcept;

/// A refused allocation, with the library's message: "cannot allocate {count}
/// values for {what}: {reason}". A std::bad_alloc, so that every boundary that
/// catches an allocation failure catches it; `what()` is the message.
class Refused : public std::bad_alloc {
 public:
  Refused(std::size_t count, std::string_view what, std::string_view reason);
  const char* what() const noexcept override;

 private:
  std::shared_ptr<const std::string> message_;  // shared: copying stays noexcept
};

/// Throws Refused for `count` values of `value_bytes` bytes each (for `what`)
/// when they exceed the work budget.
void require_work(std::size_t count, std::size_t value_bytes, std::string_view what);

/// The same for `count` values of mixed sizes that take `bytes` bytes in all.
void require_bytes(std::size_t count, std::size_t bytes, std::string_view what);

/// A share of the work budget, held while the arrays it stands for live.
class Lease {
 public:
  Lease() noexcept = default;
  ~Lease();
  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&& other) noexcept;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  std::size_t bytes() const noexcept { return bytes_; }

 private:
  friend Lease lease(std::size_t, std::size_t);
  explicit Lease(std::size_t bytes) noexcept : bytes_(bytes) {}
  std::size_t bytes_ = 0;
};

/// Leases as much of `most` bytes as the budget has free, and never less than
/// `least` (a call may exceed what others leave free by its smallest piece);
/// check `least` against the whole budget with require_work first.
Lease lease(std::size_t least, std::size_t most);

}  // namespace vantok::memory
