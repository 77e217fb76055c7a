// The process-wide work-stealing worker pool that spline construction and spline sampling share,
// and the rule that sizes it. Pools of another size can be made for tests and benchmarks.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace qarn::path {

// Thread count asked for by the value of RAYON_NUM_THREADS: a positive decimal integer (an optional
// leading '+' is accepted, as the variable's other readers do) gives itself, capped at
// `kMaxWorkerThreads`; an absent, empty, zero or malformed value gives `processors`.
std::size_t worker_count_from(const char* env_value, std::size_t processors);

// More threads than this only cost memory and start-up time, and a thread that cannot be created
// must not take the process down, so larger requests are cut to this.
inline constexpr std::size_t kMaxWorkerThreads = 1024;

class WorkerPool {
 public:
  // A pool whose jobs run on at most `concurrency` threads, the calling thread included (0 counts as 1).
  // Threads are started on first use.
  explicit WorkerPool(std::size_t concurrency);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t concurrency() const { return concurrency_; }

  // Calls body(begin, end) on disjoint ranges that together cover [0, n) and returns when all calls
  // are done. The ranges are split off the whole by the pool's default work-stealing partitioner,
  // down to single items, so how the items fall on threads varies from run to run: a body must
  // produce the same result for an item whichever thread runs it. The body must not throw.
  template <class Body>
  void for_each_range(std::size_t n, Body&& body) {
    using Fn = std::remove_reference_t<Body>;
    run(n, const_cast<void*>(static_cast<const void*>(std::addressof(body))),
        [](void* fn, std::size_t begin, std::size_t end) { (*static_cast<Fn*>(fn))(begin, end); });
  }

 private:
  using Trampoline = void (*)(void*, std::size_t, std::size_t);
  void run(std::size_t n, void* fn, Trampoline call);

  struct Arena;
  std::size_t concurrency_;
  std::unique_ptr<Arena> arena_;
};

// The one pool of the process, created on first use with `worker_count_from(RAYON_NUM_THREADS,
// processors available to the process)` threads and kept until the process ends.
WorkerPool& process_worker_pool();

}  // namespace qarn::path
