// The validity rule of the reach-set options: order of the checks and their texts.
#include "qarn/qarn2/dp2/reach_set2_options.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace qarn::qarn2 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string rule(double lp, double abs, double rel) {
  const auto r = ReachSet2OptionsBuilder().lp_feas_tol(lp).a_cmp_abs_tol(abs).a_cmp_rel_tol(rel).build();
  if (r.ok()) return "<ok>";
  EXPECT_EQ(r.error().kind(), CoreError::Kind::InvalidOptions);
  return r.error().display();
}

TEST(ReachSet2Options, DefaultsAreValid) {
  const auto r = ReachSet2OptionsBuilder().build();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->lp_feas_tol, 1e-8);
  EXPECT_EQ(r->a_cmp_abs_tol, 1e-8);
  EXPECT_EQ(r->a_cmp_rel_tol, 1e-8);
  EXPECT_EQ(r->verbosity, Verbosity::Silent);
  EXPECT_EQ(ReachSet2OptionsBuilder().verbosity(Verbosity::Trace).build()->verbosity, Verbosity::Trace);
}

TEST(ReachSet2Options, RulesInOrderWithTheirTexts) {
  const std::string p = "ReachSet2OptionsBuilder reported an invalid options: ";
  EXPECT_EQ(rule(kNaN, kNaN, kNaN), p + "lp_feas_tol = NaN must not be NaN");
  EXPECT_EQ(rule(kInf, 1e-8, 1e-8), p + "lp_feas_tol = inf must not be infinite");
  EXPECT_EQ(rule(0.0, 1e-8, 1e-8), p + "lp_feas_tol = 0 must be strictly positive");
  EXPECT_EQ(rule(1e-17, 1e-8, 1e-8), p + "lp_feas_tol = 0.00000000000000001 must be strictly positive");
  EXPECT_EQ(rule(2.220446049250313e-16, 1e-8, 1e-8), "<ok>");
  EXPECT_EQ(rule(1e-8, kNaN, kInf), p + "a_cmp_abs_tol = NaN must not be NaN");
  EXPECT_EQ(rule(1e-8, -kInf, 1e-8), p + "a_cmp_abs_tol = -inf must not be infinite");
  EXPECT_EQ(rule(1e-8, -1.0, kNaN), p + "a_cmp_rel_tol = NaN must not be NaN");
  EXPECT_EQ(rule(1e-8, 0.0, 0.0), p + "At least one of a_cmp_abs_tol = 0 and a_cmp_rel_tol = 0 must be strictly positive.");
  EXPECT_EQ(rule(1e-8, -1.0, 1e-8),
            p + "At least one of a_cmp_abs_tol = -1 and a_cmp_rel_tol = 0.00000001 must be strictly positive.");
  EXPECT_EQ(rule(1e-8, 2.220446049250313e-16, 0.0),
            p + "At least one of a_cmp_abs_tol = 0.0000000000000002220446049250313 and a_cmp_rel_tol = 0 must be "
                "strictly positive.");
  EXPECT_EQ(rule(1e-8, 0.0, 1e-8), "<ok>");
}

}  // namespace
}  // namespace qarn::qarn2
