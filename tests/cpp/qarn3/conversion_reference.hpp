// Reads the reference tables that make_reference.py writes into data/: whitespace-separated
// fields per line, doubles in hexadecimal form (or nan, inf, -inf).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qarn::qarn3::testing {

inline std::vector<std::vector<std::string>> read_reference_table(const std::string& name) {
  std::ifstream in(std::string(QARN_TEST_DIR) + "/qarn3/data/" + name);
  EXPECT_TRUE(in.good()) << "missing reference table " << name;
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string f; fields >> f;) rows.back().push_back(f);
  }
  return rows;
}

inline double to_double(const std::string& field) { return std::strtod(field.c_str(), nullptr); }

// |got - want| in units of the last place of want (0 when both are the same infinity).
inline double ulps_apart(double got, double want) {
  if (got == want) return 0;
  const double unit = std::nextafter(std::fabs(want), INFINITY) - std::fabs(want);
  return std::fabs(got - want) / unit;
}

}  // namespace qarn::qarn3::testing
