// Spline sampling throughput: 10^6 queries of a 7-axis path up to the third derivative, orders 3
// and 5, on one thread and on every processor. Items per second are axis-queries per second.
#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <random>
#include <vector>

#include "path/path_core.hpp"
#include "path/sampling.hpp"

namespace {

using namespace qarn::path;

constexpr std::size_t kDim = 7;
constexpr std::size_t kWaypoints = 200;
constexpr std::size_t kQueries = 1'000'000;

Path make_path(std::uint64_t order) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Eigen::MatrixXd w(kDim, kWaypoints);
  for (Eigen::Index i = 0; i < w.size(); ++i) w.data()[i] = u(rng);
  SplineConfig config;
  config.order = order;
  return std::move(path_from_interpolating_spline(w, config)).value();
}

// Stations in increasing order, as the station store samples a path, or scattered at random.
std::vector<double> make_queries(bool sorted) {
  std::vector<double> s(kQueries);
  if (sorted) {
    for (std::size_t i = 0; i < kQueries; ++i) s[i] = static_cast<double>(i) / static_cast<double>(kQueries - 1);
  } else {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double& v : s) v = u(rng);
  }
  return s;
}

// Arguments: spline order, threads (0 = every processor), sorted queries (1) or random (0).
void BM_SampleUpTo3rd(benchmark::State& state) {
  const auto order = static_cast<std::uint64_t>(state.range(0));
  const auto threads = static_cast<std::size_t>(state.range(1));
  WorkerPool pool(threads == 0 ? process_worker_pool().concurrency() : threads);
  const Path path = make_path(order);
  const std::vector<double> s = make_queries(state.range(2) != 0);
  for (auto _ : state) {
    auto samples = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd, pool);
    benchmark::DoNotOptimize(samples);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kQueries * kDim));
  state.counters["threads"] = static_cast<double>(pool.concurrency());
  state.counters["axis_queries_per_s_per_thread"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kQueries * kDim) / static_cast<double>(pool.concurrency()),
      benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SampleUpTo3rd)
    ->ArgNames({"order", "threads", "sorted"})
    ->ArgsProduct({{3, 5}, {1, 0}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor under every sampling call: four fresh dim x n output matrices, each element written
// once by the pool (mostly the page faults of the first write). Argument: threads (0 = all).
void BM_OutputFloor(benchmark::State& state) {
  const auto threads = static_cast<std::size_t>(state.range(0));
  WorkerPool pool(threads == 0 ? process_worker_pool().concurrency() : threads);
  for (auto _ : state) {
    SampleMatrix q(kDim, kQueries), dq(kDim, kQueries), ddq(kDim, kQueries), dddq(kDim, kQueries);
    pool.for_each_range(kQueries, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const auto col = static_cast<Eigen::Index>(i);
        q.view().col(col).setConstant(1.0);
        dq.view().col(col).setConstant(2.0);
        ddq.view().col(col).setConstant(3.0);
        dddq.view().col(col).setConstant(4.0);
      }
    });
    benchmark::DoNotOptimize(q.values.data());
    benchmark::DoNotOptimize(dddq.values.data());
  }
  state.counters["threads"] = static_cast<double>(pool.concurrency());
}

BENCHMARK(BM_OutputFloor)->ArgName("threads")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
