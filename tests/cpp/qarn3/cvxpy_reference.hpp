// The cvxpy reference of the third-order tests: the problem written as JSON, the reference program
// run with the project's interpreter, its numbers read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <Eigen/Core>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "qarn2/sine_path.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::test3 {

inline void write_list(std::ostream& out, const double* v, std::size_t n) {
  out << '[';
  for (std::size_t i = 0; i < n; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v[i]);
    out << (i ? ", " : "") << buf;
  }
  out << ']';
}

inline void write_rows(std::ostream& out, const Eigen::MatrixXd& m) {
  out << '[';
  for (Eigen::Index d = 0; d < m.rows(); ++d) {
    const Eigen::VectorXd row = m.row(d);
    if (d) out << ", ";
    write_list(out, row.data(), static_cast<std::size_t>(row.size()));
  }
  out << ']';
}

// The fields every reference problem has: a rest-to-rest window over the path's stations with
// symmetric limits per axis, linearized around `reference` with the default floor.
inline void write_problem_fields(std::ostream& out, const test2::SinePath& path, const std::vector<Limits>& limits,
                                 const std::vector<double>& reference, std::uint64_t k0, std::uint64_t k1) {
  std::vector<double> v, acc, jerk;
  for (const Limits& l : limits) {
    v.push_back(l.v);
    acc.push_back(l.acc);
    jerk.push_back(l.jerk);
  }
  out << "\"dim\": " << limits.size() << ", \"k0\": " << k0 << ", \"k1\": " << k1
      << ", \"a_start\": 0, \"a_final\": 0, \"b_start\": 0, \"b_final\": 0, \"floor\": 1e-10";
  const auto list = [&](const char* name, const std::vector<double>& values) {
    out << ", \"" << name << "\": ";
    write_list(out, values.data(), values.size());
  };
  const auto rows = [&](const char* name, const Eigen::MatrixXd& m) {
    out << ", \"" << name << "\": ";
    write_rows(out, m);
  };
  list("v", v);
  list("acc", acc);
  list("jerk", jerk);
  list("s", path.s);
  list("a_ref", reference);
  rows("dq", path.dq);
  rows("ddq", path.ddq);
  rows("dddq", path.dddq);
}

// Runs tests/cpp/qarn3/third_order_reference.py on the problem given as JSON and returns the
// numbers it prints; nothing when cvxpy with Clarabel is not installed, the one reason to skip.
// Any other failure to run it (no temporary file, no process) throws, failing the test.
inline std::optional<std::vector<double>> cvxpy_reference(const std::string& json) {
  const auto fail = [](const std::string& what) {
    throw std::runtime_error("cvxpy reference: " + what + ": " + std::strerror(errno));
  };
  // A file of its own: test runs of several checkouts share the temporary directory.
  std::string name = (std::filesystem::temp_directory_path() / "qarn_reference_XXXXXX.json").string();
  const int fd = mkstemps(name.data(), 5);
  if (fd < 0) fail("cannot create " + name);
  close(fd);
  const std::filesystem::path input = name;
  if (!(std::ofstream(input) << json)) fail("cannot write " + name);
  const std::string command = std::string(QARN_TEST_PYTHON) + " " + QARN_TEST_DIR + "/qarn3/third_order_reference.py " +
                              input.string();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) fail("cannot run " + command);
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

}  // namespace qarn::test3
