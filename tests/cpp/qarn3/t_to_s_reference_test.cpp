// t -> s of both orders against make_reference.py's s(t) at 120 digits, on intervals of every
// branch with a down to 1e-18 (inside) and 1e-298 (at a node) of its node values and magnitudes
// near 1e+-300: within a few units in the last place of the interval's length (the promise is
// 1e-12 of it), inside the interval, never decreasing.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "qarn/qarn2/interpolation.hpp"
#include "qarn/qarn3/interpolation.hpp"
#include "qarn3/conversion_reference.hpp"

namespace qarn::qarn3 {
namespace {

using testing::read_reference_table;
using testing::to_double;
using V = std::vector<double>;

// The samples at the triples (t, s, s') of a row from field `first` on, on the interval [0, h]:
// s and s' are the motion through either node time (the node time t1 is rounded, so no motion
// passes through both).
void check_row(const std::vector<std::string>& row, std::size_t first, double h,
               const std::function<Result<V>(const V&)>& sample) {
  V t, s, s_other;
  for (std::size_t f = first; f + 2 < row.size(); f += 3) {
    t.push_back(to_double(row[f]));
    s.push_back(to_double(row[f + 1]));
    s_other.push_back(to_double(row[f + 2]));
  }
  const Result<V> got = sample(t);
  ASSERT_TRUE(got.ok()) << got.error().display();
  const double unit = std::nextafter(h, INFINITY) - h;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const double err = std::fmin(std::fabs((*got)[i] - s[i]), std::fabs((*got)[i] - s_other[i]));
    EXPECT_LE(err, 8 * unit) << row[0] << " .. t = " << t[i];
    EXPECT_TRUE((*got)[i] >= 0 && (*got)[i] <= h && (i == 0 || (*got)[i] >= (*got)[i - 1])) << t[i];
  }
}

TEST(TToSReference, ThirdOrderIntervalsOfEveryBranch) {
  const auto rows = read_reference_table("t_to_s_topp3.txt");
  ASSERT_EQ(rows.size(), 1500u);
  for (const auto& row : rows) {
    const double a0 = to_double(row[0]), b0 = to_double(row[1]), a1 = to_double(row[2]), b1 = to_double(row[3]);
    const double h = to_double(row[4]), t1 = to_double(row[6]);
    // The profile's last interval, or the first of three (the third station is never reached).
    const bool last = to_double(row[5]) != 0;
    const V s = last ? V{0, h} : V{0, h, 2 * h};
    const V t_s = last ? V{0, t1} : V{0, t1, 2 * t1};
    const Topp3Profile p =
        last ? Topp3Profile{{a0, a1}, {b0, b1}, {0, 0}} : Topp3Profile{{a0, a1, a1}, {b0, b1, b1}, {0, 0}};
    check_row(row, 7, h, [&](const V& t) { return t_to_s_topp3(s, p, t_s, SampleTimes{t}); });
  }
}

TEST(TToSReference, SecondOrderIntervals) {
  const auto rows = read_reference_table("t_to_s_topp2.txt");
  ASSERT_EQ(rows.size(), 400u);
  for (const auto& row : rows) {
    const double h = to_double(row[2]);
    const V s{0, h}, a{to_double(row[0]), to_double(row[1])}, t_s{0, to_double(row[3])};
    check_row(row, 4, h, [&](const V& t) { return qarn2::t_to_s_topp2(s, a, t_s, SampleTimes{t}); });
  }
}

}  // namespace
}  // namespace qarn::qarn3
