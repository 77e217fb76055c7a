// The decisions of the profile references: a value far below its neighbours is held and filled
// towards them, and a solve is repeated in its own units when inexact or far from its reference.
#include "qarn/conic/references.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace qarn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Values = std::vector<double>;

TEST(ProfileReferences, AValueFarBelowItsNeighboursIsHeldAndFilledTowardsThem) {
  // (values, held, filled with the fallback 5): a NaN counts as 0 when held, and filling replaces
  // it and a negative value; with nothing positive the fallback stands everywhere.
  const Values cases[][3] = {{{1.0, 1e-6, 1.0}, {1.0, 1.0 / 16, 1.0}, {1.0, 1.0 / 16, 1.0}},
                             {{0.0, 0.0, 32.0}, {0.125, 2.0, 32.0}, {0.125, 2.0, 32.0}},
                             {{2.0, 3.0, 1.0}, {2.0, 3.0, 1.0}, {2.0, 3.0, 1.0}},
                             {{kNaN, -4.0, 256.0}, {1.0, 16.0, 256.0}, {1.0, 16.0, 256.0}},
                             {{0.0, kNaN, -1.0}, {0.0, 0.0, 0.0}, {5.0, 5.0, 5.0}}};
  for (const auto& [values, held, filled] : cases) {
    Values h = values, f = values;
    hold_within_neighbours(h);
    fill_from_neighbours(f, 5.0);
    EXPECT_EQ(h, held) << ::testing::PrintToString(values);
    EXPECT_EQ(f, filled) << ::testing::PrintToString(values);
  }
}

// The reference of a second solve, taken from the first solution: held towards the neighbours, and
// none below 1e-3 of the largest, so that a stretch a stalled solve left near zero (1e-253 of its
// peak, measured) keeps a unit under which it stays in the cost; at rest, the earlier largest.
TEST(ProfileReferences, ASecondSolveTakesNoUnitFromANearZeroStretch) {
  const double z = 1e-253, floor = 1e-3, h1 = 1.0 / 16, h2 = 1.0 / 256;
  const Values cases[][2] = {
      {{1.0, z, z, z, z, z, z, z, z, 1.0}, {1.0, h1, h2, floor, floor, floor, floor, h2, h1, 1.0}},
      {{0.0, 0.0, 0.0}, {5.0, 5.0, 5.0}}};
  for (const auto& [a, expected] : cases) {
    const Values s(a.size(), 0.0);  // read for b alone, and a second-order reference has none
    EXPECT_EQ(reference_of_profile(s, a, {}, ProfileReference{{5.0, 2.0}, {}, {}}).a, expected)
        << ::testing::PrintToString(a);
  }
}

TEST(ProfileReferences, ASolveIsRepeatedWhenInexactOrFarFromItsReference) {
  struct Case {
    SolverStatus status;
    Values a;
    bool repeated;
  };
  const Case cases[] = {{SolverStatus::Solved, {0.5, 2.0, 1.0}, false},
                        {SolverStatus::Solved, {40.0, 40.0, 40.0}, true},  // the largest a 40 apart
                        {SolverStatus::Solved, {1.0, 0.02, 1.0}, false},   // a station 50 below, not the profile
                        {SolverStatus::Solved, {1.0, 0.005, 1.0}, false},  // under 1% of the largest a
                        {SolverStatus::Solved, {0.0, 0.0, 0.0}, false},    // at rest: nothing to measure by
                        {SolverStatus::Solved, {1.0, kNaN, 1.0}, true},
                        {SolverStatus::AlmostSolved, {1.0, 1.0, 1.0}, true},
                        {SolverStatus::InsufficientProgress, {1.0, 1.0, 1.0}, true},
                        {SolverStatus::MaxIterations, {0.02, 0.02, 0.02}, false},  // a budget the caller set
                        {SolverStatus::PrimalInfeasible, {0.02, 0.02, 0.02}, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(needs_rescaled_solve(c.status, c.a, ProfileReference{Values(3, 1.0), {}, {}}), c.repeated)
        << status_name(c.status) << " " << ::testing::PrintToString(c.a);
  }
}

}  // namespace
}  // namespace qarn
