// Interpreter-lock bookkeeping: references dropped without the lock are released once it is back;
// error values and the error slot.
#include <gtest/gtest.h>

#include "ffi/python/enum_class.hpp"
#include "python_test_support.hpp"

namespace qarn::py {
namespace {

TEST(GilTest, ReleaseWithoutTheLockIsDeferredUntilItIsBack) {
  Ref list = new_ref(PyList_New(0));
  const Py_ssize_t before = Py_REFCNT(list.get());
  Ref extra = Ref::borrow(list.get());
  ASSERT_EQ(Py_REFCNT(list.get()), before + 1);
  {
    gil::Released released;
    EXPECT_FALSE(gil::held());
    extra.reset();
    EXPECT_EQ(Py_REFCNT(list.get()), before + 1);  // not touched while unlocked
  }
  EXPECT_TRUE(gil::held());
  EXPECT_EQ(Py_REFCNT(list.get()), before);
}

TEST(GilTest, AttachNestsInsideAHeldScope) {
  ASSERT_TRUE(gil::held());
  {
    gil::Attach attach;
    EXPECT_TRUE(gil::held());
  }
  gil::without([] {
    EXPECT_FALSE(gil::held());
    gil::Attach attach;  // takes the lock back for a callback
    EXPECT_TRUE(gil::held());
    Ref value = new_ref(PyLong_FromLong(5));
    EXPECT_EQ(PyLong_AsLong(value.get()), 5);
  });
  EXPECT_TRUE(gil::held());
}

TEST(ErrorTest, LazyErrorsAreBuiltWithoutPythonAndRaisedLater) {
  Error error = gil::without([] { return error_to_pyerr(ConstraintError::NoMatchDimensions{}); });
  EXPECT_TRUE(error.is(constraint_error_type()));
  EXPECT_TRUE(error.is(qarn_error_type()));
  std::move(error).restore();
  ASSERT_TRUE(PyErr_ExceptionMatches(constraint_error_type()));
  Error fetched = Error::fetch();
  EXPECT_EQ(fetched.message(),
            "Some error occurred in the Constraint struct: Input dimensions do not match the expected shape.");
  EXPECT_TRUE(error_to_pyerr(PathError::DimensionMismatch{}).is(path_error_type()));
  EXPECT_FALSE(error_to_pyerr(CoreError::io("x")).is(constraint_error_type()));
}

TEST(ErrorTest, SlotKeepsTheLastExceptionAndIsEmptiedByTaking) {
  PyErrSlot slot;
  EXPECT_FALSE(slot.take());
  PyErr_SetString(PyExc_KeyError, "first");
  slot.store(Error::fetch());
  PyErr_SetString(PyExc_LookupError, "second");
  slot.store(Error::fetch());
  std::optional<Error> taken = slot.take();
  ASSERT_TRUE(taken);
  EXPECT_TRUE(taken->is(PyExc_LookupError));
  EXPECT_FALSE(taken->is(PyExc_KeyError));
  EXPECT_FALSE(slot.take());

  PyErr_SetString(PyExc_KeyError, "parked");
  slot.store(Error::fetch());
  Error resolved = resolve_error(CoreError::infeasible("c", "m"), &slot);
  EXPECT_TRUE(resolved.is(PyExc_KeyError));
  EXPECT_TRUE(resolve_error(CoreError::infeasible("c", "m"), &slot).is(qarn_error_type()));
}

TEST(EnumStringTest, NormalizationTrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(normalize_enum_string(" Dim-Major\n"), "dim_major");
  EXPECT_EQ(normalize_enum_string("\u3000\u00a0\u0085Trace\u2028\u202f"), "trace");
  EXPECT_EQ(normalize_enum_string("\x1c" "debug"), "\x1c" "debug");  // U+001C is not White_Space
  EXPECT_EQ(normalize_enum_string("debug\u200b"), "debug\u200b");      // nor is the zero-width space
  EXPECT_EQ(normalize_enum_string("\u00c9TAT"), "\u00c9tat");          // only ASCII letters are lowered
  EXPECT_EQ(normalize_enum_string("a b"), "a b");
  EXPECT_EQ(normalize_enum_string(" \t "), "");
}

}  // namespace
}  // namespace qarn::py
