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
  EXPECT_EQ(q->q.rows(), 3);
  EXPECT_EQ(q->q.cols(), 3);
  EXPECT_FALSE(q->dq || q->ddq || q->dddq);
  const auto two = evaluate_path_samples(path, s, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(two.ok());
  EXPECT_TRUE(two->dq && two->ddq);
  EXPECT_FALSE(two->dddq);
  const auto three = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(three.ok());
  EXPECT_TRUE(three->dq && three->ddq && three->dddq);
  EXPECT_EQ(three->dddq->cols(), 3);
}

TEST(PathSampling, ZeroQueriesGiveEmptyColumns) {
  const Path path = spline_path(kWaypoints, spline_config(3));
  const auto r = evaluate_path_samples(path, {}, DerivativeOrder::UpTo3rd);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->q.rows(), 3);
  EXPECT_EQ(r->q.cols(), 0);
  EXPECT_EQ(r->dddq->rows(), 3);
  EXPECT_EQ(r->dddq->cols(), 0);
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
      EXPECT_EQ(r->q.data()[i * 3 + a], q[a]);
      EXPECT_EQ(r->dq.value()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), dq[a]);
      EXPECT_EQ(r->ddq.value()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), ddq[a]);
      EXPECT_EQ(r->dddq.value()(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(i)), dddq[a]);
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
  EXPECT_EQ(r->q.col(0), r->q.col(1));
  EXPECT_EQ(r->dddq->col(0), r->dddq->col(1));
  EXPECT_EQ(r->q.col(2), r->q.col(3));
  EXPECT_FALSE(evaluate_path_samples(path, std::vector<double>{1.0 + 2e-12}, DerivativeOrder::Q).ok());
}

TEST(PathSampling, ClampModeEvaluatesInfiniteQueriesAtTheEnds) {
  const Path path = spline_path(kWaypoints, spline_config(5, 0.0, 1.0, OutOfRangeMode::Clamp));
  const auto r = evaluate_path_samples(path, std::vector<double>{kInf, 1.0, -kInf, 0.0, 9.0}, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->q.col(0), r->q.col(1));
  EXPECT_EQ(r->ddq->col(0), r->ddq->col(1));
  EXPECT_EQ(r->q.col(2), r->q.col(3));
  EXPECT_EQ(r->q.col(4), r->q.col(1));
}

TEST(PathSampling, NaNQueriesGiveNaNColumnsInBothModes) {
  for (const auto mode : {OutOfRangeMode::Error, OutOfRangeMode::Clamp}) {
    for (const std::uint64_t order : {3u, 5u, 9u}) {
      const Path path = spline_path(kWaypoints, spline_config(order, 0.0, 1.0, mode));
      const auto r = evaluate_path_samples(path, std::vector<double>{0.5, kNaN, 0.25}, DerivativeOrder::UpTo3rd);
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(r->q.col(1).array().isNaN().all());
      EXPECT_TRUE(r->dq->col(1).array().isNaN().all());
      EXPECT_TRUE(r->ddq->col(1).array().isNaN().all());
      EXPECT_TRUE(r->dddq->col(1).array().isNaN().all()) << "order " << order;
      EXPECT_TRUE(r->q.col(0).allFinite());
      EXPECT_TRUE(r->dddq->col(2).allFinite());
    }
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
    auto same = [](const Eigen::MatrixXd& x, const Eigen::MatrixXd& y) {
      return x.size() == y.size() && std::memcmp(x.data(), y.data(), sizeof(double) * x.size()) == 0;
    };
    EXPECT_TRUE(same(a->q, b->q) && same(a->q, c->q));
    EXPECT_TRUE(same(*a->dq, *b->dq) && same(*a->dq, *c->dq));
    EXPECT_TRUE(same(*a->ddq, *b->ddq) && same(*a->ddq, *c->ddq));
    EXPECT_TRUE(same(*a->dddq, *b->dddq) && same(*a->dddq, *c->dddq));
  }
}

}  // namespace
}  // namespace qarn::path
