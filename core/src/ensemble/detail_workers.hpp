#pragma once
// Parallel loops whose bodies need a large scratch (a particle solver, a
// panel's quantity matrices): a fixed number of workers, each with a scratch
// of its own, take the indices one by one from a shared counter. The scratch
// count is what the work budget granted, so the memory of the loop is bounded
// whatever the pool's size or its nested stealing; the bodies write their own
// slots, so no result depends on which worker took an index.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <vector>

#include "ensemble/detail_work.hpp"
#include "vantok/pool.hpp"

namespace vantok::ensemble::detail {

/// The number of workers for n indices when each needs `per_worker` bytes:
/// one (the caller's least piece) and as many more as the lease `more` holds,
/// at most one per index and per thread of the pool.
inline std::size_t worker_count(std::size_t n, std::size_t per_worker, const memory::Lease& more) {
  const std::size_t granted = 1 + (per_worker == 0 ? n : more.bytes() / per_worker);
  return std::max<std::size_t>(1, std::min({n, pool::thread_count(), granted}));
}

/// The lease of the workers beyond the first of a loop over n indices: as
/// many as are free, never a wait.
template <class What>
memory::Lease extra_workers(const engine::Claim& claim, std::size_t n, std::size_t per_worker, What&& what) {
  const std::size_t wanted = std::min(n, pool::thread_count());
  return claim.take(0, wanted > 1 ? (wanted - 1) * per_worker : 0, what);
}

/// body(i, scratch[w]) for every i in [0, n), on scratch.size() workers. The
/// first exception ends the loop (the other workers stop taking indices) and
/// reaches the caller.
template <class Scratch, class Body>
void by_workers(std::size_t n, std::vector<Scratch>& scratch, Body&& body) {
  if (n == 0) return;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  pool::for_each_index(
      scratch.size(),
      [&](std::size_t w) {
        for (;;) {
          if (failed.load(std::memory_order_relaxed)) return;
          const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
          if (i >= n) return;
          try {
            stop::check();
            body(i, scratch[w]);
          } catch (...) {
            failed.store(true, std::memory_order_relaxed);
            throw;
          }
        }
      },
      pool::Grain::One);
}

}  // namespace vantok::ensemble::detail
