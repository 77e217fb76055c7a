// The progress lines of a small TOPP3 LP, TOPP3 SOCP and QARN3 solve at every verbosity level.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "qarn/qarn3/opt3/qarn3_socp.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"
#include "qarn/qarn3/opt3/topp3_socp.hpp"
#include "qarn2/topp2_test_support.hpp"
#include "qarn3/topp3_test_support.hpp"

namespace qarn::qarn3 {
namespace {

// Seven stations of a straight line, rest to rest with one stationary interval at each end; the
// solve runs on the built problem (QARN3 with one Time objective).
template <Result<Qarn3SocpResult> (*Solve)(const Topp3Problem&, const ClarabelOptions&)>
Result<Qarn3SocpResult> solve_topp3(Robot& robot, std::span<const double> reference, const ClarabelOptions& options) {
  const auto problem = Topp3ProblemBuilder{robot.constraints(), {.a_linearization = reference}}.build_with_linearization();
  return problem ? Solve(*problem, options) : problem.error();
}

Result<Qarn3SocpResult> solve_qarn3(Robot& robot, std::span<const double> reference, const ClarabelOptions& options) {
  static const std::vector<ObjectiveView> time{{ObjectiveKind::Time, 1.0, {}, {}}};
  const auto problem = Qarn3ProblemBuilder{robot, time, {.a_linearization = reference}}.build_with_linearization();
  return problem ? qarn3_socp(*problem, options) : problem.error();
}

template <class Solve>
std::string printed_solve(Solve solve, Verbosity v) {
  const std::vector<double> s = test2::uniform_grid(6, 3.0);
  const auto robot = test3::straight_line(s, {1.0, 1.0, 2.0});
  const std::vector<double> reference(7, 0.5);
  testing::internal::CaptureStdout();
  const auto result = solve(*robot, reference, ClarabelOptionsBuilder().verbosity(v).build());
  std::string text = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(result.ok() && result->profile);
  text = std::regex_replace(text, std::regex(R"(elapsed = [0-9.]+ (ns|us|ms|s)\.)"), "elapsed = <t>.");
  return std::regex_replace(text, std::regex(R"(head=\[.*\])"), "head=[..]");
}

// The lines each level prints, by the line's own text: a line of a level prints at that level
// and above.
Verbosity level_of(const std::string& line) {
  for (const char* summary : {"", " started: ", ": ready to solve ", ": solve done, "}) {
    if (*summary == '\0' ? line.empty() : line.find(summary) != std::string::npos) return Verbosity::Summary;
  }
  for (const char* debug : {": capacity estimate ", "clarabel_standard_constraint_topp3[", ": after objective "}) {
    if (line.find(debug) != std::string::npos) return Verbosity::Debug;
  }
  return Verbosity::Trace;
}

std::string lines_up_to(const std::string& trace, Verbosity v) {
  std::string out;
  std::size_t at = 0;
  while (at < trace.size()) {
    const std::size_t end = trace.find('\n', at);
    const std::string line = trace.substr(at, end - at);
    if (level_of(line) <= v) out += line + "\n";
    at = end + 1;
  }
  return out;
}

// The LP prints the start line after its index-span check, the SOCP before it (both pass here);
// the SOCP adds the qp-aux stage of m = 5 stations. Counts (n = 7, k0 = k1 = 1, two rows of each
// order per station): 4 boundary, 2 junction and 4 trapezoid equalities; 4 junction bounds, 3
// a >= 0, 5 amax rows (the rest stations 0 and 6 too); 12 interval rows, 4 interval velocity rows; 10
// second-order rows at stations 0, 2..4 and 6; 16 jerk rows (stations 1 and 5 one interval each, 2..4 both).
TEST(Topp3Log, EveryLevel) {
  const std::string lp_trace =
      "topp3_lp: options snapshot -> allow(almost=true, max_iter=false, max_time=false, callback_term=false, insufficient_progress=false), tol_gap_rel=0.00000001, tol_feas=0.00000001, max_iter=200, verbose=false\n"
      "\n"
      "topp3_lp started: 0 <= idx_s <= 6, s_len = 7, num_stationary=(1, 1).\n"
      "topp3_lp: capacity estimate standard(val=206, b=88, cone=2), n_var=14\n"
      "topp3_lp: allocated capacities row/col/val/b/cones <= 206/206/206/88/2\n"
      "clarabel_standard_constraint_topp3[boundary]: row=4, col=4, val=4, b=4, cones=0\n"
      "clarabel_standard_constraint_topp3[dynamic+zero_cone]: row=24, col=24, val=24, b=10, cones=1\n"
      "clarabel_standard_constraint_topp3[first_order]: row=36, col=36, val=36, b=22, cones=1\n"
      "clarabel_standard_constraint_topp3[interval_first_order]: row=72, col=72, val=72, b=38, cones=1\n"
      "clarabel_standard_constraint_topp3[second_order]: row=92, col=92, val=92, b=48, cones=1\n"
      "clarabel_standard_constraint_topp3[third_order+final_nonnegative]: row=140, col=140, val=140, b=64, cones=2\n"
      "topp3_lp: standard-constraints delta row/col/val/b/cones = +140/+140/+140/+64/+2\n"
      "topp3_lp: matrix built with m=64, n=14, A.nnz=140, P.nnz=0, q_range=[-2.474873734152916, 0]\n"
      "topp3_lp: ready to solve with row/col/val/b/cones = 140/140/140/64/2 and n_var = 14.\n"
      "topp3_lp: solve done, status = Solved, elapsed = <t>.\n"
      "topp3_lp: solution x_len=14, head=[..]\n"
      "topp3_lp: allow(status)=true, extracted_profile=Some(Topp3Profile)\n";
  const std::string socp_trace =
      "topp3_socp: options snapshot -> allow(almost=true, max_iter=false, max_time=false, callback_term=false, insufficient_progress=false), tol_gap_rel=0.00000001, tol_feas=0.00000001, max_iter=200, verbose=false\n"
      "\n"
      "topp3_socp started: 0 <= idx_s <= 6, s_len = 7, num_stationary=(1, 1).\n"
      "topp3_socp: capacity estimate lp(val=206, b=88, cone=2), qp(val=63, b=56, cone=15), n_var=24\n"
      "topp3_socp: allocated capacities row/col/val/b/cones <= 269/269/269/144/17\n"
      "clarabel_standard_constraint_topp3[boundary]: row=4, col=4, val=4, b=4, cones=0\n"
      "clarabel_standard_constraint_topp3[dynamic+zero_cone]: row=24, col=24, val=24, b=10, cones=1\n"
      "clarabel_standard_constraint_topp3[first_order]: row=36, col=36, val=36, b=22, cones=1\n"
      "clarabel_standard_constraint_topp3[interval_first_order]: row=72, col=72, val=72, b=38, cones=1\n"
      "clarabel_standard_constraint_topp3[second_order]: row=92, col=92, val=92, b=48, cones=1\n"
      "clarabel_standard_constraint_topp3[third_order+final_nonnegative]: row=140, col=140, val=140, b=64, cones=2\n"
      "topp3_socp: standard-constraints delta row/col/val/b/cones = +140/+140/+140/+64/+2\n"
      "topp3_socp: qp-aux delta row/col/val/b/cones = +45/+45/+45/+40/+11\n"
      "topp3_socp: matrix built with m=104, n=24, A.nnz=185, P.nnz=0, q_range=[0, 1.75]\n"
      "topp3_socp: ready to solve with row/col/val/b/cones = 185/185/185/104/13 and n_var = 24.\n"
      "topp3_socp: solve done, status = Solved, elapsed = <t>.\n"
      "topp3_socp: solution x_len=24, head=[..]\n"
      "topp3_socp: allow(status)=true, extracted_profile=Some(Topp3Profile)\n";
  // QARN3 with Time: a sqrt-a stage and a Time objective of m = 5 stations each (their own
  // nonnegative cones); the estimate per Time objective is 5N entries, 4N right-hand sides, N cones.
  const std::string qarn3_trace =
      "qarn3_socp: options snapshot -> allow(almost=true, max_iter=false, max_time=false, callback_term=false, insufficient_progress=false), tol_gap_rel=0.00000001, tol_feas=0.00000001, max_iter=200, verbose=false\n"
      "\n"
      "qarn3_socp started: 0 <= idx_s <= 6, objectives = 1, s_len = 7.\n"
      "qarn3_socp: capacity estimate std(val=206, b=88, cone=2), obj(val=54, b=48, cone=12), n_vars=20.\n"
      "qarn3_socp: allocated capacities row/col/val/b/cones <= 260/260/260/136/14\n"
      "clarabel_standard_constraint_topp3[boundary]: row=4, col=4, val=4, b=4, cones=0\n"
      "clarabel_standard_constraint_topp3[dynamic+zero_cone]: row=24, col=24, val=24, b=10, cones=1\n"
      "clarabel_standard_constraint_topp3[first_order]: row=36, col=36, val=36, b=22, cones=1\n"
      "clarabel_standard_constraint_topp3[interval_first_order]: row=72, col=72, val=72, b=38, cones=1\n"
      "clarabel_standard_constraint_topp3[second_order]: row=92, col=92, val=92, b=48, cones=1\n"
      "clarabel_standard_constraint_topp3[third_order+final_nonnegative]: row=140, col=140, val=140, b=64, cones=2\n"
      "qarn3_socp: standard-constraints delta row/col/val/b/cones = +140/+140/+140/+64/+2\n"
      "qarn3_socp: sqrt-a stage delta row/col/val/b/cones = +20/+20/+20/+20/+6, n_var_old=19\n"
      "qarn3_socp: objective stage delta row/col/val/b/cones/q = +25/+25/+25/+20/+6/+5, q_range=[0, 1.75]\n"
      "qarn3_socp: after objective assembly row=185, col=185, val=185, b=104, cones=14, q=24\n"
      "qarn3_socp: matrix built with m=104, n=24, A.nnz=185, P.nnz=0\n"
      "qarn3_socp: ready to solve with row/col/val/b/cones = 185/185/185/104/14 and n_var = 24.\n"
      "qarn3_socp: solve done, status = Solved, elapsed = <t>.\n"
      "qarn3_socp: solution x_len=24, head=[..]\n"
      "qarn3_socp: allow(status)=true, extracted_profile=Some(Topp3Profile)\n";
  for (const Verbosity v : {Verbosity::Silent, Verbosity::Summary, Verbosity::Debug, Verbosity::Trace}) {
    EXPECT_EQ(printed_solve(solve_topp3<topp3_lp>, v), lines_up_to(lp_trace, v)) << static_cast<int>(v);
    EXPECT_EQ(printed_solve(solve_topp3<topp3_socp>, v), lines_up_to(socp_trace, v)) << static_cast<int>(v);
    EXPECT_EQ(printed_solve(solve_qarn3, v), lines_up_to(qarn3_trace, v)) << static_cast<int>(v);
  }
}

}  // namespace
}  // namespace qarn::qarn3
