// Python path evaluators from C++: buffers of the wrong length are refused before Python is
// called, and each evaluation captures only its own evaluator exceptions (nested evaluations and
// other threads keep theirs).
#include <gtest/gtest.h>

#include <barrier>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ffi/python/path_evaluator.hpp"
#include "python_test_support.hpp"

namespace qarn::py {
namespace {

// An evaluator object whose methods count their calls in `calls`.
Ref counting_evaluator() {
  Ref globals = new_ref(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  const char* source =
      "class Counting:\n"
      "    dim = 2\n"
      "    calls = 0\n"
      "    def evaluate_q(self, s):\n"
      "        Counting.calls += 1\n"
      "    def evaluate_up_to_2nd(self, s):\n"
      "        Counting.calls += 1\n"
      "    def evaluate_up_to_3rd(self, s):\n"
      "        Counting.calls += 1\n"
      "evaluator = Counting()\n";
  new_ref(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
  return Ref::borrow(PyDict_GetItemString(globals.get(), "evaluator"));
}

long calls_of(const Ref& evaluator) {
  const Ref calls = new_ref(PyObject_GetAttrString(evaluator.get(), "calls"));
  return PyLong_AsLong(calls.get());
}

TEST(PythonPathEvaluator, BuffersOfTheWrongLengthAreRefusedWithoutACall) {
  const Ref object = counting_evaluator();
  const auto third = python_evaluator_3rd(
      std::make_shared<const PyEvaluatorState>(PyEvaluatorState{object, 2, MatrixLayout::SampleMajor, true, true}));
  const auto second = python_evaluator_2nd(
      std::make_shared<const PyEvaluatorState>(PyEvaluatorState{object, 2, MatrixLayout::DimMajor, true, true}));
  const std::vector<double> s{0.0, 0.5, 1.0};
  std::vector<double> good(6), short_(5), long_(7);
  const auto mismatch = [](const Status& status) {
    return !status.ok() && status.error().path() != nullptr &&
           status.error().path()->is<PathError::DimensionMismatch>();
  };
  EXPECT_TRUE(mismatch(third->evaluate_q(s, short_)));
  EXPECT_TRUE(mismatch(third->evaluate_up_to_2nd(s, good, good, long_)));
  EXPECT_TRUE(mismatch(third->evaluate_up_to_3rd(s, good, short_, good, good)));
  EXPECT_TRUE(mismatch(third->evaluate_up_to_3rd(s, long_, long_, long_, long_)));
  EXPECT_TRUE(mismatch(second->evaluate_q(s, long_)));
  EXPECT_TRUE(mismatch(second->evaluate_up_to_2nd(s, good, good, short_)));
  EXPECT_TRUE(mismatch(third->evaluate_q({}, short_)));  // no queries need empty buffers
  EXPECT_EQ(calls_of(object), 0);
  EXPECT_EQ(third->dim(), 2u);
}

TEST(EvaluatorErrorScopeTest, NestedScopesCaptureTheirOwnExceptions) {
  EvaluatorErrorScope outer;
  {
    EvaluatorErrorScope inner;
    EvaluatorErrorScope::capture(Error::value("inner"));
    EXPECT_FALSE(outer.slot().take());
    const std::optional<Error> captured = inner.slot().take();
    ASSERT_TRUE(captured);
    EXPECT_EQ(captured->message(), "inner");
  }
  EvaluatorErrorScope::capture(Error::value("first"));
  EvaluatorErrorScope::capture(Error::value("second"));  // the last one wins
  const std::optional<Error> captured = outer.slot().take();
  ASSERT_TRUE(captured);
  EXPECT_EQ(captured->message(), "second");
}

TEST(EvaluatorErrorScopeTest, WithoutAScopeTheExceptionIsDropped) {
  Ref value = new_ref(PyUnicode_FromString("payload"));
  PyErr_SetObject(PyExc_KeyError, value.get());
  const Py_ssize_t before = Py_REFCNT(value.get());
  EvaluatorErrorScope::capture(Error::fetch());
  EXPECT_LT(Py_REFCNT(value.get()), before);  // released, not parked anywhere
}

TEST(EvaluatorErrorScopeTest, ThreadsKeepTheirOwnExceptions) {
  // Both scopes are alive at once; each thread captures after the other has opened its scope.
  std::barrier both_open(2), both_captured(2);
  std::vector<std::string> seen(2);
  const auto run = [&](int id) {
    EvaluatorErrorScope scope;
    both_open.arrive_and_wait();
    EvaluatorErrorScope::capture(Error::value("thread " + std::to_string(id)));
    both_captured.arrive_and_wait();
    if (std::optional<Error> captured = scope.slot().take()) seen[id] = captured->message();
  };
  // Lazy errors hold no Python object, so the threads need no interpreter lock.
  gil::without([&] {
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
  });
  EXPECT_EQ(seen[0], "thread 0");
  EXPECT_EQ(seen[1], "thread 1");
}

}  // namespace
}  // namespace qarn::py
