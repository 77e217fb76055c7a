// Evaluator-backed paths: the constructors' checks, and sampling through an evaluator: the range
// rule before any call, the order and dimension checks, one call per batch, zero-filled outputs
// and a private copy of the queries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "path/sampling.hpp"
#include "path_test_support.hpp"

namespace qarn::path {
namespace {

using namespace testing;

// Writes derivative r of axis a as (r + 1) * s + a unless told not to, and records each call.
class FakeEvaluator final : public PathEvaluator3rd {
 public:
  explicit FakeEvaluator(std::size_t dim) : reported_dim(dim) {}

  std::size_t dim() const override { return reported_dim; }
  Status evaluate_q(std::span<const double> s, std::span<double> q) const override { return fill(s, {q}); }
  Status evaluate_up_to_2nd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                            std::span<double> ddq) const override {
    return fill(s, {q, dq, ddq});
  }
  Status evaluate_up_to_3rd(std::span<const double> s, std::span<double> q, std::span<double> dq,
                            std::span<double> ddq, std::span<double> dddq) const override {
    return fill(s, {q, dq, ddq, dddq});
  }

  std::size_t reported_dim;
  bool write = true;
  std::vector<double>* overwrite_on_call = nullptr;  // a caller buffer the evaluator scribbles over
  mutable int calls = 0;
  mutable std::size_t outputs = 0;
  mutable std::vector<double> seen;
  mutable const double* seen_data = nullptr;
  mutable bool outputs_zero_on_entry = true;

 private:
  Status fill(std::span<const double> s, std::initializer_list<std::span<double>> out) const {
    ++calls;
    outputs = out.size();
    seen.assign(s.begin(), s.end());
    seen_data = s.data();
    if (overwrite_on_call != nullptr) std::fill(overwrite_on_call->begin(), overwrite_on_call->end(), 99.0);
    double factor = 1.0;
    for (const std::span<double> buffer : out) {
      for (const double v : buffer) outputs_zero_on_entry = outputs_zero_on_entry && v == 0.0;
      if (write) {
        for (std::size_t k = 0; k < s.size(); ++k)
          for (std::size_t a = 0; a < reported_dim; ++a) buffer[k * reported_dim + a] = factor * s[k] + a;
      }
      factor += 1.0;
    }
    return {};
  }
};

// A second-order evaluator: the same values without the third-order operation.
class FakeEvaluator2nd final : public PathEvaluator2nd {
 public:
  std::size_t dim() const override { return 2; }
  Status evaluate_q(std::span<const double>, std::span<double>) const override { return count(); }
  Status evaluate_up_to_2nd(std::span<const double>, std::span<double>, std::span<double>,
                            std::span<double>) const override {
    return count();
  }
  mutable int calls = 0;

 private:
  Status count() const {
    ++calls;
    return {};
  }
};

Path evaluator_path(const std::shared_ptr<const PathEvaluator3rd>& e, double s_min = 0.0, double s_max = 1.0) {
  auto path = path_from_evaluator_3rd(e, s_min, s_max);
  if (!path) ADD_FAILURE() << path.error().display();
  return std::move(path).value();
}

TEST(EvaluatorPath, ConstructorChecksTheRangeThenTheDimension) {
  struct Case {
    double s_min, s_max;
    std::size_t dim;
    bool range_error;
  };
  for (const Case c : {Case{1.0, 1.0, 2, true}, Case{kNaN, 1.0, 2, true}, Case{0.0, kInf, 2, true},
                       Case{-kInf, 0.0, 0, true}, Case{2.0, 1.0, 2, true}, Case{0.0, 1.0, 0, false}}) {
    auto e = std::make_shared<const FakeEvaluator>(c.dim);
    const auto r = path_from_evaluator_3rd(e, c.s_min, c.s_max);
    ASSERT_FALSE(r.ok());
    if (c.range_error) {
      const auto* range = path_error_as<PathError::InvalidSRange>(r);
      ASSERT_NE(range, nullptr) << r.error().display();
      EXPECT_TRUE(std::memcmp(&range->s_min, &c.s_min, sizeof(double)) == 0);
      EXPECT_TRUE(std::memcmp(&range->s_max, &c.s_max, sizeof(double)) == 0);
    } else {
      EXPECT_EQ(r.error().display(), "Some error occurred in the Path struct: invalid dimension: 0");
    }
    EXPECT_EQ(e.use_count(), 1);  // the failed path released its handle
  }
  EXPECT_TRUE(is_path_error<PathError::InvalidDimension>(path_from_evaluator_2nd(nullptr, 0.0, 1.0)));

  auto e = std::make_shared<const FakeEvaluator>(3);
  const Path path = evaluator_path(e, -0.5, 2.0);
  EXPECT_EQ(path.dim(), 3u);
  EXPECT_EQ(path.s_min(), -0.5);
  EXPECT_EQ(path.s_max(), 2.0);
  EXPECT_EQ(path.out_of_range(), OutOfRangeMode::Error);
  EXPECT_EQ(e.use_count(), 2);  // shared with the path
}

TEST(EvaluatorPath, OneCallPerBatchWithTheClampedQueries) {
  auto e = std::make_shared<FakeEvaluator>(2);
  const Path path = evaluator_path(e);
  const std::vector<double> s{0.25, 1.0 + 5e-13, -5e-13, kNaN};
  const std::size_t expected_outputs[] = {1, 3, 4};
  for (const auto order : {DerivativeOrder::Q, DerivativeOrder::UpTo2nd, DerivativeOrder::UpTo3rd}) {
    const int before = e->calls;
    const auto r = evaluate_path_samples(path, s, order);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(e->calls, before + 1);
    EXPECT_EQ(e->outputs, expected_outputs[static_cast<int>(order)]);
    ASSERT_EQ(e->seen.size(), 4u);
    EXPECT_EQ(e->seen[0], 0.25);
    EXPECT_EQ(e->seen[1], 1.0);  // the tolerance band is clamped onto the range
    EXPECT_EQ(e->seen[2], 0.0);
    EXPECT_TRUE(std::isnan(e->seen[3]));
    EXPECT_EQ(r->q.view()(1, 0), 1.25);  // axis 1 of query 0
  }
  const auto third = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
  EXPECT_EQ(third->dddq->view()(0, 1), 4.0);

  const int before = e->calls;
  const auto empty = evaluate_path_samples(path, {}, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(e->calls, before + 1);  // called even for no queries
  EXPECT_EQ(empty->ddq->view().rows(), 2);
  EXPECT_EQ(empty->ddq->view().cols(), 0);
}

TEST(EvaluatorPath, RefusalsComeBeforeAnyCall) {
  auto e = std::make_shared<FakeEvaluator>(2);
  const Path path = evaluator_path(e);
  const auto out = evaluate_path_samples(path, std::vector<double>{0.5, 2.0, -3.0}, DerivativeOrder::Q);
  const auto* range = path_error_as<PathError::SOutOfRange>(out);
  ASSERT_NE(range, nullptr);
  EXPECT_EQ(range->index, 1u);  // the lowest failing query
  EXPECT_EQ(range->s, 2.0);

  e->reported_dim = 3;  // the evaluator no longer agrees with the path
  EXPECT_TRUE(is_path_error<PathError::DimensionMismatch>(
      evaluate_path_samples(path, std::vector<double>{0.5}, DerivativeOrder::Q)));
  EXPECT_EQ(e->calls, 0);

  auto second = std::make_shared<const FakeEvaluator2nd>();
  auto path2 = path_from_evaluator_2nd(second, 0.0, 1.0);
  ASSERT_TRUE(path2.ok());
  const auto third = evaluate_path_samples(*path2, std::vector<double>{0.5}, DerivativeOrder::UpTo3rd);
  EXPECT_EQ(third.error().display(),
            "Some error occurred in the Path struct: unsupported derivative order: requested 3, available 2");
  // An out-of-range query is reported first.
  EXPECT_TRUE(is_path_error<PathError::SOutOfRange>(
      evaluate_path_samples(*path2, std::vector<double>{1.5}, DerivativeOrder::UpTo3rd)));
  EXPECT_EQ(second->calls, 0);
  EXPECT_TRUE(evaluate_path_samples(*path2, std::vector<double>{0.5}, DerivativeOrder::UpTo2nd).ok());
  EXPECT_EQ(second->calls, 1);
}

TEST(EvaluatorPath, OutputsReachTheEvaluatorZeroFilled) {
  auto e = std::make_shared<FakeEvaluator>(3);
  e->write = false;  // an evaluator that leaves its outputs alone
  const Path path = evaluator_path(e);
  const std::vector<double> s(5000, 0.5);
  for (int round = 0; round < 4; ++round) {
    {
      // Leave freed memory of the same sizes full of non-zero bytes for the allocator to reuse.
      std::vector<SampleMatrix> dirty;
      for (int i = 0; i < 4; ++i) {
        dirty.emplace_back(3, s.size());
        std::memset(dirty.back().values.data(), 0x7f, dirty.back().values.size() * sizeof(double));
      }
    }
    const auto r = evaluate_path_samples(path, s, DerivativeOrder::UpTo3rd);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->q.view().isZero(0.0) && r->dq->view().isZero(0.0) && r->ddq->view().isZero(0.0) &&
                r->dddq->view().isZero(0.0));
  }
  EXPECT_TRUE(e->outputs_zero_on_entry);
}

TEST(EvaluatorPath, TheEvaluatorGetsItsOwnCopyOfTheQueries) {
  auto e = std::make_shared<FakeEvaluator>(1);
  const Path path = evaluator_path(e);
  std::vector<double> s{0.125, 0.5, 0.75};
  e->overwrite_on_call = &s;  // the caller's buffer changes while the evaluator runs
  const auto r = evaluate_path_samples(path, s, DerivativeOrder::UpTo2nd);
  ASSERT_TRUE(r.ok());
  EXPECT_NE(e->seen_data, s.data());
  EXPECT_EQ(e->seen, (std::vector<double>{0.125, 0.5, 0.75}));
  EXPECT_EQ(r->dq->view()(0, 2), 1.5);
  EXPECT_EQ(s[0], 99.0);
}

}  // namespace
}  // namespace qarn::path
