// Runs the binding layer's tests inside an embedded interpreter. The tests run holding the
// interpreter lock, marked as held the way every entry from Python marks it.
#include <gtest/gtest.h>

#include "ffi/python/gil.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  int result = 0;
  {
    qarn::py::gil::Hold hold;
    result = RUN_ALL_TESTS();
  }
  if (Py_FinalizeEx() < 0) result = 1;
  return result;
}
