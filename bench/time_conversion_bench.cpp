// The time conversions on the third-order benchmarks' 1,000-station path: s -> t and s(t) on a
// 1 ms grid, for the second-order optimum of topp2_ra and the jerk-limited profile of one TOPP3 LP
// around it. Target: the 1 ms grid of the third-order profile in well under a millisecond.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "jerk_limited_robot.hpp"
#include "qarn/qarn2/dp2/topp2_ra.hpp"
#include "qarn/qarn2/interpolation.hpp"
#include "qarn/qarn3/interpolation.hpp"
#include "qarn/qarn3/opt3/topp3_lp.hpp"

namespace {

using namespace qarn;

constexpr double kGridStep = 1e-3;

struct Profiles {
  std::vector<double> s;
  std::vector<double> a2, t_s2;  // second order
  qarn3::Topp3Profile p3;
  std::vector<double> t_s3;

  Profiles() {
    const std::unique_ptr<Robot> robot = bench::jerk_limited_robot();
    Constraints& c = robot->constraints();
    Result<std::vector<double>> stations = c.s_values(0, bench::kStations);
    if (!stations) std::abort();
    s = std::move(*stations);
    Result<std::vector<double>> a = qarn2::topp2_ra({c, 0, bench::kStations - 1, 0.0, 0.0}, {});
    if (!a) std::abort();
    a2 = std::move(*a);
    Result<StationTimes> times2 = qarn2::s_to_t_topp2(s, a2, 0.0);
    if (!times2) std::abort();
    t_s2 = std::move(times2->t_s);

    Result<qarn3::Topp3Problem> problem =
        qarn3::Topp3ProblemBuilder{c, {.a_linearization = a2}}.build_with_linearization();
    if (!problem) std::abort();
    Result<qarn3::Topp3Profile> profile = qarn3::topp3_lp_entry(*problem, ClarabelOptions{});
    if (!profile) std::abort();
    p3 = std::move(*profile);
    Result<StationTimes> times3 = qarn3::s_to_t_topp3(s, p3, 0.0);
    if (!times3) std::abort();
    t_s3 = std::move(times3->t_s);
  }
};

const Profiles& profiles() {
  static const Profiles p;
  return p;
}

void BM_SToTTopp2(benchmark::State& state) {
  const Profiles& p = profiles();
  for (auto _ : state) benchmark::DoNotOptimize(qarn2::s_to_t_topp2(p.s, p.a2, 0.0));
}
BENCHMARK(BM_SToTTopp2)->Unit(benchmark::kMicrosecond);

void BM_TToSTopp2Uniform(benchmark::State& state) {
  const Profiles& p = profiles();
  for (auto _ : state) {
    auto out = qarn2::t_to_s_topp2(p.s, p.a2, p.t_s2, UniformTimes{0.0, kGridStep, true});
    state.counters["samples"] = out ? static_cast<double>(out->size()) : 0;
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_TToSTopp2Uniform)->Unit(benchmark::kMicrosecond);

void BM_SToTTopp3(benchmark::State& state) {
  const Profiles& p = profiles();
  for (auto _ : state) benchmark::DoNotOptimize(qarn3::s_to_t_topp3(p.s, p.p3, 0.0));
}
BENCHMARK(BM_SToTTopp3)->Unit(benchmark::kMicrosecond);

void BM_TToSTopp3Uniform(benchmark::State& state) {
  const Profiles& p = profiles();
  for (auto _ : state) {
    auto out = qarn3::t_to_s_topp3(p.s, p.p3, p.t_s3, UniformTimes{0.0, kGridStep, true});
    state.counters["samples"] = out ? static_cast<double>(out->size()) : 0;
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_TToSTopp3Uniform)->Unit(benchmark::kMicrosecond);

}  // namespace
