// Sampling of spline paths: shapes by order, zero queries, the reported failing query, NaN and
// clamped queries, and identical results whatever the number of pool threads.
#include "path/sampling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "path/spline_eval.hpp"
#include "path_test_support.hpp"

namespace qarn::path {
namespace {

using namespace testing;

const Eigen::MatrixXd kWaypoints = waypoints(3, {0, 1, 2, 1, -1, 0, 3, 0, 1, 2, 2, -2, 5, 1, 0});

std::vector<double> random_queries(std::size_t n, double lo, double hi, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> s(n);
  for (double& v : s) v = u(rng);
  return s;
}

TEST(PathSampling, OrderDecidesWhichMatricesArePresent) {
  const Path path = spline_path(kWaypoints, spline_config(5));
  const std::vector<double> s{0.0, 0.3, 1.0};
  const auto q = evaluate_path_samples(path, s, DerivativeOrder::Q);
  ASSERT_TRUE(q.ok());
  EXPECT_EQ(q->q.view().rows(), 3);
  EXPECT_EQ(q->q.view().cols(), 3);
  EXPECT_FALSE(q->dq || q->ddq || q->dddq);
  const auto two = evaluate_path_samples(path, s, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(two.ok());
  EXPECT_TRUE(two->dq && two->ddq);
  EXPECT_FALSE(two->dddq);
  const auto three = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(three.ok());
  EXPECT_TRUE(three->dq && three->ddq && three->dddq);
  EXPECT_EQ(three->dddq->view().cols(), 3);
}

TEST(PathSampling, ZeroQueriesGiveEmptyColumns) {
  const Path path = spline_path(kWaypoints, spline_config(3));
  const auto r = evaluate_path_samples(path, {}, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->q.view().rows(), 3);
  EXPECT_EQ(r->q.view().cols(), 0);
  EXPECT_EQ(r->dddq->view().rows(), 3);
  EXPECT_EQ(r->dddq->view().cols(), 0);
}

TEST(PathSampling, ColumnsHoldEachQueryAsTheSingleQueryKernelGivesIt) {
  const Path path = spline_path(kWaypoints, spline_config(7, -1.0, 1.0));
  const auto s = random_queries(100, -1.0, 1.0, 3);
  const auto r = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(r.ok());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::vector<double> q(3), dq(3), ddq(3), dddq(3);
    ASSERT_TRUE(eval_spline_chunk_up_to_3rd(path, i, s[i], q, dq, ddq, dddq).ok());
    for (std::size_t a = 0; a < 3; ++a) {
      // Axis a of query i is element i * dim + a of the storage.
      EXPECT_EQ(r->q.values.data()[i * 3 + a], q[a]);
      EXPECT_EQ(r->dq->view()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), dq[a]);
      EXPECT_EQ(r->ddq->view()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), ddq[a]);
      EXPECT_EQ(r->dddq->view()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), dddq[a]);
    }
  }
}

TEST(PathSampling, ReportsTheLowestFailingQuery) {
  const Path path = spline_path(kWaypoints, spline_config(5));
  WorkerPool several(4);
  std::vector<double> s = random_queries(20000, 0.0, 1.0, 11);
  s[15000] = 3.0;
  s[9000] = -1e-11;
  s[17000] = 2.0;
  for (int repeat = 0; repeat < 20; ++repeat) {
    const auto r = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd, several);
    const auto* e = path_error_as<PathError::SOutOfRange>(r);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->index, 9000u);
    EXPECT_EQ(e->s, -1e-11);
  }
  const auto small = evaluate_path_samples(path, std::vector<double>{0.5, 2.0, 3.0}, DerivativeOrder::Q);
  ASSERT_NE(path_error_as<PathError::SOutOfRange>(small), nullptr);
  EXPECT_EQ(small.error().display(), "Some error occurred in the Path struct: s out of range [0, 1] at index 1: 2");
}

TEST(PathSampling, ToleranceBandIsClampedInErrorMode) {
  const Path path = spline_path(kWaypoints, spline_config(5));
  const std::vector<double> s{1.0 + 5e-13, 1.0, -5e-13, 0.0};
  const auto r = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->q.view().col(0), r->q.view().col(1));
  EXPECT_EQ(r->dddq->view().col(0), r->dddq->view().col(1));
  EXPECT_EQ(r->q.view().col(2), r->q.view().col(3));
  EXPECT_FALSE(evaluate_path_samples(path, std::vector<double>{1.0 + 2e-12}, DerivativeOrder::Q).ok());
}

TEST(PathSampling, ClampModeEvaluatesInfiniteQueriesAtTheEnds) {
  const Path path = spline_path(kWaypoints, spline_config(5, 0.0, 1.0, OutOfRangeMode::Clamp));
  const auto r = evaluate_path_samples(path, std::vector<double>{kInf, 1.0, -kInf, 0.0, 9.0}, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->q.view().col(0), r->q.view().col(1));
  EXPECT_EQ(r->ddq->view().col(0), r->ddq->view().col(1));
  EXPECT_EQ(r->q.view().col(2), r->q.view().col(3));
  EXPECT_EQ(r->q.view().col(4), r->q.view().col(1));
}

TEST(PathSampling, NaNQueriesGiveNaNColumnsInBothModes) {
  for (const auto mode : {OutOfRangeMode::Error, OutOfRangeMode::Clamp}) {
    for (const std::uint64_t order : {3u, 5u, 9u}) {
      const Path path = spline_path(kWaypoints, spline_config(order, 0.0, 1.0, mode));
      const auto r = evaluate_path_samples(path, std::vector<double>{0.5, kNaN, 0.25}, DerivativeOrder::UpTo3rd);
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(r->q.view().col(1).array().isNaN().all());
      EXPECT_TRUE(r->dq->view().col(1).array().isNaN().all());
      EXPECT_TRUE(r->ddq->view().col(1).array().isNaN().all());
      EXPECT_TRUE(r->dddq->view().col(1).array().isNaN().all()) << "order " << order;
      EXPECT_TRUE(r->q.view().col(0).allFinite());
      EXPECT_TRUE(r->dddq->view().col(2).allFinite());
    }
  }
}

TEST(PathSampling, LargeOutputsHoldWhatSmallBatchesGive) {
  // 200,000 queries of 3 axes fill 4.8 MB per matrix, past the 4 MiB from which buffers are
  // allocated for huge pages; batches of 10,000 stay below it.
  const Path path = spline_path(kWaypoints, spline_config(5, 0.0, 1.0, OutOfRangeMode::Clamp));
  const auto s = random_queries(200'000, -0.05, 1.05, 17);
  const auto whole = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(whole.ok());
  constexpr std::size_t kBatch = 10'000;
  for (std::size_t begin = 0; begin < s.size(); begin += kBatch) {
    const auto part = evaluate_path_samples(path, std::span(s).subspan(begin, kBatch), DerivativeOrder::UpTo3rd);
    ASSERT_TRUE(part.ok());
    const auto cols = static_cast<Eigen::Index>(begin);
    const auto n = static_cast<Eigen::Index>(kBatch);
    EXPECT_EQ(whole->q.view().middleCols(cols, n), part->q.view()) << begin;
    EXPECT_EQ(whole->dq->view().middleCols(cols, n), part->dq->view()) << begin;
    EXPECT_EQ(whole->ddq->view().middleCols(cols, n), part->ddq->view()) << begin;
    EXPECT_EQ(whole->dddq->view().middleCols(cols, n), part->dddq->view()) << begin;
  }
}

TEST(PathSampling, SameResultOnOneThreadAndOnSeveral) {
  WorkerPool one(1), several(4), many(8);
  for (const std::uint64_t order : {3u, 5u, 7u}) {
    const Path path = spline_path(kWaypoints, spline_config(order, 0.0, 2.0, OutOfRangeMode::Clamp));
    auto s = random_queries(50000, -0.1, 2.1, order);
    s[123] = kNaN;
    const auto a = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd, one);
    const auto b = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd, several);
    const auto c = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd, many);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    // Bitwise equal, NaN columns included.
    auto same = [](const SampleMatrix& x, const SampleMatrix& y) {
      return x.values.size() == y.values.size() &&
             std::memcmp(x.values.data(), y.values.data(), sizeof(double) * x.values.size()) == 0;
    };
    EXPECT_TRUE(same(a->q, b->q) && same(a->q, c->q));
    EXPECT_TRUE(same(*a->dq, *b->dq) && same(*a->dq, *c->dq));
    EXPECT_TRUE(same(*a->ddq, *b->ddq) && same(*a->ddq, *c->ddq));
    EXPECT_TRUE(same(*a->dddq, *b->dddq) && same(*a->dddq, *c->dddq));
  }
}

}  // namespace
}  // namespace qarn::path
