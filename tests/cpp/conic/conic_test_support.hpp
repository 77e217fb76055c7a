// Helpers of the conic tests: robots with stores filled from plain arrays, a linear inverse
// dynamics with known torque terms, the slack s = b - A x of an assembled record, cone membership.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qarn/conic/options.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/solve.hpp"
#include "robot/robot_core.hpp"

namespace qarn::conic_test {

// tau_j = m_j qdd_j + g_j: torque terms coeff_a = m ddq, coeff_b = m dq, coeff_g = g, all exact.
class LinearDynamics final : public InverseDynamics {
 public:
  LinearDynamics(std::vector<double> m, std::vector<double> g) : m_(std::move(m)), g_(std::move(g)) {}
  std::optional<std::string> call(std::span<const double>, std::span<const double>, std::span<const double> qdd,
                                  std::span<double> tau) override {
    for (std::size_t j = 0; j < tau.size(); ++j) tau[j] = m_[j] * qdd[j] + g_[j];
    return std::nullopt;
  }

 private:
  std::vector<double> m_, g_;
};

// dim x n matrix from rows given as nested lists.
inline Eigen::MatrixXd matrix(const std::vector<std::vector<double>>& rows) {
  Eigen::MatrixXd out(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < rows[i].size(); ++j) out(i, j) = rows[i][j];
  }
  return out;
}

// A robot whose store holds stations 0 .. s.size()-1 with the given s.
inline std::unique_ptr<Robot> robot_with_stations(std::size_t dim, const std::vector<double>& s,
                                                  std::shared_ptr<InverseDynamics> provider = nullptr) {
  auto robot = std::make_unique<Robot>(dim, s.size() + 4, std::move(provider));
  EXPECT_TRUE(robot->constraints().append_s(s).ok());
  return robot;
}

// Entries of a record as (row, column, value), in append order.
using Entry = std::tuple<std::size_t, std::size_t, double>;
inline std::vector<Entry> entries(const ClarabelTriplets& t, std::size_t from = 0) {
  std::vector<Entry> out;
  for (std::size_t i = from; i < t.vals.size(); ++i) out.emplace_back(t.rows[i], t.cols[i], t.vals[i]);
  return out;
}

inline bool operator==(const clarabel::Cone& a, const clarabel::Cone& b) { return a.kind == b.kind && a.dim == b.dim; }

inline std::string cone_text(const clarabel::Cone& c) {
  const char* names[] = {"ZeroCone", "NonnegativeCone", "SecondOrderCone"};
  return std::string(names[static_cast<int>(c.kind)]) + "(" + std::to_string(c.dim) + ")";
}

inline void expect_cones(const std::vector<clarabel::Cone>& actual, const std::vector<clarabel::Cone>& expected) {
  std::vector<std::string> a, e;
  for (const auto& c : actual) a.push_back(cone_text(c));
  for (const auto& c : expected) e.push_back(cone_text(c));
  EXPECT_EQ(a, e);
}

// s = b - A x over every row of the record.
inline std::vector<double> slack(const ClarabelTriplets& t, std::span<const double> x) {
  std::vector<double> s = t.b;
  for (std::size_t i = 0; i < t.vals.size(); ++i) s[t.rows[i]] -= t.vals[i] * x[t.cols[i]];
  return s;
}

// How far s lies inside a cone: >= 0 inside, < 0 outside (the margin of the binding inequality).
inline double cone_margin(const clarabel::Cone& cone, std::span<const double> s) {
  switch (cone.kind) {
    case clarabel::ConeKind::Zero: {
      double m = 0.0;
      for (double v : s) m = std::min(m, -std::abs(v));
      return m;
    }
    case clarabel::ConeKind::Nonnegative: {
      double m = std::numeric_limits<double>::infinity();
      for (double v : s) m = std::min(m, v);
      return m;
    }
    default: {
      double tail = 0.0;
      for (std::size_t i = 1; i < s.size(); ++i) tail += s[i] * s[i];
      return s[0] - std::sqrt(tail);
    }
  }
}

// The rows [first, first + dim) of each cone from `first_cone` on, starting at row `first_row`.
inline std::vector<std::pair<clarabel::Cone, std::vector<double>>> cone_slices(const ClarabelTriplets& t,
                                                                                std::span<const double> s,
                                                                                std::size_t first_cone,
                                                                                std::size_t first_row) {
  std::vector<std::pair<clarabel::Cone, std::vector<double>>> out;
  std::size_t r = first_row;
  for (std::size_t c = first_cone; c < t.cones.size(); ++c) {
    out.emplace_back(t.cones[c], std::vector<double>(s.begin() + r, s.begin() + r + t.cones[c].dim));
    r += t.cones[c].dim;
  }
  return out;
}

// How every conic solver treats a status the options do not accept (MaxIterations here): the raw
// outcome (x of x_len entries, z and s) without a profile, ClarabelStatus from the plain entry.
// Accepting it is the caller's choice, but a profile that breaks its constraint rows is never
// handed out: the outcome holds either the profile or the audit's finding, and the plain entry
// fails naming that finding.
template <class Solve, class Entry, class Problem>
void expect_status_handling(Solve solve, Entry entry, const Problem& problem, const std::string& name,
                            std::size_t x_len) {
  ClarabelOptions options;
  options.settings.max_iter = 2;
  const auto text = [](const auto& r) { return r.ok() ? std::string("<ok>") : r.error().display(); };
  const auto result = solve(problem, options);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->status, SolverStatus::MaxIterations);
  EXPECT_FALSE(result->profile);
  EXPECT_EQ(result->x.size(), x_len);
  EXPECT_EQ(result->z.size(), result->s.size());
  EXPECT_FALSE(result->z.empty());
  EXPECT_EQ(text(entry(problem, options)), name + " reported a failure in Clarabel solver with status MaxIterations");
  options.allow_max_iterations = true;
  const auto accepted = solve(problem, options);
  ASSERT_TRUE(accepted.ok());
  EXPECT_NE(accepted->profile.has_value(), accepted->audit_failure.has_value());
  EXPECT_EQ(accepted->x.size(), x_len);
  if (accepted->audit_failure) {
    EXPECT_EQ(text(entry(problem, options)), name + " reported an error in Clarabel solver: the solution accepted with "
                                                    "status MaxIterations fails its audit: " +
                                                    *accepted->audit_failure);
  }
}

}  // namespace qarn::conic_test
