#pragma once
// The work arrays and parallel loops of the spheroid solver. Before a stage
// allocates its arrays it checks their bytes, with those the call already
// keeps alive, against the work-memory budget, and holds a lease for them
// while they live, so that concurrent calls share the budget. Work made of
// independent pieces takes as many pieces at a time as its lease covers; the
// pieces never change a result. Every loop first gives the caller's stop
// token its poll: the thread that waits for the pool polls only once a loop
// has run for a whole poll interval, so that a run of short loops would never
// see a request to stop.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string_view>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::work {

/// pool::for_each_index after a stop check on the calling thread.
inline void parallel(std::size_t n, const std::function<void(std::size_t)>& body,
                     pool::Grain grain = pool::Grain::Auto) {
  stop::check();
  pool::for_each_index(n, body, grain);
}

/// Gives the pages of freed work arrays back to the system when they took
/// `bytes` of at least 256 MiB. The allocator keeps freed blocks below its
/// mmap threshold (which it raises up to 32 MiB as large blocks are freed)
/// for reuse, but the next truncation's larger matrices do not fit into them:
/// each solve of a convergence run would add its arrays to the process's
/// memory instead of reusing it. Small solves keep their pages: returning
/// them costs the next solve its page faults.
inline void release_freed(std::size_t bytes) {
#ifdef __GLIBC__
  if (bytes >= (std::size_t{256} << 20)) malloc_trim(0);
#else
  (void)bytes;
#endif
}

/// A lease of the work budget for arrays already allocated that the call keeps
/// while it works on (never refused: the memory is taken).
inline memory::Lease hold(std::size_t bytes) { return memory::lease(bytes, bytes); }

/// body(i) for every i in [0, n), one task each, where index i allocates work
/// arrays of at most `each` bytes (`count` values) beside the `held` bytes the
/// call keeps alive: refused (memory::Refused for `what`) when held + each
/// exceeds the budget, else run in groups of as many indices as a lease of the
/// budget covers (all at once when it covers every index). The indices must
/// write only their own results.
inline void for_each_leased(std::size_t n, std::size_t count, std::size_t each, std::size_t held,
                            std::string_view what, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  each = std::max<std::size_t>(each, 1);
  memory::require_bytes(count, sat_add(held, each), what);
  const memory::Lease lease = memory::lease(each, sat_mul(n, each));
  const std::size_t group = std::clamp<std::size_t>(lease.bytes() / each, 1, n);
  for (std::size_t first = 0; first < n; first += group) {
    parallel(std::min(group, n - first), [&](std::size_t i) { body(first + i); }, pool::Grain::One);
  }
}

}  // namespace vantok::tmatrix::work
