// The shared conic plumbing: triplet assembly and its compressed-column form, the options record and
// its acceptance rule, and the guarded solver call (vacuous rows, non-finite data, refusals).
#include "qarn/conic/options.hpp"
#include "qarn/conic/log.hpp"
#include "qarn/conic/program.hpp"
#include "qarn/conic/solve.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kComponent = "backend_test";

// ---- assembly ----

TEST(ClarabelTriplets, TwoEqualityRowsGetConsecutiveRowsAndTheirOwnZeroCones) {
  ClarabelTriplets t;
  t.b.push_back(7.0);  // a row already in the record
  push_equality_row(4, t, 2.5);
  push_equality_row(1, t, -3.0);
  EXPECT_EQ(t.rows, (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(t.cols, (std::vector<std::size_t>{4, 1}));
  EXPECT_EQ(t.vals, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(t.b, (std::vector<double>{7.0, 2.5, -3.0}));
  ASSERT_EQ(t.cones.size(), 2u);
  for (const clarabel::Cone& c : t.cones) {
    EXPECT_EQ(c.kind, clarabel::ConeKind::Zero);
    EXPECT_EQ(c.dim, 1u);
  }
  EXPECT_EQ(t.lengths(), (TripletLengths{2, 2, 2, 3, 2}));
}

TEST(CompressedColumns, KeepsExplicitZerosAndSortsRowsInsideColumns) {
  // Entries appended out of order, one of them an explicit zero, one column empty.
  const std::vector<std::size_t> rows{2, 0, 1, 0, 2, 1};
  const std::vector<std::size_t> cols{0, 2, 0, 0, 2, 3};
  const std::vector<double> vals{5.0, 6.0, 0.0, 4.0, 7.0, 8.0};
  const clarabel::CscMatrix a = compressed_columns(3, 4, rows, cols, vals);
  EXPECT_EQ(a.m, 3u);
  EXPECT_EQ(a.n, 4u);
  EXPECT_EQ(a.colptr, (std::vector<std::size_t>{0, 3, 3, 5, 6}));
  EXPECT_EQ(a.rowval, (std::vector<std::size_t>{0, 1, 2, 0, 2, 1}));
  EXPECT_EQ(a.nzval, (std::vector<double>{4.0, 0.0, 5.0, 6.0, 7.0, 8.0}));
}

TEST(CompressedColumns, RandomTripletsGiveTheSameMatrix) {
  std::mt19937_64 rng(20240611);
  for (int trial = 0; trial < 50; ++trial) {
    const std::size_t m = 1 + rng() % 30;
    const std::size_t n = 1 + rng() % 30;
    std::map<std::pair<std::size_t, std::size_t>, double> dense;
    std::vector<std::size_t> rows, cols;
    std::vector<double> vals;
    const std::size_t count = rng() % (m * n + 1);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t r = rng() % m, c = rng() % n;
      if (dense.count({r, c})) continue;  // builders never write a position twice
      const double v = static_cast<double>(static_cast<int>(rng() % 7) - 3);  // zeros included
      dense[{r, c}] = v;
      rows.push_back(r);
      cols.push_back(c);
      vals.push_back(v);
    }
    const clarabel::CscMatrix a = compressed_columns(m, n, rows, cols, vals);
    ASSERT_EQ(a.colptr.size(), n + 1);
    ASSERT_EQ(a.colptr.back(), vals.size());
    std::map<std::pair<std::size_t, std::size_t>, double> back;
    for (std::size_t c = 0; c < n; ++c) {
      for (std::size_t k = a.colptr[c]; k < a.colptr[c + 1]; ++k) {
        if (k > a.colptr[c]) {
          EXPECT_LT(a.rowval[k - 1], a.rowval[k]);
        }
        back[{a.rowval[k], c}] = a.nzval[k];
      }
    }
    EXPECT_EQ(back, dense);
  }
}

TEST(MakeConicProgram, BuildsTheMatrixAndTheEmptyQuadraticCost) {
  ClarabelTriplets t;
  push_equality_row(1, t, 3.0);
  t.push_entry(1, 0, -1.0);
  t.b.push_back(0.0);
  t.cones.push_back(NonnegativeCone(1));
  Result<ConicProgram> p = make_conic_program(kComponent, Assembly{std::move(t), {1.0, 0.0, 2.0}});
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p->A.m, 2u);
  EXPECT_EQ(p->A.n, 3u);
  EXPECT_EQ(p->A.colptr, (std::vector<std::size_t>{0, 1, 2, 2}));
  EXPECT_EQ(p->P.m, 3u);
  EXPECT_EQ(p->P.n, 3u);
  EXPECT_TRUE(p->P.nzval.empty());
  EXPECT_EQ(p->P.colptr, (std::vector<std::size_t>{0, 0, 0, 0}));
  EXPECT_EQ(p->b, (std::vector<double>{3.0, 0.0}));
  EXPECT_EQ(p->rows(), 2u);
  EXPECT_EQ(p->vars(), 3u);
}

TEST(MakeConicProgram, AnEntryOutsideTheMatrixIsAFaultNotACrash) {
  ClarabelTriplets t;
  push_equality_row(5, t, 1.0);  // column 5 of a 2-variable program
  Result<ConicProgram> p = make_conic_program(kComponent, Assembly{std::move(t), {0.0, 0.0}});
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error().kind(), CoreError::Kind::Other);
  EXPECT_EQ(p.error().message(), "constraint entry (0, 5) lies outside the 1 x 2 matrix");
}

// ---- options ----

TEST(ClarabelOptions, DefaultsAreClarabelsExceptEquilibrationAndVerbose) {
  const ClarabelOptions o = ClarabelOptionsBuilder().build();
  clarabel::Settings expected = clarabel::Settings::defaults();
  EXPECT_EQ(expected.equilibrate_max_iter, 10u);
  EXPECT_TRUE(expected.verbose);
  expected.equilibrate_max_iter = 20;
  expected.verbose = false;
  EXPECT_EQ(o.settings, expected);
  EXPECT_EQ(o.settings, ClarabelOptions{}.settings);
  // The crate's own proportional regularisation is the square of the f64 machine epsilon.
  EXPECT_EQ(o.settings.static_regularization_proportional, 4.930380657631324e-32);
  EXPECT_EQ(o.settings.max_iter, 200u);
  EXPECT_EQ(o.settings.direct_solve_method, "auto");
  EXPECT_TRUE(o.settings.presolve_enable);
  EXPECT_TRUE(o.allow_almost_solved);
  EXPECT_FALSE(o.allow_max_iterations);
  EXPECT_FALSE(o.allow_max_time);
  EXPECT_FALSE(o.allow_callback_terminated);
  EXPECT_FALSE(o.allow_insufficient_progress);
  EXPECT_EQ(o.verbosity, Verbosity::Silent);
}

TEST(ClarabelOptions, AllowFollowsItsTableForEveryStatusAndFlagSet) {
  for (unsigned flags = 0; flags < 32; ++flags) {
    const ClarabelOptions o = ClarabelOptionsBuilder()
                                  .allow_almost_solved(flags & 1)
                                  .allow_max_iterations(flags & 2)
                                  .allow_max_time(flags & 4)
                                  .allow_callback_terminated(flags & 8)
                                  .allow_insufficient_progress(flags & 16)
                                  .build();
    for (int i = 0; i < kSolverStatusCount; ++i) {
      const auto status = static_cast<SolverStatus>(i);
      bool expected = false;
      switch (status) {
        case SolverStatus::Solved: expected = true; break;
        case SolverStatus::AlmostSolved: expected = flags & 1; break;
        case SolverStatus::MaxIterations: expected = flags & 2; break;
        case SolverStatus::MaxTime: expected = flags & 4; break;
        case SolverStatus::CallbackTerminated: expected = flags & 8; break;
        case SolverStatus::InsufficientProgress: expected = flags & 16; break;
        default: expected = false;  // Unsolved, the four infeasibility statuses, NumericalError
      }
      EXPECT_EQ(o.allow(status), expected) << status_name(status) << " flags " << flags;
    }
  }
  const ClarabelOptions defaults;
  EXPECT_TRUE(defaults.allow(SolverStatus::AlmostSolved));
  EXPECT_FALSE(defaults.allow(SolverStatus::MaxIterations));
}

TEST(ClarabelOptions, SolverLogOnlyAtDebugAndTrace) {
  clarabel::Settings loud = ClarabelOptions::default_settings();
  loud.verbose = true;
  for (const Verbosity v : {Verbosity::Silent, Verbosity::Summary, Verbosity::Debug, Verbosity::Trace}) {
    const ClarabelOptions o = ClarabelOptionsBuilder().settings(loud).verbosity(v).build();
    EXPECT_EQ(o.solver_settings().verbose, v >= Verbosity::Debug);
    EXPECT_TRUE(o.settings.verbose);  // the record itself keeps what the caller gave
    clarabel::Settings rest = o.solver_settings();
    rest.verbose = true;
    EXPECT_EQ(rest, loud);  // nothing else is touched
  }
  const ClarabelOptions quiet_debug = ClarabelOptionsBuilder().verbosity(Verbosity::Trace).build();
  EXPECT_FALSE(quiet_debug.solver_settings().verbose);
}

// ---- the guarded solve ----

// min -x0 - x1  s.t.  x0 + 2 x1 <= 4,  3 x0 + x1 <= 6,  x >= 0; optimum (1.6, 1.2), value -2.8,
// z = (0.4, 0.2, 0, 0) on those rows; lp_with_extra_row puts the row under test between them.
struct SmallLp {
  ClarabelTriplets t;
  std::vector<double> q{-1.0, -1.0};

  void row(std::vector<std::pair<std::size_t, double>> entries, double b) {
    const std::size_t r = t.row_count();
    for (auto [c, v] : entries) t.push_entry(r, c, v);
    t.b.push_back(b);
  }
  Result<ConicProgram> program() { return make_conic_program(kComponent, Assembly{ClarabelTriplets(t), std::vector<double>(q)}); }
};

SmallLp lp_with_extra_row(double extra_a, double extra_b) {
  SmallLp lp;
  lp.row({{0, 1.0}, {1, 2.0}}, 4.0);
  lp.row({{0, extra_a}, {1, 1.0}}, extra_b);  // the row under test, row 1
  lp.row({{0, 3.0}, {1, 1.0}}, 6.0);
  lp.row({{0, -1.0}}, 0.0);
  lp.row({{1, -1.0}}, 0.0);
  lp.t.cones.push_back(NonnegativeCone(5));
  return lp;
}

ClarabelOptions presolve(bool on) {
  clarabel::Settings s = ClarabelOptions::default_settings();
  s.presolve_enable = on;
  return ClarabelOptionsBuilder().settings(s).build();
}

void expect_lp_optimum(const clarabel::SolveOutput& out) {
  EXPECT_EQ(out.status, SolverStatus::Solved);
  ASSERT_EQ(out.x.size(), 2u);
  EXPECT_NEAR(out.x[0], 1.6, 1e-7);
  EXPECT_NEAR(out.x[1], 1.2, 1e-7);
  EXPECT_NEAR(out.obj_val, -2.8, 1e-7);
  ASSERT_EQ(out.z.size(), 5u);
  ASSERT_EQ(out.s.size(), 5u);
  EXPECT_NEAR(out.z[0], 0.4, 1e-7);
  EXPECT_NEAR(out.z[2], 0.2, 1e-7);
}

TEST(SolveConic, VacuousRowsNeverReachTheSolverAndAreReportedAsPresolveReportsThem) {
  // An infinite bound with an infinite coefficient, as a linearized jerk row with no jerk limit has.
  SmallLp lp = lp_with_extra_row(kInf, kInf);
  Result<ConicProgram> program = lp.program();
  ASSERT_TRUE(program.ok());

  Result<clarabel::SolveOutput> off = solve_conic(kComponent, *program, {}, presolve(false));
  ASSERT_TRUE(off.ok()) << off.error().display();
  expect_lp_optimum(*off);
  EXPECT_EQ(off->s[1], kClarabelInfinity);
  EXPECT_EQ(off->z[1], 0.0);

  // Clarabel's own presolve gives the same report for the row, and the same solution.
  Result<clarabel::SolveOutput> on = solve_conic(kComponent, *program, {}, presolve(true));
  ASSERT_TRUE(on.ok()) << on.error().display();
  expect_lp_optimum(*on);
  EXPECT_EQ(on->s[1], kClarabelInfinity);
  EXPECT_EQ(on->z[1], 0.0);
  for (std::size_t r = 0; r < 5; ++r) {
    EXPECT_NEAR(on->s[r], off->s[r], 1e-7) << r;
    EXPECT_NEAR(on->z[r], off->z[r], 1e-7) << r;
  }
}

TEST(SolveConic, AnInfiniteBoundOnFiniteCoefficientsIsVacuousWithPresolveOff) {
  // Handed to Clarabel as it is, with its presolve off, this program ends DualInfeasible: the
  // bound is capped at Clarabel's infinity and wrecks the interior-point scaling.
  for (const double bound : {kInf, 2e20}) {
    SmallLp lp = lp_with_extra_row(1.0, bound);
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(false));
    ASSERT_TRUE(out.ok()) << out.error().display();
    expect_lp_optimum(*out);
    EXPECT_EQ(out->s[1], kClarabelInfinity);
    EXPECT_EQ(out->z[1], 0.0);
  }
}

TEST(SolveConic, ANaNBoundMeansNoBoundInBothPresolveModes) {
  for (const bool on : {false, true}) {
    SmallLp lp = lp_with_extra_row(kNaN, kNaN);
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(on));
    ASSERT_TRUE(out.ok()) << out.error().display();
    expect_lp_optimum(*out);
    EXPECT_EQ(out->s[1], kClarabelInfinity);
    EXPECT_EQ(out->z[1], 0.0);
  }
}

TEST(SolveConic, ARowTheEqualitiesDecideIsVacuousWhereItHolds) {
  // x0 = 1.6 fixed by a one-entry equality (the optimum's value); the row 2 x0 <= bound reads only
  // that column: it holds at 5 (removed, as a limit of an end station is) and fails at 3 (kept:
  // the solver proves the program infeasible).
  for (const double bound : {5.0, 3.0}) {
    SmallLp lp;
    lp.row({{0, 1.0}}, 1.6);
    lp.t.cones.push_back(ZeroCone(1));
    lp.row({{0, 2.0}}, bound);
    lp.row({{0, 1.0}, {1, 2.0}}, 4.0);
    lp.row({{0, 3.0}, {1, 1.0}}, 6.0);
    lp.t.cones.push_back(NonnegativeCone(3));
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(false));
    ASSERT_TRUE(out.ok()) << out.error().display();
    if (bound == 5.0) {
      EXPECT_EQ(out->status, SolverStatus::Solved);
      EXPECT_EQ(out->s[1], kClarabelInfinity);
      EXPECT_NEAR(out->obj_val, -2.8, 1e-7);
    } else {
      EXPECT_EQ(out->status, SolverStatus::PrimalInfeasible);
    }
  }
}

TEST(SolveConic, ANonnegativeConeLeftWithoutRowsDisappears) {
  SmallLp lp;
  lp.row({{0, 1.0}, {1, 2.0}}, 4.0);
  lp.row({{0, 3.0}, {1, 1.0}}, 6.0);
  lp.row({{0, -1.0}}, 0.0);
  lp.row({{1, -1.0}}, 0.0);
  lp.t.cones.push_back(NonnegativeCone(4));
  lp.row({{0, 1.0}}, kInf);
  lp.row({{1, 1.0}}, kInf);
  lp.t.cones.push_back(NonnegativeCone(2));
  Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(false));
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::Solved);
  EXPECT_NEAR(out->obj_val, -2.8, 1e-7);
  ASSERT_EQ(out->s.size(), 6u);
  EXPECT_EQ(out->s[4], kClarabelInfinity);
  EXPECT_EQ(out->s[5], kClarabelInfinity);
  EXPECT_EQ(out->z[5], 0.0);
}

TEST(SolveConic, OtherNonFiniteDataIsRefusedBeforeTheCall) {
  {  // an infinite coefficient in a row with a finite bound
    SmallLp lp = lp_with_extra_row(kInf, 3.0);
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(true));
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().display(),
              "backend_test reported an invalid input: constraint row 1 has the non-finite coefficient inf on "
              "variable 0");
  }
  {  // an impossible bound
    SmallLp lp = lp_with_extra_row(1.0, -kInf);
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(false));
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), "constraint row 1 has the non-finite bound -inf");
  }
  {  // an infinite right-hand side outside a nonnegative block is not vacuous
    SmallLp lp;
    lp.row({{0, 1.0}}, kInf);
    lp.t.cones.push_back(ZeroCone(1));
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(false));
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), "constraint row 0 has the non-finite bound inf");
  }
  {  // a non-finite cost
    SmallLp lp = lp_with_extra_row(1.0, 3.0);
    lp.q[1] = kNaN;
    Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, presolve(true));
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind(), CoreError::Kind::InvalidInput);
    EXPECT_EQ(out.error().message(), "cost of variable 1 is the non-finite value NaN");
  }
}

TEST(SolveConic, ClarabelsRefusalCarriesTheComponent) {
  SmallLp lp = lp_with_extra_row(1.0, 3.0);
  lp.t.cones.back() = NonnegativeCone(4);  // the cones cover one row too few
  Result<clarabel::SolveOutput> out = solve_conic(kComponent, *lp.program(), {}, ClarabelOptions{});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), CoreError::Kind::Clarabel);
  EXPECT_EQ(out.error().component(), kComponent);

  // Dimensions whose sum wraps around to the row count are no cover either (the vacuous-row scan
  // must not walk them).
  SmallLp wrapped = lp_with_extra_row(1.0, kNaN);
  wrapped.t.cones.back() = NonnegativeCone(std::numeric_limits<std::size_t>::max());
  wrapped.t.cones.push_back(NonnegativeCone(6));
  Result<clarabel::SolveOutput> refused = solve_conic(kComponent, *wrapped.program(), {}, ClarabelOptions{});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), CoreError::Kind::Clarabel);
}

TEST(SolveConic, TheSolversOwnLogFollowsTheVerbosity) {
  clarabel::Settings loud = ClarabelOptions::default_settings();
  loud.verbose = true;
  const auto printed = [&](Verbosity v) {
    SmallLp lp = lp_with_extra_row(1.0, 3.0);
    Result<ConicProgram> program = lp.program();
    testing::internal::CaptureStdout();
    Result<clarabel::SolveOutput> out =
        solve_conic(kComponent, *program, {}, ClarabelOptionsBuilder().settings(loud).verbosity(v).build());
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out.ok());
    return text;
  };
  EXPECT_EQ(printed(Verbosity::Summary), "");
  EXPECT_NE(printed(Verbosity::Debug).find("Clarabel"), std::string::npos);
}

// ---- diagnostics helpers ----

TEST(ConicDiagnostics, ValueRangeIgnoresNaNAndIsInvertedWhenEmpty) {
  EXPECT_EQ(value_range(std::vector<double>{}), std::make_pair(kInf, -kInf));
  EXPECT_EQ(value_range(std::vector<double>{kNaN}), std::make_pair(kInf, -kInf));
  EXPECT_EQ(value_range(std::vector<double>{2.0, kNaN, -1.0, 0.5}), std::make_pair(-1.0, 2.0));
}

TEST(ConicDiagnostics, OptionsSnapshotLine) {
  const ClarabelOptions o = ClarabelOptionsBuilder().allow_max_time(true).build();
  EXPECT_EQ(options_snapshot_line("qarn2_socp", o),
            "qarn2_socp: options snapshot -> allow(almost=true, max_iter=false, max_time=true, "
            "callback_term=false, insufficient_progress=false), tol_gap_rel=0.00000001, tol_feas=0.00000001, "
            "max_iter=200, verbose=false");
  const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
  EXPECT_EQ(solution_head(x).size(), 3u);
  EXPECT_EQ(solution_head(std::span<const double>(x).first(2)).size(), 2u);
}

}  // namespace
}  // namespace qarn
