// The robot-state mutex and the shared robot state: re-entry detection, poisoning by faults only,
// waiting without the interpreter lock, and the solver-body scopes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "ffi/python/robot_state.hpp"
#include "python_test_support.hpp"

namespace qarn::py {
namespace {

using testing::expect_error;

TEST(PoisonMutexTest, ReentryFromTheOwningThreadIsAnError) {
  PoisonMutex mutex;
  mutex.lock();
  Error error = expect_error([&] { mutex.lock(); });
  EXPECT_TRUE(error.is(PyExc_RuntimeError));
  EXPECT_EQ(error.message(),
            "the robot state is already locked by this thread: a callback must not use the robot it serves");
  mutex.unlock();
  EXPECT_FALSE(mutex.poisoned());
  with_lock(mutex, [] {});  // still usable
}

TEST(PoisonMutexTest, ErrorValuesLeaveItHealthyFaultsPoisonItForGood) {
  PoisonMutex mutex;
  expect_error([&] { with_lock(mutex, []() -> int { throw Error::value("an ordinary failure"); }); });
  EXPECT_FALSE(mutex.poisoned());
  EXPECT_EQ(with_lock(mutex, [] { return 7; }), 7);
  // Writers allocate before they write, so an allocation failure is an ordinary result too.
  EXPECT_THROW(with_lock(mutex, []() -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_FALSE(mutex.poisoned());
  EXPECT_EQ(with_lock(mutex, [] { return 8; }), 8);

  EXPECT_THROW(with_lock(mutex, [] { throw std::logic_error("half-written state"); }), std::logic_error);
  EXPECT_TRUE(mutex.poisoned());
  for (int i = 0; i < 2; ++i) {
    Error error = expect_error([&] { with_lock(mutex, [] {}); });
    EXPECT_EQ(error.message(), "internal robot state lock was poisoned");
  }
}

TEST(PoisonMutexTest, BusyMutexIsAwaitedWithoutTheInterpreterLock) {
  // The holder needs the interpreter lock before it can unlock (a callback inside a solve). The
  // main thread holds the interpreter lock and asks for the mutex: it must give the interpreter
  // lock up while it waits, or neither thread ever proceeds.
  PoisonMutex mutex;
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    mutex.lock();
    holding = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
      gil::Attach attach;  // waits until the main thread releases the interpreter lock
      Ref touched = Ref::steal(PyLong_FromLong(1));
    }
    mutex.unlock();
  });
  while (!holding) std::this_thread::yield();
  ASSERT_TRUE(gil::held());
  mutex.lock();
  EXPECT_TRUE(gil::held());  // the interpreter lock is back
  mutex.unlock();
  holder.join();
}

TEST(RobotStateTest, ConstructionChecks) {
  EXPECT_EQ(expect_error([] { robot_new_core(0, std::nullopt); }).message(), "`dim` must be a positive integer");
  EXPECT_EQ(expect_error([] { robot_new_core(0, 0); }).message(), "`dim` must be a positive integer");
  EXPECT_EQ(expect_error([] { robot_new_core(2, 0); }).message(), "`capacity` must be a positive integer or None");
  RobotHandle state = robot_new_core(3, std::nullopt);
  EXPECT_EQ(state->dim, 3u);
  lock_robot_state(*state, [](Robot& robot) {
    EXPECT_EQ(robot.dim(), 3u);
    EXPECT_EQ(robot.constraints().capacity(), 1000u);
    EXPECT_FALSE(robot.has_inverse_dynamics());
  });
  lock_robot_state(*robot_new_core(1, 7), [](Robot& robot) { EXPECT_EQ(robot.constraints().capacity(), 7u); });
}

class FixedTorque final : public InverseDynamics {
 public:
  std::optional<std::string> call(std::span<const double>, std::span<const double>, std::span<const double>,
                                  std::span<double> tau) override {
    for (double& t : tau) t = 1.0;
    return std::nullopt;
  }
};

TEST(RobotStateTest, SolveBodiesReleaseTheInterpreterLockUnlessACallbackNeedsIt) {
  RobotHandle state = robot_new_core(2, std::nullopt);
  EXPECT_FALSE(solve_locked(*state, SolveGil::Release, [](Robot&) { return gil::held(); }));
  EXPECT_FALSE(solve_locked(*state, SolveGil::ReleaseWithoutCallback, [](Robot&) { return gil::held(); }));
  lock_robot_state(*state, [](Robot& robot) { robot.set_inverse_dynamics(std::make_shared<FixedTorque>()); });
  EXPECT_TRUE(solve_locked(*state, SolveGil::ReleaseWithoutCallback, [](Robot&) { return gil::held(); }));
  EXPECT_FALSE(solve_locked(*state, SolveGil::Release, [](Robot&) { return gil::held(); }));
  EXPECT_TRUE(gil::held());
}

TEST(RobotStateTest, FaultInsideAReleasedBodyPoisonsAndRestoresTheInterpreterLock) {
  RobotHandle state = robot_new_core(2, std::nullopt);
  EXPECT_THROW(solve_locked(*state, SolveGil::Release, [](Robot&) { throw std::runtime_error("kernel fault"); }),
               std::runtime_error);
  EXPECT_TRUE(gil::held());
  Error error = expect_error([&] { lock_robot_state(*state, [](Robot&) {}); });
  EXPECT_EQ(error.message(), "internal robot state lock was poisoned");
}

TEST(RobotStateTest, ErrorValueFromAReleasedBodyKeepsTheStateUsable) {
  RobotHandle state = robot_new_core(2, std::nullopt);
  Error error = expect_error([&] {
    solve_locked(*state, SolveGil::Release, [](Robot&) -> int { throw error_to_pyerr(CoreError::infeasible("t", "x")); });
  });
  EXPECT_TRUE(error.is(qarn_error_type()));
  EXPECT_EQ(lock_robot_state(*state, [](Robot& robot) { return robot.dim(); }), 2u);
}

}  // namespace
}  // namespace qarn::py
