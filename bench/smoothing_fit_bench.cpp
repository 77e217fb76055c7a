// Tolerance-fit time against the waypoint count (100 to 100,000) for 3 and 6 axes, tolerance 1e-3:
// a smooth curve with noise (few refinements) and a random walk with sharp turns everywhere
// (refinement passes over the whole path). The cost should grow about linearly with the count.
#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <cmath>
#include <random>

#include "path/smoothing.hpp"

namespace {

using namespace qarn::path;

enum Data { kNoisyCurve = 0, kRandomWalk = 1 };

Eigen::MatrixXd make_waypoints(std::size_t dim, std::size_t n, int data) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal(0.0, 1.0);
  Eigen::MatrixXd w(static_cast<Eigen::Index>(dim), static_cast<Eigen::Index>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const double s = static_cast<double>(i) / static_cast<double>(n - 1);
    for (std::size_t a = 0; a < dim; ++a) {
      const auto row = static_cast<Eigen::Index>(a);
      const auto col = static_cast<Eigen::Index>(i);
      if (data == kNoisyCurve) {
        w(row, col) = std::sin(3.0 * static_cast<double>(a + 1) * s) + 2e-4 * normal(rng);
      } else {
        w(row, col) = (i == 0 ? 0.0 : w(row, col - 1)) + 1e-2 * normal(rng);
      }
    }
  }
  return w;
}

// Arguments: waypoints, axes, data (0 noisy curve, 1 random walk).
void BM_FitWaypoints(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto dim = static_cast<std::size_t>(state.range(1));
  const Eigen::MatrixXd w = make_waypoints(dim, n, static_cast<int>(state.range(2)));
  SmoothingConfig config;
  config.max_segments = 100'000'000;  // dense data needs more spans than the default budget
  SmoothingReport report;
  for (auto _ : state) {
    auto fitted = fit_waypoints_with_tolerance(w, config);
    if (!fitted) {
      state.SkipWithError(fitted.error().display().c_str());
      return;
    }
    report = fitted->report;
    benchmark::DoNotOptimize(fitted);
  }
  state.counters["segments"] = static_cast<double>(report.segments);
  state.counters["refinements"] = static_cast<double>(report.refinements);
  state.counters["us_per_waypoint"] = benchmark::Counter(
      static_cast<double>(state.iterations() * n), benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
      benchmark::Counter::kIs1000);
}

BENCHMARK(BM_FitWaypoints)
    ->ArgNames({"waypoints", "axes", "walk"})
    ->ArgsProduct({{100, 1'000, 10'000, 100'000}, {3, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
