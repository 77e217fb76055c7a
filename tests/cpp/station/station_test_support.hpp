// Helpers of the station-model tests: stores filled with stations, stores whose window wraps
// the ring's end, and short ways to read an error.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "diag/result.hpp"
#include "qarn/constraints.hpp"

namespace qarn::test {

// The display text of a failed result ("" when it succeeded).
template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string{} : r.error().display();
}

// The ConstraintError of a failed result, or null.
template <class T>
const ConstraintError* constraint_error(const Result<T>& r) {
  return r ? nullptr : r.error().constraint();
}

// s = 0, 1, 2, ... scaled by `step`, starting at `s0`.
inline std::vector<double> ramp(std::size_t n, double s0 = 0.0, double step = 1.0) {
  std::vector<double> s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = s0 + step * static_cast<double>(i);
  return s;
}

inline Constraints store_with_stations(std::size_t dim, std::size_t capacity, const std::vector<double>& s) {
  Constraints c = Constraints::with_capacity(dim, capacity);
  EXPECT_TRUE(c.append_s(s).ok());
  return c;
}

// A store of `capacity` slots holding stations offset .. offset + n - 1 (s = id * 0.5) that start
// at slot offset mod capacity, so that with offset mod capacity + n > capacity the window passes
// the ring's end. Needs n <= capacity - 1 (no growth on the way).
inline Constraints wrapped_store(std::size_t dim, std::size_t capacity, std::size_t offset, std::size_t n) {
  Constraints c = Constraints::with_capacity(dim, capacity);
  EXPECT_TRUE(c.append_s(std::vector<double>{0.0}).ok());
  for (std::size_t i = 1; i <= offset; ++i) {
    EXPECT_TRUE(c.append_s(std::vector<double>{0.5 * static_cast<double>(i)}).ok());
    c.pop_front(PopMode::Count, 1);
  }
  for (std::size_t i = offset + 1; i < offset + n; ++i) {
    EXPECT_TRUE(c.append_s(std::vector<double>{0.5 * static_cast<double>(i)}).ok());
  }
  EXPECT_EQ(c.capacity(), capacity);
  EXPECT_EQ(c.idx_s_start(), offset);
  EXPECT_EQ(c.len(), n);
  return c;
}

inline Eigen::MatrixXd constant(Eigen::Index rows, Eigen::Index cols, double value) {
  return Eigen::MatrixXd::Constant(rows, cols, value);
}

// A one-column matrix (the rows of one station).
inline Eigen::MatrixXd column(std::initializer_list<double> values) {
  Eigen::MatrixXd m(static_cast<Eigen::Index>(values.size()), 1);
  Eigen::Index i = 0;
  for (double v : values) m(i++, 0) = v;
  return m;
}

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace qarn::test
