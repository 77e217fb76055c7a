// TOPP3 LP against the same linear program posed in cvxpy from the row formulas and solved by
// Clarabel (tests/cpp/qarn3/topp3_lp_reference.py). Skipped when cvxpy is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

void write_list(std::ostream& out, const double* v, std::size_t n) {
  out << '[';
  for (std::size_t i = 0; i < n; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v[i]);
    out << (i ? ", " : "") << buf;
  }
  out << ']';
}

void write_rows(std::ostream& out, const Eigen::MatrixXd& m) {
  out << '[';
  for (Eigen::Index d = 0; d < m.rows(); ++d) {
    const Eigen::VectorXd row = m.row(d);
    if (d) out << ", ";
    write_list(out, row.data(), static_cast<std::size_t>(row.size()));
  }
  out << ']';
}

// Runs the reference program on the problem; nothing when cvxpy is missing.
std::optional<std::vector<double>> reference_solution(const std::string& json) {
  const std::filesystem::path input = std::filesystem::temp_directory_path() / "qarn_topp3_lp_reference.json";
  std::ofstream(input) << json;
  const std::string command = std::string(QARN_TEST_PYTHON) + " " + QARN_TEST_DIR + "/qarn3/topp3_lp_reference.py " +
                              input.string();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string text;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) text += buf;
  const int status = pclose(pipe);
  std::filesystem::remove(input);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
  EXPECT_EQ(status, 0) << text;
  std::vector<double> values;
  std::istringstream in(text);
  for (double v; in >> v;) values.push_back(v);
  return values;
}

// Thirty stations of a random two-axis path, rest to rest with two stationary intervals per end,
// linearized around the second-order optimum.
TEST(Topp3LpReference, SameObjectiveAndProfileAsCvxpy) {
  std::mt19937_64 rng(7);
  const test2::SinePath path = test2::sine_path(rng, 2, test3::uneven_grid(30));
  const std::vector<test3::Limits> limits{{1.5, 4.0, 30.0}, {0.8, 3.0, 20.0}};
  const auto robot = test3::robot_on_path(path.s, path.q, path.dq, path.ddq, path.dddq, limits);
  const std::vector<double> reference = test3::topp2_reference(*robot);
  const auto problem =
      Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference, .num_stationary_max = {2, 2}}}
          .build_with_linearization();
  ASSERT_TRUE(problem.ok()) << problem.error().display();
  ASSERT_EQ(problem->num_stationary, (NumStationary{2, 2}));
  const auto result = topp3_lp(*problem, {});
  ASSERT_TRUE(result.ok() && result->profile);
  EXPECT_EQ(result->status, SolverStatus::Solved);

  std::ostringstream json;
  json << "{\"dim\": 2, \"k0\": 2, \"k1\": 2, \"a_start\": 0, \"a_final\": 0, \"b_start\": 0, \"b_final\": 0, "
          "\"floor\": 1e-10, \"v\": [1.5, 0.8], \"acc\": [4, 3], \"jerk\": [30, 20], \"s\": ";
  write_list(json, path.s.data(), path.s.size());
  json << ", \"a_ref\": ";
  write_list(json, reference.data(), reference.size());
  json << ", \"dq\": ";
  write_rows(json, path.dq);
  json << ", \"ddq\": ";
  write_rows(json, path.ddq);
  json << ", \"dddq\": ";
  write_rows(json, path.dddq);
  json << "}";
  const auto expected = reference_solution(json.str());
  if (!expected) GTEST_SKIP() << "cvxpy with Clarabel is not installed";
  ASSERT_EQ(expected->size(), path.s.size() + 1);

  EXPECT_NEAR(result->obj_val, (*expected)[0], 1e-7 * std::abs((*expected)[0]));
  const std::vector<double>& a = result->profile->a;
  double a_max = 0.0;
  for (const double v : a) a_max = std::max(a_max, v);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], (*expected)[i + 1], 1e-6 * a_max) << "station " << i;
}

}  // namespace
}  // namespace qarn::qarn3
