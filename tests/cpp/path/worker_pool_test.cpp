// The worker pool: its size from RAYON_NUM_THREADS and the coverage of every item exactly once.
#include "path/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace qarn::path {
namespace {

TEST(WorkerCount, PositiveIntegersGiveThemselves) {
  EXPECT_EQ(worker_count_from("1", 8), 1u);
  EXPECT_EQ(worker_count_from("3", 8), 3u);
  EXPECT_EQ(worker_count_from("+12", 8), 12u);
  EXPECT_EQ(worker_count_from("0016", 8), 16u);
}

TEST(WorkerCount, AnythingElseGivesTheProcessorCount) {
  for (const char* value : {"", "0", "-2", " 4", "4 ", "four", "2.5", "+", "99999999999999999999999"}) {
    EXPECT_EQ(worker_count_from(value, 6), 6u) << '"' << value << '"';
  }
  EXPECT_EQ(worker_count_from(nullptr, 6), 6u);
}

TEST(WorkerCount, HugeRequestsAreCapped) {
  EXPECT_EQ(worker_count_from("1000000", 8), kMaxWorkerThreads);
}

TEST(WorkerPool, CoversEveryItemExactlyOnce) {
  for (const std::size_t threads : {1u, 3u, 8u}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.concurrency(), threads);
    for (const std::size_t n : {0u, 1u, 7u, 100000u}) {
      std::vector<std::atomic<int>> hits(n);
      pool.for_each_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
      });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "item " << i << " of " << n;
    }
  }
}

TEST(WorkerPool, SingleThreadPoolRunsOnTheCaller) {
  WorkerPool pool(1);
  std::set<std::thread::id> seen;
  pool.for_each_range(1000, [&](std::size_t, std::size_t) { seen.insert(std::this_thread::get_id()); });
  EXPECT_EQ(seen, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(WorkerPool, ZeroConcurrencyCountsAsOne) { EXPECT_EQ(WorkerPool(0).concurrency(), 1u); }

TEST(WorkerPool, ProcessPoolIsCreatedOnce) {
  WorkerPool& a = process_worker_pool();
  EXPECT_EQ(&a, &process_worker_pool());
  EXPECT_GE(a.concurrency(), 1u);
}

TEST(WorkerPool, ProcessPoolFollowsRayonNumThreads) {
  // A fresh process (the threadsafe style re-executes the binary), so the pool is sized by this value.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "3", 1);
        std::exit(process_worker_pool().concurrency() == 3 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qarn::path
