// Time-optimal second-order profile on a 7-axis path with velocity and acceleration limits
// (14 second-order rows per station): the whole solve, and its backward pass alone.
// Reported per station through the items-per-second counter.
#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <optional>
#include <random>
#include <vector>

#include "../tests/cpp/qarn2/sine_path.hpp"
#include "qarn/constraints.hpp"
#include "qarn/problem2.hpp"
#include "qarn/qarn2/dp2/reach_set2.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"

namespace {

constexpr Eigen::Index kAxes = 7;

// The random seven-axis path of the second-order tests, sampled at `stations` stations.
qarn::Constraints seven_axis_store(std::size_t stations) {
  std::mt19937_64 rng(2024);
  const qarn::test2::SinePath path = qarn::test2::sine_path(rng, kAxes, stations - 1);
  const auto n = static_cast<Eigen::Index>(stations);
  qarn::Constraints store = qarn::Constraints::with_capacity(kAxes, stations);
  (void)store.append_s(path.s);
  (void)store.set_q(path.q, path.dq, path.ddq, std::nullopt, 0);
  const Eigen::MatrixXd v = Eigen::MatrixXd::Constant(kAxes, n, 2.0);
  const Eigen::MatrixXd acc = Eigen::MatrixXd::Constant(kAxes, n, 5.0);
  (void)store.add_velocity_limits(v, -v, 0);
  (void)store.add_acceleration_limits(acc, -acc, 0);
  return store;
}

template <class Solve>
void run(benchmark::State& state, Solve&& solve) {
  const auto stations = static_cast<std::size_t>(state.range(0));
  const qarn::Constraints store = seven_axis_store(stations);
  const qarn::Topp2Problem problem{store, 0, stations - 1, 0.0, 0.0};
  const qarn::qarn2::ReachSet2Options options;
  for (auto _ : state) {
    auto result = solve(problem, options);
    if (!result.ok()) state.SkipWithError("solve failed");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(stations));
  // Seconds per station (printed with an SI prefix, e.g. 250n).
  state.counters["per_station"] = benchmark::Counter(
      static_cast<double>(stations), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Topp2Ra(benchmark::State& state) { run(state, qarn::qarn2::topp2_ra); }
void BM_ReachSet2Backward(benchmark::State& state) { run(state, qarn::qarn2::reach_set2_backward); }
void BM_ReachSet2Bidirectional(benchmark::State& state) { run(state, qarn::qarn2::reach_set2_bidirectional); }

BENCHMARK(BM_Topp2Ra)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReachSet2Backward)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReachSet2Bidirectional)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
