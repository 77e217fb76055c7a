// The two-variable LP: its documented edge behaviour, the correction lines it prints, and
// agreement with a brute-force vertex enumeration on random programs.
#include "math/numerical/lp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<Lp2dRow> x_box(double x_lo, double x_hi) { return {{1, 0, x_hi}, {-1, 0, -x_lo}}; }

// Runs f with descriptor 1 captured and returns what it printed.
template <class F>
std::string printed_by(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST(Lp2d, OnlyTheXBoundsGrowTheBoxUntilTheLastPass) {
  const auto rows = x_box(-1, 2);
  double top = 1e6;
  for (int i = 0; i < 6; ++i) top *= 1000.0;
  EXPECT_EQ(lp_2d_max(rows, 0.5, 1e-8), top);
  EXPECT_EQ(lp_2d_max(rows, 2.0, 1e-8), top);
}

TEST(Lp2d, WithoutBothXBoundsTheProgramIsInfeasible) {
  std::vector<Lp2dRow> one{{1, 0, 2}};
  EXPECT_TRUE(std::isnan(lp_2d_max(one, 0.0, 1e-8)));
  EXPECT_EQ(lp_2d_min(one, 0.0, 1e-8), 0.0);
  const auto [max, min] = lp_2d_max_min(std::span<Lp2dRow>(), 0.0, 1e-8);
  EXPECT_TRUE(std::isnan(max));
  EXPECT_EQ(min, 0.0);
}

TEST(Lp2d, ARowHoldingAtTheStartEndsAfterOnePassAtTheStartHeight) {
  // y0 = min((3 + 1*0)/1, (10 + 1*1)/1) = 3; every row holds at (x_hint, 3).
  auto rows = x_box(0, 1);
  rows.push_back({0, 1, 3});
  rows.push_back({1, 1, 10});
  EXPECT_EQ(printed_by([&] { EXPECT_EQ(lp_2d_max(rows, 0.25, 1e-8), 3.0); }), "");
}

TEST(Lp2d, CouplingRowsMoveTheOptimumToAVertex) {
  // max y s.t. 0 <= x <= 4, y <= 10, y <= 1 + x, y <= 7 - x: the vertex (3, 4).
  auto rows = x_box(0, 4);
  rows.push_back({0, 1, 10});
  rows.push_back({-1, 1, 1});
  rows.push_back({1, 1, 7});
  EXPECT_NEAR(lp_2d_max(rows, 2.0, 1e-8), 4.0, 1e-12);
  // min y adds y >= 0.5 x + 0.5 and y >= 3 - x: lowest at x = 5/3 with y = 4/3.
  rows.push_back({0.5, -1, -0.5});
  rows.push_back({-1, -1, -3});
  const auto [max, min] = lp_2d_max_min(rows, 2.0, 1e-8);
  EXPECT_NEAR(max, 4.0, 1e-12);
  EXPECT_NEAR(min, 4.0 / 3.0, 1e-12);
}

TEST(Lp2d, DegenerateRowsOnlyCheckTheirConstant) {
  auto rows = x_box(0, 1);
  rows.push_back({0, 1, 3});
  rows.push_back({1e-10, -1e-10, -1e-6});  // 0 <= -1e-6: infeasible beyond tol
  EXPECT_TRUE(std::isnan(lp_2d_max(rows, 0.5, 1e-8)));
  rows.back().c = -1e-9;  // within tol: ignored
  EXPECT_EQ(lp_2d_max(rows, 0.5, 1e-8), 3.0);
}

TEST(Lp2d, InfeasibleProgramsAreNaNForTheMaximumAndZeroForTheMinimum) {
  // A constant row 0 <= -1e-6 stays constant when the b column is negated.
  auto rows = x_box(0, 1);
  rows.push_back({0, 1, 3});
  rows.push_back({-1, 1, 1});
  rows.push_back({1e-10, -1e-10, -1e-6});
  auto copy = rows;
  EXPECT_TRUE(std::isnan(lp_2d_max(rows, 0.5, 1e-8)));
  const double min = lp_2d_min(copy, 0.5, 1e-8);
  EXPECT_EQ(min, 0.0);
  EXPECT_TRUE(std::signbit(min));
  const auto [mx, mn] = lp_2d_max_min(rows, 0.5, 1e-8);
  EXPECT_TRUE(std::isnan(mx));
  EXPECT_EQ(mn, 0.0);
}

TEST(Lp2d, MinimizingVariantsLeaveTheBColumnNegated) {
  auto rows = x_box(0, 2);
  rows.push_back({0, 1, 5});
  rows.push_back({0.5, -1, -1});
  const auto original = rows;
  EXPECT_NEAR(lp_2d_min(rows, 1.0, 1e-8), 1.0, 1e-12);  // y >= 1 + 0.5 x, lowest at x = 0
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].a, original[i].a);
    EXPECT_EQ(rows[i].b, -original[i].b);
    EXPECT_EQ(rows[i].c, original[i].c);
  }
  rows = original;
  (void)lp_2d_max_min(rows, 1.0, 1e-8);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].b, -original[i].b);
}

TEST(Lp2d, DeferredCorrectionsPrintTheRowAndTheExcessWithThreeDecimals) {
  // Rows 7 and 8 conflict by 0.0052 at (2, 5), more than tol = 1e-3 but within the 10*tol that
  // the line solve accepts; each correction moves the point onto one row and off the other,
  // so all four corrections fire with an excess of 0.0042.
  auto rows = x_box(0, 10);
  rows.push_back({0, 1, 5});
  for (int i = 0; i < 4; ++i) rows.push_back({0, 1, 100});
  rows.push_back({-1, -0.6, -5.0052});
  rows.push_back({1, 0, 2});
  double y = 0.0;
  const std::string out = printed_by([&] { y = lp_2d_max(rows, 5.0, 1e-3); });
  EXPECT_EQ(out,
            "lp_2d deferred correction fired: row 7 violated by 0.004 beyond tolerance\n"
            "lp_2d deferred correction fired: row 8 violated by 0.004 beyond tolerance\n"
            "lp_2d deferred correction fired: row 7 violated by 0.004 beyond tolerance\n"
            "lp_2d deferred correction fired: row 8 violated by 0.004 beyond tolerance\n");
  EXPECT_EQ(y, 5.0);
}

TEST(Lp2d, CheckVertexNeedsNonNegativeMultipliersForTheUpwardDirection) {
  // Vertex (3, 4) of y <= 1 + x and y <= 7 - x: optimal for max y.
  const std::vector<Lp2dRow> rows{{1, 0, 4}, {-1, 0, 0}, {0, 1, 10}, {-1, 1, 1}, {1, 1, 7}};
  EXPECT_TRUE(lp_2d_check_vertex(rows, 3, 3, 4, 3, 4, 1e-9, 1e6));
  EXPECT_TRUE(lp_2d_check_vertex(rows, 4, kLpNoRow, 4, 3, 4, 1e-9, 1e6) == false);  // one row, slanted
  // (0, 1) with y <= 1 + x and x >= 0 is not optimal: moving right raises y.
  EXPECT_FALSE(lp_2d_check_vertex(rows, 3, 3, 1, 0, 1, 1e-9, 1e6));
  // i must be one of the active rows; an active row must hold.
  EXPECT_FALSE(lp_2d_check_vertex(rows, 2, 3, 4, 3, 4, 1e-9, 1e6));
  EXPECT_FALSE(lp_2d_check_vertex(rows, 3, 3, 4, 3, 4.1, 1e-9, 1e6));
  // Parallel active rows have no vertex.
  const std::vector<Lp2dRow> parallel{{1, 1, 1}, {2, 2, 2}};
  EXPECT_FALSE(lp_2d_check_vertex(parallel, 0, 0, 1, 0.5, 0.5, 1e-9, 1e6));
  // One flat active row is optimal anywhere; a rising one only at the box side it rises towards.
  const std::vector<Lp2dRow> single{{0, 1, 2}, {-1, 1, 0}};
  EXPECT_TRUE(lp_2d_check_vertex(single, 0, 0, kLpNoRow, 7, 2, 1e-9, 1e6));
  EXPECT_TRUE(lp_2d_check_vertex(single, 1, kLpNoRow, 1, 1e6, 1e6, 1e-9, 1e6));
  EXPECT_FALSE(lp_2d_check_vertex(single, 1, 1, kLpNoRow, -1e6, -1e6, 1e-9, 1e6));
  EXPECT_FALSE(lp_2d_check_vertex(single, 0, kLpNoRow, kLpNoRow, 7, 2, 1e-9, 1e6));
}

TEST(Lp2d, LineIntervalAndVertexSearchFindPointsOfTheFeasibleSet) {
  const std::vector<Lp2dRow> rows{{1, 0, 4}, {-1, 0, 0}, {0, 1, 10}, {-1, 1, 1}, {1, 1, 7}};
  // The point already holds: returned unchanged.
  EXPECT_EQ(lp_2d_line_interval(rows, 2.0, 2.0, 1e-9), 2.0);
  // At y = 3.5 the feasible x lie in [2.5, 3.5].
  const auto x = lp_2d_line_interval(rows, 0.0, 3.5, 1e-12);
  ASSERT_TRUE(x.has_value());
  EXPECT_GE(*x, 2.5 - 1e-12);
  EXPECT_LE(*x, 3.5 + 1e-12);
  EXPECT_FALSE(lp_2d_line_interval(rows, 0.0, 4.5, 1e-9).has_value());
  const auto v = lp_2d_vertex_search(rows, 10.0, -kInf, 1e-9, 1e-8, 1e6);
  ASSERT_TRUE(v.has_value());
  EXPECT_NEAR(v->x, 3.0, 1e-12);
  EXPECT_NEAR(v->y, 4.0, 1e-12);
  // From above the feasible set the fallback comes down to the optimal vertex ...
  const Lp2dPoint p = lp_2d_maximize(rows, 1e-8, 0.0, 5.0, 1e-9, 1e6);
  ASSERT_TRUE(p.found);
  EXPECT_NEAR(p.x, 3.0, 1e-12);
  EXPECT_NEAR(p.y, 4.0, 1e-12);
  // ... and never rises above the point it starts from.
  const Lp2dPoint low = lp_2d_maximize(rows, 1e-8, 0.0, 1.0, 1e-9, 1e6);
  ASSERT_TRUE(low.found);
  EXPECT_LE(low.y, 1.0);
  // Below the optimum the search is capped: nothing above y_cap = 1 is returned.
  const auto capped = lp_2d_vertex_search(rows, 1.0, -kInf, 1e-9, 1e-8, 1e6);
  EXPECT_TRUE(!capped || capped->y <= 1.0);
}

// ---- random programs against brute-force vertex enumeration ----

struct BruteForce {
  double max = -kInf;
  double min = kInf;
};

// Enumerates the pairwise intersections of all rows (plus a floor y >= -1e9 so that the minimum
// exists) and keeps the feasible ones.
BruteForce enumerate_vertices(const std::vector<Lp2dRow>& rows) {
  std::vector<Lp2dRow> all = rows;
  all.push_back({0, -1, 1e9});
  BruteForce out;
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      const double det = all[i].a * all[j].b - all[j].a * all[i].b;
      if (std::fabs(det) < 1e-12) continue;
      const double x = (all[i].c * all[j].b - all[j].c * all[i].b) / det;
      const double y = (all[i].a * all[j].c - all[j].a * all[i].c) / det;
      bool ok = true;
      for (const Lp2dRow& r : all) ok = ok && r.a * x + r.b * y - r.c <= 1e-9 * (1 + std::fabs(r.c));
      if (!ok) continue;
      out.max = std::max(out.max, y);
      out.min = std::min(out.min, y);
    }
  }
  return out;
}

TEST(Lp2d, RandomFeasibleProgramsMatchVertexEnumeration) {
  std::mt19937_64 rng(20260501);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> count(0, 14);
  int compared = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    // Every row holds at an interior point (x*, y*) with a positive margin.
    const double x_lo = 0.5 + unit(rng) * 0.4;
    const double x_hi = x_lo + 0.1 + std::fabs(unit(rng));
    const double xs = x_lo + (x_hi - x_lo) * (0.5 + 0.4 * unit(rng));
    const double ys = 1.0 + 0.5 * unit(rng);
    auto rows = x_box(x_lo, x_hi);
    rows.push_back({0, 1, ys + 0.5 + std::fabs(unit(rng))});
    const int extra = count(rng);
    for (int k = 0; k < extra; ++k) {
      const double a = unit(rng);
      const double b = unit(rng);
      const double h = std::hypot(a, b);
      rows.push_back({a / h, b / h, (a * xs + b * ys) / h + 0.05 + 0.5 * std::fabs(unit(rng))});
    }
    const BruteForce ref = enumerate_vertices(rows);
    ASSERT_TRUE(std::isfinite(ref.max));
    const double hint = 0.5 * (x_lo + x_hi);
    auto work = rows;
    const auto [max, min] = lp_2d_max_min(work, hint, 1e-9);
    EXPECT_NEAR(lp_2d_max(rows, hint, 1e-9), ref.max, 1e-7 * (1 + std::fabs(ref.max))) << "trial " << trial;
    EXPECT_NEAR(max, ref.max, 1e-7 * (1 + std::fabs(ref.max))) << "trial " << trial;
    EXPECT_NEAR(min, std::max(ref.min, 0.0), 1e-7 * (1 + std::fabs(ref.min))) << "trial " << trial;
    ++compared;
  }
  EXPECT_EQ(compared, 2000);
}

TEST(Lp2d, RandomInfeasibleProgramsAreDetected) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  testing::internal::CaptureStdout();  // the corrections on the way to NaN print lines
  for (int trial = 0; trial < 500; ++trial) {
    // y <= u + slope*x and y >= u + slope*x + gap: empty for every x.
    const double slope = unit(rng);
    const double u = 2.0 + unit(rng);
    const double gap = 1e-3 + std::fabs(unit(rng));
    auto rows = x_box(0, 1);
    rows.push_back({0, 1, 10});
    rows.push_back({unit(rng), unit(rng), 5.0});
    rows.push_back({-slope, 1, u});
    rows.push_back({slope, -1, -(u + gap)});
    EXPECT_TRUE(std::isnan(lp_2d_max(rows, 0.5, 1e-9))) << "trial " << trial;
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace qarn
