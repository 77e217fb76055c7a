// The scale stage of the conic solve: factors that round nothing, and solutions that come back in
// the caller's units whatever the magnitudes of the program (checked on the KKT conditions and
// against the same program posed in unit magnitudes).
#include "qarn/conic/scaling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "conic/conic_test_support.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/solve.hpp"
#include "qarn/qarn2/opt2/qarn2_socp.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn2/topp2_test_support.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn {
namespace {

constexpr const char* kComponent = "scaling_test";

// min t over (v, t) with v <= V and 4 v t >= 1 as the rotated cone (v + t, v - t, 1): the Time
// objective's cone in miniature. Optimum v = V, t = 1 / (4 V).
ConicProgram time_cone(double v_max) {
  ClarabelTriplets t;
  t.push_entry(0, 0, 1.0);
  t.b.push_back(v_max);
  t.cones.push_back(NonnegativeCone(1));
  t.push_entry(1, 0, -1.0);
  t.push_entry(1, 1, -1.0);
  t.push_entry(2, 0, -1.0);
  t.push_entry(2, 1, 1.0);
  t.b.insert(t.b.end(), {0.0, 0.0, 1.0});
  t.cones.push_back(SecondOrderCone(3));
  return *make_conic_program(kComponent, Assembly{std::move(t), {0.0, 1.0}});
}

// The KKT conditions of min q'x, A x + s = b, s and z in the cones, in the program's own units.
void expect_kkt(const ConicProgram& p, const clarabel::SolveOutput& out, double tol) {
  std::vector<double> slack = p.b;
  std::vector<double> dual = p.q;  // A'z + q
  double size = 0.0;
  for (std::size_t c = 0; c < p.A.n; ++c) {
    for (std::size_t k = p.A.colptr[c]; k < p.A.colptr[c + 1]; ++k) {
      slack[p.A.rowval[k]] -= p.A.nzval[k] * out.x[c];
      dual[c] += p.A.nzval[k] * out.z[p.A.rowval[k]];
      size = std::max(size, std::fabs(p.A.nzval[k] * out.x[c]));
    }
  }
  for (std::size_t r = 0; r < p.rows(); ++r) {
    EXPECT_NEAR(out.s[r], slack[r], tol * std::max({1.0, size, std::fabs(p.b[r])})) << r;
  }
  for (std::size_t c = 0; c < p.vars(); ++c) {
    double scale = std::fabs(p.q[c]);
    for (std::size_t k = p.A.colptr[c]; k < p.A.colptr[c + 1]; ++k) {
      scale = std::max(scale, std::fabs(p.A.nzval[k] * out.z[p.A.rowval[k]]));
    }
    EXPECT_NEAR(dual[c], 0.0, tol * std::max(scale, 1e-300)) << c;
  }
  std::size_t r = 0;
  for (const clarabel::Cone& cone : p.cones) {
    const std::span<const double> s(out.s.data() + r, cone.dim), z(out.z.data() + r, cone.dim);
    double s_size = 0.0, z_size = 0.0;
    for (std::size_t i = 0; i < cone.dim; ++i) {
      s_size = std::max(s_size, std::fabs(s[i]));
      z_size = std::max(z_size, std::fabs(z[i]));
    }
    EXPECT_GE(conic_test::cone_margin(cone, s), -tol * s_size) << r;
    if (cone.kind != clarabel::ConeKind::Zero) {
      EXPECT_GE(conic_test::cone_margin(cone, z), -tol * z_size) << r;
    }
    r += cone.dim;
  }
}

TEST(ConicScaling, TheTimeConeIsSolvedToItsOptimumAtAnyMagnitude) {
  for (const double v_max : {1e-9, 1e-5, 1e-2, 1.0, 3e3, 1e7}) {
    const ConicProgram p = time_cone(v_max);
    const std::vector<double> columns{v_max, 1.0 / v_max};
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, p, columns, ClarabelOptions{});
    ASSERT_TRUE(out.ok()) << v_max;
    EXPECT_EQ(out->status, SolverStatus::Solved) << v_max;
    EXPECT_NEAR(out->x[0], v_max, 1e-7 * v_max);
    EXPECT_NEAR(out->x[1], 0.25 / v_max, 1e-7 * 0.25 / v_max);
    EXPECT_NEAR(out->obj_val, 0.25 / v_max, 1e-7 * 0.25 / v_max);
    EXPECT_NEAR(out->obj_val_dual, 0.25 / v_max, 1e-7 * 0.25 / v_max);
    expect_kkt(p, *out, 1e-6);
  }
}

TEST(ConicScaling, TheRotatedConeIsBalancedAndTheFactorsFollowTheData) {
  const ConicProgram p = time_cone(1e-4);
  const ScaledProgram scaled =
      scale_program(p, std::vector<double>{1e-4, 1e4});
  EXPECT_DOUBLE_EQ(scaled.column[0], 1e-4);
  EXPECT_DOUBLE_EQ(scaled.column[1], 1e4);
  ASSERT_EQ(scaled.boosts.size(), 1u);
  EXPECT_EQ(scaled.boosts[0].row, 1u);
  EXPECT_DOUBLE_EQ(scaled.boosts[0].lambda, 1e4);  // sqrt(|s0 - s1| / |s0 + s1|) = sqrt(2e4 / 2e-4)
  // In scaled units every entry of the program and its cost are of magnitude one.
  for (const double v : scaled.program.A.nzval) {
    EXPECT_GE(std::fabs(v), 0.25) << v;
    EXPECT_LE(std::fabs(v), 1.0 + 1e-15) << v;
  }
  EXPECT_DOUBLE_EQ(scaled.program.q[1], 1.0);
  // Sized by the objective, the cost at the units (x^ = 1) is ten.
  EXPECT_DOUBLE_EQ(scale_program(p, std::vector<double>{1e-4, 1e4}, CostScale::Objective).program.q[1], 10.0);
}

// The first solve of QARN2's time and of the TOPP3 LP sizes the cost by its entries, one near one
// per interval or station, bounded so that the objective at the units is at most
// kLargestObjectiveAtUnits: unbounded it grew with the station count, and the method crept on fine
// grids (54 iterations at 10,000 stations, 26 bounded). Up to a few hundred stations the two sizings
// are one.
TEST(ConicScaling, TheFirstSolvesCostIsBoundedOnFineGrids) {
  const auto at_units = [](const PreparedProgram& prepared, CostScale cost) {
    double sum = 0.0;  // sum |q_j| in the scaled units (no quadratic cost)
    for (const double v : scale_program(prepared.program, prepared.column_scales, cost).program.q) sum += std::fabs(v);
    return sum;
  };
  const std::vector<ObjectiveView> time{{ObjectiveKind::Time, 1.0, {}, {}}};
  for (const auto& [n, bounded] : {std::pair<std::size_t, bool>{100, false}, {10'000, true}}) {
    const auto robot = test3::straight_line(test2::uniform_grid(n - 1, 2.0), {1.0, 0.75, 5.0});
    const std::vector<double> reference(n, 0.5);  // the problem views it; it outlives the program's build
    const Result<qarn3::Topp3Problem> lp =
        qarn3::Topp3ProblemBuilder{robot->constraints(), {.a_linearization = reference}}.build_with_linearization();
    ASSERT_TRUE(lp.ok());
    for (const Result<PreparedProgram>& prepared :
         {qarn2::qarn2_program({*robot, time, 0, n - 1, 0.0, 0.0}), qarn3::topp3_lp_program(*lp)}) {
      ASSERT_TRUE(prepared.ok()) << prepared.error().display();
      const double first = at_units(*prepared, prepared->cost_scale);
      const double by_entries = at_units(*prepared, CostScale::Entries);
      if (bounded) {
        EXPECT_NEAR(first, kLargestObjectiveAtUnits, 1e-9 * kLargestObjectiveAtUnits) << n;
        EXPECT_GT(by_entries, 10 * kLargestObjectiveAtUnits) << n;
      } else {
        EXPECT_EQ(first, by_entries) << n;
      }
    }
  }
}

// Inequalities are scaled by their bound, so a limit reads 1 whatever its coefficients (on fine
// grids those of an acceleration row dwarf its limit); a zero or negligible bound falls back to the
// coefficients. Equalities keep the larger of coefficients and bound.
TEST(ConicScaling, AnInequalityIsMeasuredByItsBound) {
  struct Row {
    double entry, bound, factor;
  };
  const Row inequalities[] = {{1e4, 5.0, 0.2}, {1e-3, 5.0, 0.2}, {3.0, 0.0, 1.0 / 3.0}, {2.0, 1e-12, 5e5}};
  for (const Row& row : inequalities) {
    ClarabelTriplets t;
    t.push_entry(0, 0, row.entry);
    t.b.push_back(row.bound);
    t.cones.push_back(NonnegativeCone(1));
    t.push_entry(1, 0, row.entry);
    t.b.push_back(row.bound);
    t.cones.push_back(ZeroCone(1));
    const ScaledProgram scaled =
        scale_program(*make_conic_program(kComponent, Assembly{std::move(t), {-1.0}}), {});
    EXPECT_DOUBLE_EQ(scaled.row[0], row.factor) << row.entry << " " << row.bound;
    EXPECT_DOUBLE_EQ(scaled.row[1], 1.0 / std::max(row.entry, row.bound)) << row.entry << " " << row.bound;
  }
}

// A random program posed in unit magnitudes (box, random cost, random second-order cones), and
// the same program with columns of magnitude K (first half) and K^-1/2 (second half) and rows
// multiplied by arbitrary factors: its solution is the unit one in the caller's units.
TEST(ConicScaling, ARandomProgramGivesTheUnitSolutionInTheCallersUnits) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<double> e(-3.0, 3.0);
  for (int trial = 0; trial < 6; ++trial) {
    const std::size_t n = 6;
    const double big_k = std::pow(10.0, trial % 2 ? 6.3 : -5.7);
    std::vector<double> d(n);
    for (std::size_t j = 0; j < n; ++j) d[j] = j < n / 2 ? big_k : 1.0 / std::sqrt(big_k);
    const auto make = [&](bool caller_units) {
      std::mt19937_64 g(100 + trial);
      ClarabelTriplets t;
      const auto row_factor = [&] { return caller_units ? std::pow(10.0, e(g)) : (e(g), 1.0); };
      for (std::size_t j = 0; j < n; ++j) {  // -1 <= x_j <= 1 in unit magnitudes
        for (const double sign : {1.0, -1.0}) {
          const double f = row_factor();
          t.push_entry(t.row_count(), j, sign * f / (caller_units ? d[j] : 1.0));
          t.b.push_back(f);
        }
      }
      t.cones.push_back(NonnegativeCone(2 * n));
      for (int c = 0; c < 2; ++c) {  // 1 + w.x >= |(W x)| for random w, W (x = 0 is inside)
        const double f = row_factor();
        const std::size_t r0 = t.row_count();
        for (std::size_t i = 0; i < 3; ++i) {
          for (std::size_t j = 0; j < n; ++j) t.push_entry(r0 + i, j, -f * u(g) / (caller_units ? d[j] : 1.0));
          t.b.push_back(i == 0 ? f : 0.0);
        }
        t.cones.push_back(SecondOrderCone(3));
      }
      std::vector<double> q(n);
      for (std::size_t j = 0; j < n; ++j) q[j] = u(g) / (caller_units ? d[j] : 1.0);
      return *make_conic_program(kComponent, Assembly{std::move(t), std::move(q)});
    };
    const ConicProgram unit = make(false), caller = make(true);
    // Tight tolerances, so that x itself (not only the objective) is fixed closely: on a curved
    // cone boundary x moves with the square root of the remaining gap.
    ClarabelOptions tight;
    tight.settings.tol_gap_abs = tight.settings.tol_gap_rel = tight.settings.tol_feas = 1e-10;
    Result<clarabel::SolveOutput> reference = solve_conic(kComponent, unit, {}, tight);
    const std::vector<double> columns = d;
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, caller, columns, tight);
    ASSERT_TRUE(reference.ok() && out.ok());
    ASSERT_EQ(reference->status, SolverStatus::Solved);
    EXPECT_EQ(out->status, SolverStatus::Solved) << trial;
    for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(out->x[j] / d[j], reference->x[j], 1e-5) << trial << " " << j;
    EXPECT_NEAR(out->obj_val, reference->obj_val, 1e-9 * std::max(1.0, std::fabs(reference->obj_val)));
    expect_kkt(caller, *out, 1e-6);
  }
}

}  // namespace
}  // namespace qarn
