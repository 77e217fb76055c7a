// The per-instance borrow flag: shared borrows coexist, the exclusive one excludes everything,
// conflicts fail at once with the documented messages, and the flag holds under contention.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ffi/python/borrow.hpp"
#include "python_test_support.hpp"

namespace qarn::py {
namespace {

TEST(BorrowFlagTest, SharedBorrowsCoexistAndExcludeTheExclusiveOne) {
  BorrowFlag flag;
  ASSERT_TRUE(flag.try_shared());
  ASSERT_TRUE(flag.try_shared());
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_shared();
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_shared();
  ASSERT_TRUE(flag.try_exclusive());
  EXPECT_FALSE(flag.try_shared());
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_exclusive();
  EXPECT_TRUE(flag.try_shared());
}

TEST(BorrowFlagTest, HoldsUnderContention) {
  BorrowFlag flag;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> violated{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 3 == 0) {
          if (!flag.try_exclusive()) continue;
          if (writers.fetch_add(1) != 0 || readers.load() != 0) violated = true;
          writers.fetch_sub(1);
          flag.release_exclusive();
        } else {
          if (!flag.try_shared()) continue;
          readers.fetch_add(1);
          if (writers.load() != 0) violated = true;
          readers.fetch_sub(1);
          flag.release_shared();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(violated);
  EXPECT_TRUE(flag.try_exclusive());  // everything was released
}

struct Payload {
  int value = 0;
};

TEST(BorrowGuardTest, GuardsReleaseOnEveryExitAndReportConflicts) {
  Instance<Payload> instance{};
  PyObject* object = reinterpret_cast<PyObject*>(&instance);
  {
    Shared<Payload> first(object);
    Shared<Payload> second(object);
    EXPECT_EQ(second->value, 0);
    Error error = testing::expect_error([&] { Exclusive<Payload> writer(object); });
    EXPECT_TRUE(error.is(PyExc_RuntimeError));
    EXPECT_EQ(error.message(), "Already borrowed");
  }
  {
    Exclusive<Payload> writer(object);
    writer->value = 5;
    Error error = testing::expect_error([&] { Shared<Payload> reader(object); });
    EXPECT_EQ(error.message(), "Already mutably borrowed");
  }
  try {
    Exclusive<Payload> writer(object);
    throw Error::value("leaving with an error");
  } catch (const Error&) {
  }
  Shared<Payload> reader(object);
  EXPECT_EQ(reader->value, 5);
  Shared<Payload> moved(std::move(reader));  // the moved-from guard releases nothing
  EXPECT_FALSE(instance.flag.try_exclusive());
}

}  // namespace
}  // namespace qarn::py
