// The Clarabel bridge end to end: small programs with optima known in closed form, Clarabel's
// own refusals, caught panics, status numbering, defaults read from the crate, and silence.
#include "qarn/clarabel_bridge.hpp"

#include <clarabel_ffi.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace qarn::clarabel {
namespace {

constexpr double kTol = 1e-6;
constexpr const char* kComponent = "bridge_test";

// Compressed-column form of a dense row-major matrix, skipping zeros.
CscMatrix csc(const std::vector<std::vector<double>>& rows) {
  CscMatrix a = CscMatrix::zeros(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (std::size_t j = 0; j < a.n; ++j) {
    for (std::size_t i = 0; i < a.m; ++i) {
      if (rows[i][j] != 0.0) {
        a.rowval.push_back(i);
        a.nzval.push_back(rows[i][j]);
      }
    }
    a.colptr[j + 1] = a.rowval.size();
  }
  return a;
}

Settings quiet() {
  Settings s = Settings::defaults();
  s.verbose = false;
  return s;
}

void expect_near(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], kTol) << "entry " << i;
}

// min -x1 - x2 + 2 x3  s.t.  x3 = 0.5,  x1 + 2 x2 <= 4,  3 x1 + x2 <= 6,  x1, x2 >= 0.
// The two coupling rows meet at (1.6, 1.2), where (1, 1) = 0.4 (1, 2) + 0.2 (3, 1) with positive
// multipliers, so that vertex is the unique optimum, objective -2.8 + 1 = -1.8. Stationarity
// q + A'z = 0 gives z = (-2, 0.4, 0.2, 0, 0); s = b - Ax = (0, 0, 0, 1.6, 1.2).
struct Lp {
  CscMatrix P = CscMatrix::zeros(3, 3);
  std::vector<double> q{-1.0, -1.0, 2.0};
  CscMatrix A = csc({{0, 0, 1}, {1, 2, 0}, {3, 1, 0}, {-1, 0, 0}, {0, -1, 0}});
  std::vector<double> b{0.5, 4.0, 6.0, 0.0, 0.0};
  // The empty cone in the middle covers no row.
  std::vector<Cone> cones{{ConeKind::Zero, 1}, {ConeKind::Nonnegative, 0}, {ConeKind::Nonnegative, 4}};

  Result<SolveOutput> solve(const Settings& settings) const {
    return clarabel::solve(kComponent, settings, P, q, A, b, cones);
  }
};

TEST(ClarabelBridge, LinearProgramReachesItsVertex) {
  const auto out = Lp{}.solve(quiet());
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::Solved);
  expect_near(out->x, {1.6, 1.2, 0.5});
  expect_near(out->z, {-2.0, 0.4, 0.2, 0.0, 0.0});
  expect_near(out->s, {0.0, 0.0, 0.0, 1.6, 1.2});
  EXPECT_NEAR(out->obj_val, -1.8, kTol);
  EXPECT_NEAR(out->obj_val_dual, -1.8, kTol);
  EXPECT_GT(out->iterations, 0u);
  EXPECT_LT(out->r_prim, 1e-8);
  EXPECT_LT(out->r_dual, 1e-8);
  EXPECT_GT(out->solve_time, 0.0);
  EXPECT_TRUE(out->linsolver.direct);
  EXPECT_EQ(out->linsolver.method, "qdldl");
  EXPECT_EQ(out->linsolver.threads, 1u);
  // The KKT matrix is (n + m) square with a stored diagonal; its factor has entries too.
  EXPECT_GE(out->linsolver.nnz_a, 3u + 5u);
  EXPECT_GT(out->linsolver.nnz_l, 0u);
}

// min t  s.t.  x1 + x2 = 0,  |(x1 - 1, x2 - 2)| <= t: the distance from (1, 2) to the line
// x1 + x2 = 0, reached at its projection (-0.5, 0.5), is 3 / sqrt(2).
// Rows: s0 = 0 - (x1 + x2) in the zero cone; (s1, s2, s3) = (t, x1 - 1, x2 - 2) in SOC(3).
TEST(ClarabelBridge, SecondOrderConeProgramFindsTheNearestPoint) {
  const CscMatrix P = CscMatrix::zeros(3, 3);
  const std::vector<double> q{1.0, 0.0, 0.0};  // variables (t, x1, x2)
  const CscMatrix A = csc({{0, 1, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}});
  const std::vector<double> b{0.0, 0.0, -1.0, -2.0};
  const std::vector<Cone> cones{{ConeKind::Zero, 1}, {ConeKind::SecondOrder, 0}, {ConeKind::SecondOrder, 3}};

  const auto out = solve(kComponent, quiet(), P, q, A, b, cones);
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::Solved);
  const double dist = 3.0 / std::sqrt(2.0);
  expect_near(out->x, {dist, -0.5, 0.5});
  expect_near(out->s, {0.0, dist, -1.5, -1.5});
  EXPECT_NEAR(out->obj_val, dist, kTol);
}

// min x1^2 + x2^2 (P = 2 I, quadratic term 1/2 x'Px)  s.t.  x1 + x2 = 1: x = (0.5, 0.5), value 0.5.
TEST(ClarabelBridge, QuadraticCostGoesThroughP) {
  const CscMatrix P = csc({{2, 0}, {0, 2}});
  const std::vector<double> q{0.0, 0.0};
  const CscMatrix A = csc({{1, 1}});
  const std::vector<double> b{1.0};
  const std::vector<Cone> cones{{ConeKind::Zero, 1}};

  const auto out = solve(kComponent, quiet(), P, q, A, b, cones);
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::Solved);
  expect_near(out->x, {0.5, 0.5});
  EXPECT_NEAR(out->obj_val, 0.5, kTol);
}

TEST(ClarabelBridge, FaerAndQdldlAreBothAvailable) {
  for (const char* method : {"faer", "qdldl"}) {
    Settings settings = quiet();
    settings.direct_solve_method = method;
    const auto out = Lp{}.solve(settings);
    ASSERT_TRUE(out.ok()) << method << ": " << out.error().display();
    EXPECT_EQ(out->status, SolverStatus::Solved) << method;
    EXPECT_EQ(out->linsolver.method, method);
    expect_near(out->x, {1.6, 1.2, 0.5});
  }
}

// Each status comes back with Clarabel's number and therefore its name.
TEST(ClarabelBridge, StatusesKeepClarabelsNumbering) {
  Settings one_iteration = quiet();
  one_iteration.max_iter = 1;
  const auto capped = Lp{}.solve(one_iteration);
  ASSERT_TRUE(capped.ok());
  EXPECT_EQ(static_cast<int>(capped->status), 7);
  EXPECT_EQ(status_name(capped->status), "MaxIterations");
  EXPECT_EQ(capped->iterations, 1u);
  EXPECT_EQ(capped->x.size(), 3u);  // the iterate is reported whatever the status

  Settings no_time = quiet();
  no_time.time_limit = 0.0;
  const auto timed_out = Lp{}.solve(no_time);
  ASSERT_TRUE(timed_out.ok());
  EXPECT_EQ(static_cast<int>(timed_out->status), 8);
  EXPECT_EQ(status_name(timed_out->status), "MaxTime");

  // x <= -1 and x >= 0.
  const auto infeasible = solve(kComponent, quiet(), CscMatrix::zeros(1, 1), std::vector<double>{1.0},
                                csc({{1}, {-1}}), std::vector<double>{-1.0, 0.0},
                                std::vector<Cone>{{ConeKind::Nonnegative, 2}});
  ASSERT_TRUE(infeasible.ok());
  EXPECT_EQ(static_cast<int>(infeasible->status), 2);
  EXPECT_EQ(status_name(infeasible->status), "PrimalInfeasible");

  // min -x subject to x >= 0.
  const auto unbounded = solve(kComponent, quiet(), CscMatrix::zeros(1, 1), std::vector<double>{-1.0},
                               csc({{-1}}), std::vector<double>{0.0}, std::vector<Cone>{{ConeKind::Nonnegative, 1}});
  ASSERT_TRUE(unbounded.ok());
  EXPECT_EQ(static_cast<int>(unbounded->status), 3);
  EXPECT_EQ(status_name(unbounded->status), "DualInfeasible");
}

void expect_clarabel_error(const Result<SolveOutput>& out, const std::string& text) {
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), CoreError::Kind::Clarabel);
  EXPECT_EQ(out.error().component(), kComponent);
  EXPECT_EQ(out.error().message(), text);
  EXPECT_EQ(out.error().display(), std::string(kComponent) + " reported an error in Clarabel solver: " + text);
}

TEST(ClarabelBridge, RefusalsCarryClarabelsOwnText) {
  Lp short_b;
  short_b.b.pop_back();
  short_b.cones.back().dim = 3;
  expect_clarabel_error(short_b.solve(quiet()), "Bad input data: A and b incompatible dimensions");

  Lp extra_cone_row;
  extra_cone_row.cones.back().dim = 5;
  expect_clarabel_error(extra_cone_row.solve(quiet()),
                        "Bad input data: Constraint dimensions inconsistent with size of cones");

  Lp long_q;
  long_q.q.push_back(0.0);
  expect_clarabel_error(long_q.solve(quiet()), "Bad input data: A and q incompatible dimensions");

  Lp wide_p;
  wide_p.P = CscMatrix::zeros(3, 4);
  expect_clarabel_error(wide_p.solve(quiet()), "Bad input data: P and q incompatible dimensions");

  Lp tall_p;
  tall_p.P = CscMatrix::zeros(4, 3);
  expect_clarabel_error(tall_p.solve(quiet()), "Bad input data: P not square");

  Settings unknown_method = quiet();
  unknown_method.direct_solve_method = "foo";
  expect_clarabel_error(Lp{}.solve(unknown_method), "Bad settings: Bad value for field \"direct_solve_method\"");

  Settings indirect = quiet();
  indirect.direct_kkt_solver = false;
  expect_clarabel_error(Lp{}.solve(indirect), "Bad settings: Bad value for field \"direct_kkt_solver\"");
}

// Cone dimensions whose sum wraps around a machine word must not slip past the row count.
TEST(ClarabelBridge, OverflowingConeDimensionsAreRefused) {
  Lp lp;
  lp.cones = {{ConeKind::Nonnegative, std::numeric_limits<std::size_t>::max()}, {ConeKind::Zero, 6}};
  expect_clarabel_error(lp.solve(quiet()), "Bad input data: Constraint dimensions inconsistent with size of cones");
}

// A pivot forced to zero (regularisation that replaces every pivot by 0) makes Clarabel's QDLDL
// wrapper panic; the panic must come back as an error, silently, and the process live on.
TEST(ClarabelBridge, PanicInsideClarabelBecomesAnError) {
  Settings zero_pivots = quiet();
  zero_pivots.direct_solve_method = "qdldl";
  zero_pivots.dynamic_regularization_eps = std::numeric_limits<double>::infinity();
  zero_pivots.dynamic_regularization_delta = 0.0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const auto out = Lp{}.solve(zero_pivots);
  const std::string printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), CoreError::Kind::Clarabel);
  EXPECT_EQ(out.error().message().rfind("Clarabel panicked: ", 0), 0u) << out.error().message();
  EXPECT_NE(out.error().message().find("ZeroPivot"), std::string::npos) << out.error().message();
  EXPECT_EQ(printed, "");

  // The library is still usable afterwards.
  const auto again = Lp{}.solve(quiet());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->status, SolverStatus::Solved);
}

void expect_malformed(const Lp& lp, const std::string& text) {
  const auto out = lp.solve(quiet());
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), CoreError::Kind::Other);
  EXPECT_EQ(out.error().message(), text);
}

// Clarabel indexes sparse data unchecked, so malformed matrices are stopped at the bridge.
TEST(ClarabelBridge, MalformedMatricesAreRefusedBeforeClarabel) {
  Lp row_out_of_range;
  row_out_of_range.A.rowval[0] = 5;
  expect_malformed(row_out_of_range, "A is not a valid compressed-column matrix: Row value exceeds the matrix row dimension");

  Lp unsorted;  // column 0 holds rows 1, 2, 3: swap the first two
  std::swap(unsorted.A.rowval[0], unsorted.A.rowval[1]);
  expect_malformed(unsorted, "A is not a valid compressed-column matrix: Data is not sorted by row index within each column");

  Lp short_colptr;
  short_colptr.P.colptr.pop_back();
  expect_malformed(short_colptr,
                   "P is not a valid compressed-column matrix: Matrix dimension fields and/or array lengths are incompatible");

  Lp decreasing_colptr;
  decreasing_colptr.A.colptr[2] = 2;  // colptr (0, 3, 2, 7)
  expect_malformed(decreasing_colptr, "A is not a valid compressed-column matrix: Bad column pointer values");

  Lp missing_value;
  missing_value.A.nzval.pop_back();
  expect_malformed(missing_value,
                   "A is not a valid compressed-column matrix: Matrix dimension fields and/or array lengths are incompatible");
}

// Clarabel does not check for nonfinite data; a NaN cost ends in a numerical-error status rather
// than a crash or a claimed solution.
TEST(ClarabelBridge, NonfiniteDataEndsInAStatus) {
  Lp nan_cost;
  nan_cost.q[0] = std::numeric_limits<double>::quiet_NaN();
  const auto out = nan_cost.solve(quiet());
  ASSERT_TRUE(out.ok()) << out.error().display();
  EXPECT_EQ(out->status, SolverStatus::NumericalError);
}

// Clarabel's own documented defaults, every field checked.
TEST(ClarabelBridge, DefaultsComeFromTheCrate) {
  const Settings d = Settings::defaults();
  EXPECT_EQ(d.max_iter, 200u);
  EXPECT_EQ(d.time_limit, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(d.verbose);
  EXPECT_EQ(d.max_step_fraction, 0.99);
  EXPECT_EQ(d.tol_gap_abs, 1e-8);
  EXPECT_EQ(d.tol_gap_rel, 1e-8);
  EXPECT_EQ(d.tol_feas, 1e-8);
  EXPECT_EQ(d.tol_infeas_abs, 1e-8);
  EXPECT_EQ(d.tol_infeas_rel, 1e-8);
  EXPECT_EQ(d.tol_ktratio, 1e-6);
  EXPECT_EQ(d.reduced_tol_gap_abs, 5e-5);
  EXPECT_EQ(d.reduced_tol_gap_rel, 5e-5);
  EXPECT_EQ(d.reduced_tol_feas, 1e-4);
  EXPECT_EQ(d.reduced_tol_infeas_abs, 5e-12);
  EXPECT_EQ(d.reduced_tol_infeas_rel, 5e-5);
  EXPECT_EQ(d.reduced_tol_ktratio, 1e-4);
  EXPECT_TRUE(d.equilibrate_enable);
  EXPECT_EQ(d.equilibrate_max_iter, 10u);
  EXPECT_EQ(d.equilibrate_min_scaling, 1e-4);
  EXPECT_EQ(d.equilibrate_max_scaling, 1e4);
  EXPECT_EQ(d.linesearch_backtrack_step, 0.8);
  EXPECT_EQ(d.min_switch_step_length, 0.1);
  EXPECT_EQ(d.min_terminate_step_length, 1e-4);
  EXPECT_EQ(d.max_threads, 0u);
  EXPECT_TRUE(d.direct_kkt_solver);
  EXPECT_EQ(d.direct_solve_method, "auto");
  EXPECT_TRUE(d.static_regularization_enable);
  EXPECT_EQ(d.static_regularization_constant, 1e-8);
  EXPECT_EQ(d.static_regularization_proportional, 4.930380657631324e-32);
  EXPECT_TRUE(d.dynamic_regularization_enable);
  EXPECT_EQ(d.dynamic_regularization_eps, 1e-13);
  EXPECT_EQ(d.dynamic_regularization_delta, 2e-7);
  EXPECT_TRUE(d.iterative_refinement_enable);
  EXPECT_EQ(d.iterative_refinement_reltol, 1e-13);
  EXPECT_EQ(d.iterative_refinement_abstol, 1e-12);
  EXPECT_EQ(d.iterative_refinement_max_iter, 10u);
  EXPECT_EQ(d.iterative_refinement_stop_ratio, 5.0);
  EXPECT_TRUE(d.presolve_enable);
  EXPECT_FALSE(d.input_sparse_dropzeros);
}

TEST(ClarabelBridge, OnlyVerboseSettingsPrint) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Lp{}.solve(quiet()).ok());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  Settings verbose = quiet();
  verbose.verbose = true;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Lp{}.solve(verbose).ok());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Clarabel"), std::string::npos);
}

// The raw interface refuses null pointers with a message, and releasing a result is idempotent.
TEST(ClarabelBridgeAbi, NullArgumentsAndRepeatedRelease) {
  EXPECT_EQ(clarabel_ffi_solve(nullptr, nullptr, nullptr, nullptr), CLARABEL_FFI_INVALID_ARGUMENT);
  ClarabelFfiResult result;
  EXPECT_EQ(clarabel_ffi_solve(nullptr, nullptr, nullptr, &result), CLARABEL_FFI_INVALID_ARGUMENT);
  ASSERT_NE(result.error.ptr, nullptr);
  EXPECT_EQ(std::string(result.error.ptr, result.error.len),
            "settings, problem and solution buffers must not be null pointers");
  clarabel_ffi_result_free(&result);
  EXPECT_EQ(result.error.ptr, nullptr);
  clarabel_ffi_result_free(&result);
  clarabel_ffi_result_free(nullptr);
  EXPECT_EQ(clarabel_ffi_default_settings(nullptr), CLARABEL_FFI_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace qarn::clarabel
