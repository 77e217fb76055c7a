// The store's steady state allocates nothing per station: once the ring is large enough,
// appending a station, writing its derivatives and rows, reading rows for a solver and popping
// a station from the front must not touch the heap. And a writer whose allocation fails leaves
// the store exactly as it was, whichever allocation fails. Every allocation of the store goes
// through operator new (its columns and run lists are std::vector), so this file replaces the
// global operator new with one that counts the calls made by the counting thread and can refuse
// one of them.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <functional>
#include <string>
#include <new>
#include <vector>

#include "qarn/constraints.hpp"
#include "robot/robot_core.hpp"
#include "station_test_support.hpp"

// The replacements below pair operator new with malloc and operator delete with free, which
// GCC cannot see across the functions.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

thread_local bool tl_counting = false;
thread_local std::size_t tl_allocations = 0;
thread_local std::size_t tl_fail_at = 0;  // the counted allocation that fails (0: none)

// Counts an allocation; false when it is the one to refuse.
bool count_allocation() {
  if (!tl_counting) return true;
  return ++tl_allocations != tl_fail_at;
}

void* counted_alloc(std::size_t n) {
  if (!count_allocation()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

void* counted_aligned_alloc(std::size_t n, std::align_val_t al) {
  if (!count_allocation()) return nullptr;
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

// Counts the allocations made on this thread while alive; with fail_at = k the k-th fails.
class AllocationCounter {
 public:
  explicit AllocationCounter(std::size_t fail_at = 0) {
    tl_allocations = 0;
    tl_fail_at = fail_at;
    tl_counting = true;
  }
  ~AllocationCounter() {
    tl_counting = false;
    tl_fail_at = 0;
  }
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


// Everything a reader can see of a store, flattened; values compare by their bits, so NaN fill
// compares equal to itself.
std::vector<std::uint64_t> observable(const Constraints& c) {
  std::vector<std::uint64_t> out{c.capacity(), c.len(), c.idx_s_start(), c.head(), c.lin_range().start,
                                 c.lin_range().end, std::bit_cast<std::uint64_t>(c.a_linearization_floor())};
  const auto put = [&](double x) { out.push_back(std::bit_cast<std::uint64_t>(x)); };
  const auto put_all = [&](std::initializer_list<std::span<const double>> spans) {
    for (const std::span<const double> v : spans) {
      out.push_back(v.size());
      for (const double x : v) put(x);
    }
  };
  for (std::uint64_t id = c.idx_s_start(); id < c.idx_s_end(); ++id) {
    put(c.s_at(id));
    put(c.amax_at(id));
    out.push_back(c.has_derivatives(id, 1, false));
    out.push_back(c.has_derivatives(id, 1, true));
    put_all({c.q_at(id), c.dq_at(id), c.ddq_at(id), c.dddq_at(id)});
    const SecondOrderRows r2 = c.second_order_rows_at(id);
    put_all({r2.acc_a, r2.acc_b, r2.acc_max});
    const ThirdOrderRows r3 = c.third_order_rows_at(id);
    put_all({r3.jerk_a, r3.jerk_b, r3.jerk_c, r3.jerk_d, r3.jerk_max});
    if (c.lin_range().start <= id && id < c.lin_range().end) {
      const LinearizedJerkRows lin = c.linearized_jerk_rows_at(id);
      put_all({lin.jerk_lin_a, lin.jerk_lin_max});
    }
  }
  return out;
}

// A robot whose store wraps the ring's end and holds derivatives, rows of every order and a
// linearization, so that each writer below has runs to split and matrices to grow.
Robot populated_robot() {
  Robot robot(kDim, 16);
  Constraints& c = robot.constraints();
  c = test::wrapped_store(kDim, 16, 12, 10);  // stations 12 .. 21, from slot 12 round to slot 5
  const Eigen::MatrixXd q = Eigen::MatrixXd::Constant(kDim, 9, 0.5);
  EXPECT_TRUE(c.set_q(q, q, q, MatrixView(q), 12).ok());
  EXPECT_TRUE(c.add_constraint_2nd(test::constant(2, 4, 1.0), test::constant(2, 4, 0.5), test::constant(2, 4, 3.0),
                                   14, false).ok());
  EXPECT_TRUE(c.add_constraint_3rd(test::constant(1, 5, 1.0), test::constant(1, 5, 1.0), test::constant(1, 5, 1.0),
                                   test::constant(1, 5, 0.0), test::constant(1, 5, 4.0), 13, false).ok());
  EXPECT_TRUE(c.linearize_jerk_constraints(std::vector<double>(9, 0.25), 12, 1e-10).ok());
  return robot;
}

// Runs `write` on copies of `robot` with each of its allocations refused in turn: every run must
// fail (an error or std::bad_alloc) and leave the store as it was. Returns how many allocations
// the write makes when none fails (checked to be > 0, so that the loop tests something).
std::size_t expect_untouched_by_failed_allocations(const Robot& robot, const std::function<Status(Robot&)>& write) {
  const std::vector<std::uint64_t> before = observable(robot.constraints());
  std::size_t total = 0;
  {
    Robot copy = robot;
    const AllocationCounter counter;
    EXPECT_TRUE(write(copy).ok());
    total = counter.count();
  }
  for (std::size_t k = 1; k <= total; ++k) {
    Robot copy = robot;
    bool failed = false;
    try {
      const AllocationCounter counter(k);
      failed = !write(copy).ok();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    EXPECT_TRUE(failed) << "allocation " << k << " of " << total;
    EXPECT_EQ(observable(copy.constraints()), before) << "allocation " << k << " of " << total;
  }
  return total;
}

TEST(FailedAllocation, EveryWriterLeavesTheStoreAsItWas) {
  const Robot robot = populated_robot();
  const Eigen::MatrixXd tall2 = test::constant(5, 6, 1.0), tall3 = test::constant(4, 6, 1.0);
  const Eigen::MatrixXd upper = test::constant(kDim, 7, 2.0), lower = test::constant(kDim, 7, -2.0);
  const Eigen::MatrixXd q = Eigen::MatrixXd::Constant(kDim, 2, 0.25);
  const std::pair<std::string, std::function<Status(Robot&)>> writers[] = {
      {"append_s growing the ring", [](Robot& r) { return r.constraints().append_s(test::ramp(40, 20.0)); }},
      {"set_q splitting runs", [&](Robot& r) { return r.constraints().set_q(q, q, q, std::nullopt, 15); }},
      {"add_constraint_2nd", [&](Robot& r) { return r.constraints().add_constraint_2nd(tall2, tall2, tall2, 13, true); }},
      {"add_constraint_3rd",
       [&](Robot& r) { return r.constraints().add_constraint_3rd(tall3, tall3, tall3, tall3, tall3, 13, false); }},
      {"add_acceleration_limits", [&](Robot& r) { return r.add_acceleration_limits(upper, lower, 13); }},
      {"add_jerk_limits", [&](Robot& r) { return r.add_jerk_limits(upper, lower, 13); }},
      {"add_torque_limits", [&](Robot& r) { return r.add_torque_limits(upper, lower, 13); }},
  };
  for (const auto& [name, write] : writers) {
    SCOPED_TRACE(name);
    EXPECT_GT(expect_untouched_by_failed_allocations(robot, write), 0u);
  }
}

TEST(FailedAllocation, BothSidesOfALimitOrNeither) {
  // A lower side that cannot be written keeps the upper side out too.
  Robot robot = populated_robot();
  const std::vector<std::uint64_t> before = observable(robot.constraints());
  const Eigen::MatrixXd ones = test::constant(2, 3, 1.0);
  EXPECT_FALSE(robot.constraints().add_constraint_2nd_pair(ones, ones, ones, test::constant(2, 4, 1.0), 14).ok());
  EXPECT_FALSE(robot.constraints()
                   .add_constraint_3rd_pair(ones, ones, ones, ones, ones, test::constant(1, 3, 1.0), 14)
                   .ok());
  EXPECT_EQ(observable(robot.constraints()), before);

  // A pair stores what the two single calls store.
  Robot singles = populated_robot();
  const Eigen::MatrixXd a = test::constant(2, 3, 1.5), b = test::constant(2, 3, -0.5);
  const Eigen::MatrixXd up = test::constant(2, 3, 4.0), down = test::constant(2, 3, -3.0);
  ASSERT_TRUE(robot.constraints().add_constraint_2nd_pair(a, b, up, down, 15).ok());
  ASSERT_TRUE(robot.constraints().add_constraint_3rd_pair(a, b, a, b, up, down, 15).ok());
  ASSERT_TRUE(singles.constraints().add_constraint_2nd(a, b, up, 15, false).ok());
  ASSERT_TRUE(singles.constraints().add_constraint_2nd(a, b, down, 15, true).ok());
  ASSERT_TRUE(singles.constraints().add_constraint_3rd(a, b, a, b, up, 15, false).ok());
  ASSERT_TRUE(singles.constraints().add_constraint_3rd(a, b, a, b, down, 15, true).ok());
  EXPECT_EQ(observable(robot.constraints()), observable(singles.constraints()));
}

}  // namespace
}  // namespace qarn
