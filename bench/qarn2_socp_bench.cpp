// QARN2 with one Time objective on 1,000 stations of a 7-axis path with velocity and acceleration
// limits: the assembly (three stages, the compressed-column build and the references of reachability)
// apart, then the whole solve. Assembly should stay well under a tenth of the solver's time.
#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <cmath>
#include <memory>
#include <vector>

#include "qarn/conic/options.hpp"
#include "qarn/conic/scaling.hpp"
#include "qarn/conic/solve.hpp"
#include "qarn/qarn2/opt2/qarn2_socp.hpp"
#include "robot/robot_core.hpp"

namespace {

using namespace qarn;
using namespace qarn::qarn2;

constexpr std::size_t kStations = 1000;
constexpr std::size_t kAxes = 7;

// q_j(s) = sin(w_j s + p_j) over s in [0, 1], limits |dq/dt| <= 1 + 0.1 j and |ddq/dt^2| <= 2 + 0.3 j.
std::unique_ptr<Robot> seven_axis_robot() {
  auto robot = std::make_unique<Robot>(kAxes, kStations);
  Constraints& c = robot->constraints();
  std::vector<double> s(kStations);
  for (std::size_t k = 0; k < kStations; ++k) s[k] = static_cast<double>(k) / static_cast<double>(kStations - 1);
  if (!c.append_s(s).ok()) std::abort();
  const Eigen::Index n = static_cast<Eigen::Index>(kStations);
  Eigen::MatrixXd q(kAxes, n), dq(kAxes, n), ddq(kAxes, n), v(kAxes, n), acc(kAxes, n);
  for (Eigen::Index j = 0; j < static_cast<Eigen::Index>(kAxes); ++j) {
    const double w = 1.0 + 0.7 * static_cast<double>(j), p = 0.3 * static_cast<double>(j);
    for (Eigen::Index k = 0; k < n; ++k) {
      const double x = w * s[static_cast<std::size_t>(k)] + p;
      q(j, k) = std::sin(x);
      dq(j, k) = w * std::cos(x);
      ddq(j, k) = -w * w * std::sin(x);
    }
    v.row(j).setConstant(1.0 + 0.1 * static_cast<double>(j));
    acc.row(j).setConstant(2.0 + 0.3 * static_cast<double>(j));
  }
  if (!c.set_q(q, dq, ddq, std::nullopt, 0).ok()) std::abort();
  if (!robot->add_velocity_limits(v, -v, 0).ok()) std::abort();
  if (!robot->add_acceleration_limits(acc, -acc, 0).ok()) std::abort();
  return robot;
}

const std::vector<ObjectiveView> kTime{{ObjectiveKind::Time, 1.0, {}, {}}};

Qarn2Problem problem_of(const Robot& robot) { return {robot, kTime, 0, kStations - 1, 0.0, 0.0}; }

// The program with the magnitudes of its columns (the references come from reachability).
PreparedProgram assemble(const Qarn2Problem& p) {
  Result<PreparedProgram> program = qarn2_program(p);
  if (!program) std::abort();
  return std::move(*program);
}

void BM_Qarn2Assembly(benchmark::State& state) {
  const auto robot = seven_axis_robot();
  const Qarn2Problem p = problem_of(*robot);
  for (auto _ : state) {
    PreparedProgram prepared = assemble(p);
    benchmark::DoNotOptimize(prepared.program.A.nzval.data());
    state.counters["rows"] = static_cast<double>(prepared.program.rows());
    state.counters["nnz"] = static_cast<double>(prepared.program.A.nzval.size());
  }
}
BENCHMARK(BM_Qarn2Assembly)->Unit(benchmark::kMillisecond);

void BM_Qarn2SolverCall(benchmark::State& state) {
  const auto robot = seven_axis_robot();
  const Qarn2Problem p = problem_of(*robot);
  const PreparedProgram prepared = assemble(p);
  const ClarabelOptions options;
  for (auto _ : state) {
    Result<clarabel::SolveOutput> out =
        solve_conic("qarn2_socp", prepared.program, prepared.column_scales, options, prepared.cost_scale);
    if (out) state.counters["clarabel_ms"] = out->solve_time * 1e3;
    if (!out || out->status != SolverStatus::Solved) state.SkipWithError("not solved");
    benchmark::DoNotOptimize(out);
    if (out) state.counters["iterations"] = out->iterations;
  }
}
BENCHMARK(BM_Qarn2SolverCall)->Unit(benchmark::kMillisecond);

// The scale stage alone: factors and the scaled program (part of the solver call above).
void BM_Qarn2ScaleStage(benchmark::State& state) {
  const auto robot = seven_axis_robot();
  const Qarn2Problem p = problem_of(*robot);
  const PreparedProgram prepared = assemble(p);
  for (auto _ : state) {
    ScaledProgram scaled = scale_program(prepared.program, prepared.column_scales);
    benchmark::DoNotOptimize(scaled.program.A.nzval.data());
  }
}
BENCHMARK(BM_Qarn2ScaleStage)->Unit(benchmark::kMillisecond);

void BM_Qarn2SocpWhole(benchmark::State& state) {
  const auto robot = seven_axis_robot();
  const Qarn2Problem p = problem_of(*robot);
  const ClarabelOptions options;
  double clarabel_seconds = 0.0;
  for (auto _ : state) {
    Result<Qarn2SocpOutcome> out = qarn2_socp(p, options);
    if (!out || !out->profile) state.SkipWithError("no profile");
    if (out) clarabel_seconds += out->solve_time;
    benchmark::DoNotOptimize(out);
  }
  // Clarabel's own solve time per call; the whole time minus it is the overhead of the flow.
  state.counters["clarabel_ms"] = benchmark::Counter(clarabel_seconds * 1e3, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Qarn2SocpWhole)->Unit(benchmark::kMillisecond);

}  // namespace
