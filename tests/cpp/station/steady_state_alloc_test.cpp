// The store's steady state allocates nothing per station: once the ring is large enough,
// appending a station, writing its derivatives and rows, reading rows for a solver and popping
// a station from the front must not touch the heap. Every allocation of the store goes through
// operator new (its columns and run lists are std::vector), so this file replaces the global
// operator new with one that counts the calls made by the counting thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

// The replacements below pair operator new with malloc and operator delete with free, which
// GCC cannot see across the functions.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

thread_local bool tl_counting = false;
thread_local std::size_t tl_allocations = 0;

void* counted_alloc(std::size_t n) {
  if (tl_counting) ++tl_allocations;
  return std::malloc(n == 0 ? 1 : n);
}

void* counted_aligned_alloc(std::size_t n, std::align_val_t al) {
  if (tl_counting) ++tl_allocations;
  const std::size_t a = static_cast<std::size_t>(al);
  return std::aligned_alloc(a, (n + a - 1) / a * a);
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = counted_alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = counted_alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new(std::size_t n, std::align_val_t al) {
  if (void* p = counted_aligned_alloc(n, al)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t al) {
  if (void* p = counted_aligned_alloc(n, al)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace qarn {
namespace {

// Counts the allocations made on this thread while alive.
class AllocationCounter {
 public:
  AllocationCounter() {
    tl_allocations = 0;
    tl_counting = true;
  }
  ~AllocationCounter() { tl_counting = false; }
  std::size_t count() const { return tl_allocations; }
};

constexpr std::size_t kDim = 3;
constexpr Eigen::Index kRows2 = 4;  // second-order rows per station
constexpr Eigen::Index kRows3 = 2;  // third-order rows per station

// One station's worth of inputs, allocated once outside the counted region.
struct StationInputs {
  Eigen::MatrixXd q = Eigen::MatrixXd::Constant(kDim, 1, 0.5);
  Eigen::MatrixXd acc_a = Eigen::MatrixXd::Constant(kRows2, 1, 1.0);
  Eigen::MatrixXd acc_max = Eigen::MatrixXd::Constant(kRows2, 1, 2.0);
  Eigen::MatrixXd jerk = Eigen::MatrixXd::Constant(kRows3, 1, 1.0);
  Eigen::MatrixXd amax = Eigen::MatrixXd::Constant(kDim, 1, 3.0);
};

class SteadyState : public ::testing::Test {
 protected:
  void SetUp() override {
    lp_rows_.reserve(2 * kRows2 + 3);
    for (int i = 0; i < 20; ++i) step();  // the window holds 10 stations with rows from here on
    for (int i = 0; i < 300; ++i) step();  // and the run lists have reached their working size
  }

  // Append a station with derivatives and rows, read like a solver does, drop the oldest one.
  void step() {
    ASSERT_TRUE(store_.append_s(std::span<const double>(&next_s_, 1)).ok());
    const std::uint64_t id = store_.idx_s_end() - 1;
    next_s_ += 0.25;
    ASSERT_TRUE(store_.set_q(in_.q, in_.q, in_.q, MatrixView(in_.q), id).ok());
    ASSERT_TRUE(store_.add_constraint_1st(in_.amax, id).ok());
    ASSERT_TRUE(store_.add_constraint_2nd(in_.acc_a, in_.acc_a, in_.acc_max, id, false).ok());
    ASSERT_TRUE(store_.add_constraint_3rd(in_.jerk, in_.jerk, in_.jerk, in_.jerk, in_.jerk, id, true).ok());
    lp_rows_.clear();
    store_.interval_rows(lp_rows_, id - 1);
    store_.interval_rows_bidirectional(lp_rows_, id - 1);
    sink_ += store_.second_order_rows_at(id).acc_max[0] + store_.third_order_rows_at(id).jerk_max[0] +
             store_.amax_at(id) + store_.s_at(id) + static_cast<double>(lp_rows_.size());
    if (store_.len() > 10) store_.pop_front(PopMode::Count, 1);
  }

  Constraints store_ = test::store_with_stations(kDim, 16, {0.0});
  StationInputs in_;
  std::vector<Lp2dRow> lp_rows_;
  double next_s_ = 1.0;
  double sink_ = 0.0;
};

TEST_F(SteadyState, AppendWriteReadPopAllocatesNothing) {
  const std::size_t capacity = store_.capacity();
  const AllocationCounter counter;
  for (int i = 0; i < 2000; ++i) step();
  EXPECT_EQ(counter.count(), 0u);
  EXPECT_EQ(store_.capacity(), capacity);
  EXPECT_EQ(lp_rows_.size(), 4u * kRows2);
}

TEST_F(SteadyState, TheCounterSeesTheStoresOwnAllocations) {
  // Controls: the same measurement registers growth of the ring and of the row matrices, so
  // a zero above cannot come from allocations the counter misses.
  {
    const AllocationCounter counter;
    ASSERT_TRUE(store_.append_s(test::ramp(20, next_s_)).ok());
    EXPECT_GT(counter.count(), 0u);
  }
  {
    const Eigen::MatrixXd tall = Eigen::MatrixXd::Constant(kRows2 + 1, 1, 1.0);
    const AllocationCounter counter;
    ASSERT_TRUE(store_.add_constraint_2nd(tall, tall, tall, store_.idx_s_start(), false).ok());
    EXPECT_GT(counter.count(), 0u);
  }
}

}  // namespace
}  // namespace qarn
