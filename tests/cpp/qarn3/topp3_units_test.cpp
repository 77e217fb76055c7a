// TOPP3 LP and SOCP hold in any units. Two exact symmetries of the problem: time scaling (velocity
// limits x k, acceleration x k^2, jerk x k^3: a and b scale by k^2) and space scaling (path and
// limits x c: the profile is unchanged). The reference profile and the linearization floor are
// data of the problem and scale with a.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

struct Scaling {
  double k;  // time
  double c;  // space
};

// The same random path and limits in the units given by the scaling.
std::unique_ptr<Robot> scaled_robot(const test2::SinePath& p, const std::vector<test3::Limits>& limits, Scaling u) {
  std::vector<test3::Limits> scaled;
  for (const test3::Limits& l : limits) scaled.push_back({l.v * u.k * u.c, l.acc * u.k * u.k * u.c, l.jerk * u.k * u.k * u.k * u.c});
  return test3::robot_on_path(p.s, p.q * u.c, p.dq * u.c, p.ddq * u.c, p.dddq * u.c, scaled);
}

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (const double x : v) m = std::max(m, std::abs(x));
  return m;
}

// Largest difference between `scaled` / factor and `unit`, relative to the largest entry of `unit`.
double relative_difference(const std::vector<double>& scaled, double factor, const std::vector<double>& unit) {
  double d = 0.0;
  for (std::size_t i = 0; i < unit.size(); ++i) d = std::max(d, std::abs(scaled[i] / factor - unit[i]));
  return d / max_abs(unit);
}

TEST(Topp3Units, TimeAndSpaceScalingGiveTheScaledProfile) {
  std::mt19937_64 rng(19);
  const test2::SinePath path = test2::sine_path(rng, 3, test3::uneven_grid(61));
  const std::vector<test3::Limits> limits{{1.2, 3.0, 25.0}, {0.9, 5.0, 40.0}, {2.0, 2.5, 15.0}};
  const auto unit_robot = scaled_robot(path, limits, {1.0, 1.0});
  const std::vector<double> reference = test3::topp2_reference(*unit_robot);

  for (const auto solve : {topp3_lp, topp3_socp}) {
    const auto unit_problem = Topp3ProblemBuilder{unit_robot->constraints(),
                                                  {.a_linearization = reference, .num_stationary_max = NumStationary{2, 1}}}
                                  .build_with_linearization();
    ASSERT_TRUE(unit_problem.ok());
    const auto unit = solve(*unit_problem, {});
    ASSERT_TRUE(unit.ok() && unit->profile);
    ASSERT_EQ(unit->status, SolverStatus::Solved);

    for (const Scaling u : {Scaling{1e-3, 1.0}, Scaling{1e3, 1.0}, Scaling{1.0, 1e-3}, Scaling{1.0, 1e3},
                            Scaling{1e-3, 1e3}, Scaling{1e3, 1e-3}}) {
      const double f = u.k * u.k;  // a and b scale by k^2
      const auto robot = scaled_robot(path, limits, u);
      std::vector<double> scaled_reference = reference;
      for (double& a : scaled_reference) a *= f;
      const auto problem =
          Topp3ProblemBuilder{robot->constraints(),
                              {.a_linearization = scaled_reference, .num_stationary_max = NumStationary{2, 1},
                               .a_linearization_floor = 1e-10 * f}}
              .build_with_linearization();
      ASSERT_TRUE(problem.ok()) << problem.error().display();
      const auto result = solve(*problem, {});
      ASSERT_TRUE(result.ok()) << result.error().display() << " k=" << u.k << " c=" << u.c;
      EXPECT_EQ(result->status, SolverStatus::Solved) << "k=" << u.k << " c=" << u.c << (solve == topp3_lp ? " lp" : " socp");
      ASSERT_TRUE(result->profile);
      EXPECT_LE(relative_difference(result->profile->a, f, unit->profile->a), 1e-6) << "k=" << u.k << " c=" << u.c << (solve == topp3_lp ? " lp" : " socp");
      EXPECT_LE(relative_difference(result->profile->b, f, unit->profile->b), 1e-6) << "k=" << u.k << " c=" << u.c << (solve == topp3_lp ? " lp" : " socp");
    }
  }
}

}  // namespace
}  // namespace qarn::qarn3
