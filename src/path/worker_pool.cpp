// Worker pools on oneTBB task arenas; the process pool is sized once from the environment.
#include "path/worker_pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstdlib>
#include <limits>
#include <optional>

namespace qarn::path {

namespace {

std::size_t processors_available() {
  const int n = tbb::info::default_concurrency();  // honours the affinity mask and cgroup limits
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

int as_arena_size(std::size_t concurrency) {
  return static_cast<int>(concurrency < 1 ? 1 : (concurrency > kMaxWorkerThreads ? kMaxWorkerThreads : concurrency));
}

}  // namespace

std::size_t worker_count_from(const char* env_value, std::size_t processors) {
  if (env_value == nullptr) return processors;
  const char* p = env_value;
  if (*p == '+') ++p;
  if (*p == '\0') return processors;
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return processors;
    const auto digit = static_cast<std::size_t>(*p - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return processors;  // does not fit
    value = value * 10 + digit;
  }
  if (value == 0) return processors;
  return value > kMaxWorkerThreads ? kMaxWorkerThreads : value;
}

struct WorkerPool::Arena {
  explicit Arena(int size) : arena(size) {
    // Without this, the scheduler would silently cap a pool larger than the processor count.
    if (static_cast<std::size_t>(size) > processors_available()) {
      widened.emplace(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(size));
    }
  }
  std::optional<tbb::global_control> widened;
  tbb::task_arena arena;
};

WorkerPool::WorkerPool(std::size_t concurrency)
    : concurrency_(static_cast<std::size_t>(as_arena_size(concurrency))),
      arena_(std::make_unique<Arena>(as_arena_size(concurrency))) {}

WorkerPool::~WorkerPool() = default;

void WorkerPool::run(std::size_t n, void* fn, Trampoline call) {
  if (n == 0) return;
  if (concurrency_ == 1) {
    // The single-thread pool runs everything on the caller; no arena threads are needed.
    call(fn, 0, n);
    return;
  }
  arena_->arena.execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) { call(fn, r.begin(), r.end()); });
  });
}

WorkerPool& process_worker_pool() {
  static WorkerPool pool(worker_count_from(std::getenv("RAYON_NUM_THREADS"), processors_available()));
  return pool;
}

}  // namespace qarn::path
