// The station store's ring: appending and its checks, growth, windowing from either end, path
// derivatives and the block reads, including windows that pass the ring's physical end.
#include "qarn/constraints.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "station_test_support.hpp"

namespace qarn {
namespace {

using test::error_text;
using test::ramp;
using test::store_with_stations;

using test::kInf;
using test::kNaN;

std::vector<double> s_of(const Constraints& c) { return *c.s_values(c.idx_s_start(), c.idx_s_end()); }

// ---- appending ----

TEST(StationStoreAppend, RejectsNonIncreasingValuesWithTheirLocalIndex) {
  Constraints c = store_with_stations(1, 8, {0.0, 2.0});
  const Status r = c.append_s(std::vector<double>{1.0, 2.0});
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.error().constraint()->is<ConstraintError::NonIncreasingS>());
  EXPECT_EQ(error_text(r),
            "Some error occurred in the Constraint struct: `s` must be strictly increasing; first violation at local "
            "index 0.");
  EXPECT_EQ(c.len(), 2u);

  Constraints empty = Constraints::with_capacity(1, 8);
  const Status dup = empty.append_s(std::vector<double>{1.0, 3.0, 3.0});
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().constraint()->get_if<ConstraintError::NonIncreasingS>()->index, 1u);
  EXPECT_TRUE(empty.is_empty());
  EXPECT_TRUE(empty.append_s(std::vector<double>{}).ok());
  EXPECT_TRUE(empty.is_empty());
}

TEST(StationStoreAppend, RejectsNaNAtItsIndexAndAppendsNothing) {
  // A NaN station would never fail a later ordering test and would empty the rows of its
  // intervals, so it is refused like a non-increasing value.
  struct Case {
    std::vector<double> s;
    std::size_t index;
  };
  for (const Case& k : {Case{{kNaN}, 0}, Case{{1.0, kNaN, 3.0}, 1}, Case{{1.0, 2.0, kNaN}, 2},
                        Case{{3.0, 1.0, kNaN}, 0}}) {
    Constraints c = store_with_stations(1, 8, {0.0});
    const Status r = c.append_s(k.s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().constraint()->get_if<ConstraintError::NonIncreasingS>()->index, k.index);
    EXPECT_EQ(c.len(), 1u);
    EXPECT_EQ(c.capacity(), 8u);
  }
  Constraints c = store_with_stations(1, 8, {0.0, 1.0});
  ASSERT_TRUE(c.append_s(std::vector<double>{2.0}).ok());
  EXPECT_EQ(s_of(c), (std::vector<double>{0.0, 1.0, 2.0}));
}

// ---- growth and ring wrap ----

TEST(StationStoreGrowth, GrowsOnlyWhenTwiceTheAppendDoesNotFit) {
  Constraints small = Constraints::with_capacity(2, 3);
  ASSERT_TRUE(small.append_s(ramp(2)).ok());
  EXPECT_EQ(small.capacity(), 7u);  // max(2*3 + 1, 0 + 4)

  Constraints ten = store_with_stations(2, 10, ramp(4));
  ASSERT_TRUE(ten.append_s(ramp(3, 4.0)).ok());
  EXPECT_EQ(ten.capacity(), 10u);  // 4 + 6 <= 10
  Constraints ten2 = store_with_stations(2, 10, ramp(4));
  ASSERT_TRUE(ten2.append_s(ramp(4, 4.0)).ok());
  EXPECT_EQ(ten2.capacity(), 21u);

  Constraints big = Constraints::with_capacity(1, 2);
  ASSERT_TRUE(big.append_s(ramp(20)).ok());
  EXPECT_EQ(big.capacity(), 40u);  // max(5, 0 + 40)
}

TEST(StationStoreGrowth, WrappedStationsComeBackInOrderFromSlotZero) {
  Constraints c = test::wrapped_store(2, 8, 5, 6);  // ids 5..10 in slots 5, 6, 7, 0, 1, 2
  EXPECT_EQ(c.head(), 5u);
  Eigen::MatrixXd q(2, 6);
  for (int k = 0; k < 6; ++k) q.col(k) << 10.0 + k, -k;
  ASSERT_TRUE(c.set_q(q, 2 * q, 3 * q, std::nullopt, 5).ok());
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{1, 2, 3, 4, 5, 6}, 5).ok());

  ASSERT_TRUE(c.append_s(ramp(3, 100.0)).ok());  // 6 + 6 > 8: grows to 17
  EXPECT_EQ(c.capacity(), 17u);
  EXPECT_EQ(c.head(), 0u);
  EXPECT_EQ(c.idx_s_start(), 5u);
  EXPECT_EQ(s_of(c), (std::vector<double>{2.5, 3.0, 3.5, 4.0, 4.5, 5.0, 100.0, 101.0, 102.0}));
  EXPECT_EQ(*c.amax_values(5, 14), (std::vector<double>{1, 2, 3, 4, 5, 6, kInf, kInf, kInf}));
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(c.q_at(5 + k)[0], 10.0 + k);
    EXPECT_EQ(c.ddq_at(5 + k)[1], -3.0 * k);
  }
}

TEST(StationStoreGrowth, GrowthThatCannotBeAllocatedIsAnErrorAndChangesNothing) {
  // Zero slots of 2^57 axes cost nothing; the first append needs 2 slots of them, far beyond
  // any memory.
  Constraints c = Constraints::with_capacity(std::size_t{1} << 57, 0);
  const Status r = c.append_s(std::vector<double>{1.0});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), CoreError::Kind::Other);
  EXPECT_TRUE(r.error().is_out_of_memory());
  EXPECT_EQ(error_text(r), "Constraints::append_s reported an error: not enough memory to grow the station store");
  EXPECT_EQ(c.capacity(), 0u);
  EXPECT_TRUE(c.is_empty());
}

// ---- windowing ----

TEST(StationStoreWindow, PopFrontByCountAndUntil) {
  Constraints c = store_with_stations(1, 16, ramp(5));
  c.pop_front(PopMode::Count, 2);
  EXPECT_EQ(c.idx_s_start(), 2u);
  EXPECT_EQ(s_of(c), (std::vector<double>{2.0, 3.0, 4.0}));
  c.pop_front(PopMode::Until, 1);  // at or below the start: nothing
  EXPECT_EQ(c.len(), 3u);
  c.pop_front(PopMode::Count, 3);
  EXPECT_TRUE(c.is_empty());
  EXPECT_EQ(c.idx_s_start(), 2u);
  EXPECT_EQ(c.head(), 0u);
  ASSERT_TRUE(c.append_s(std::vector<double>{-1.0}).ok());  // an empty store accepts any s
  EXPECT_EQ(c.idx_s_start(), 2u);
  EXPECT_EQ(*c.s_values(2, 3), (std::vector<double>{-1.0}));
}

TEST(StationStoreWindow, PopBackByCountAndUntil) {
  Constraints c = store_with_stations(1, 16, ramp(6, 0.0));
  c.pop_front(PopMode::Count, 1);  // ids 1..5
  c.pop_back(PopMode::Until, 9);   // beyond the end: nothing
  EXPECT_EQ(c.len(), 5u);
  c.pop_back(PopMode::Count, 2);
  EXPECT_EQ(s_of(c), (std::vector<double>{1.0, 2.0, 3.0}));
  c.pop_back(PopMode::Until, 1);  // at the start: empties, keeps the start
  EXPECT_TRUE(c.is_empty());
  EXPECT_EQ(c.idx_s_start(), 1u);
  c.pop_back(PopMode::Count, 5);  // on an empty store: nothing
  EXPECT_TRUE(c.is_empty());
}

TEST(StationStoreWindow, PoppedSlotsReturnToNoBound) {
  Constraints c = store_with_stations(1, 4, {0.0});
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{7.0}, 0).ok());
  for (double s = 1.0; s <= 3.0; s += 1.0) {  // ids 1..3 in slots 1..3, slot 0 freed by the pops
    ASSERT_TRUE(c.append_s(std::vector<double>{s}).ok());
    c.pop_front(PopMode::Count, 1);
  }
  ASSERT_TRUE(c.append_s(std::vector<double>{4.0}).ok());  // id 4 reuses slot 0
  EXPECT_EQ(c.slot_of(4), 0u);
  EXPECT_EQ(c.amax_at(4), kInf);

  ASSERT_TRUE(c.amax_substitute(std::vector<double>{3.0}, 4).ok());
  c.pop_back(PopMode::Count, 1);
  ASSERT_TRUE(c.append_s(std::vector<double>{5.0}).ok());  // id 4 again, slot 0 again
  EXPECT_EQ(c.capacity(), 4u);
  EXPECT_EQ(c.amax_at(4), kInf);
  EXPECT_EQ(*c.s_values(3, 5), (std::vector<double>{3.0, 5.0}));
}

TEST(StationStoreWindow, ClearKeepsOrResetsTheStart) {
  Constraints c = store_with_stations(1, 16, ramp(10));
  c.pop_front(PopMode::Until, 7);
  ASSERT_TRUE(c.amax_substitute(std::vector<double>{1.0, 1.0, 1.0}, 7).ok());
  c.clear(true);
  EXPECT_EQ(c.idx_s_start(), 7u);
  EXPECT_TRUE(c.is_empty());
  ASSERT_TRUE(c.append_s(ramp(3)).ok());
  EXPECT_EQ(*c.amax_values(7, 10), (std::vector<double>{kInf, kInf, kInf}));
  c.clear(false);
  EXPECT_EQ(c.idx_s_start(), 0u);
  ASSERT_TRUE(c.append_s(ramp(1)).ok());
  EXPECT_EQ(c.idx_s_start(), 0u);
  EXPECT_EQ(*c.amax_values(0, 1), (std::vector<double>{kInf}));
}

TEST(StationStoreWindow, BlockReadErrors) {
  const Constraints c = store_with_stations(1, 16, ramp(10));
  const auto empty = c.s_values(5, 5);
  EXPECT_EQ(error_text(empty), "Some error occurred in the Constraint struct: Requested interval is empty: 5 <= idx_s < 5.");
  const auto beyond = c.s_values(0, 11);
  EXPECT_EQ(error_text(beyond),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=0, len=11.");
  EXPECT_EQ(test::constraint_error(c.amax_values(7, 3))->get_if<ConstraintError::EmptyInterval>()->start, 7u);
  EXPECT_EQ(*c.s_values(9, 10), (std::vector<double>{9.0}));
  EXPECT_TRUE(std::isnan(c.s_at(10)));
  EXPECT_TRUE(std::isnan(c.amax_at(10)));
  EXPECT_TRUE(c.q_at(10).empty());
}

TEST(StationStoreWindow, WindowChecksNeverWrapAround) {
  const Constraints c = store_with_stations(1, 16, ramp(10));
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_FALSE(c.contains(kMax, 2));
  EXPECT_FALSE(c.contains(3, kMax));
  EXPECT_TRUE(c.contains(10, 0));
  EXPECT_FALSE(c.contains(11, 0));
  EXPECT_EQ(test::constraint_error(c.s_values(5, kMax))->get_if<ConstraintError::OutOfSBounds>()->len, kMax - 5);
}

// ---- path derivatives ----

TEST(StationStoreDerivatives, SetQChecksShapesThenWindow) {
  Constraints c = store_with_stations(2, 16, ramp(4));
  const Eigen::MatrixXd m = test::constant(2, 2, 1.0);
  const Eigen::MatrixXd wrong_rows = test::constant(3, 2, 1.0);
  const Eigen::MatrixXd wrong_cols = test::constant(2, 3, 1.0);
  EXPECT_EQ(error_text(c.set_q(wrong_rows, wrong_rows, wrong_rows, std::nullopt, 0)),
            "Some error occurred in the Constraint struct: Input dimensions do not match the expected shape.");
  EXPECT_TRUE(test::constraint_error(c.set_q(m, wrong_cols, m, std::nullopt, 0))->is<ConstraintError::NoMatchDimensions>());
  EXPECT_TRUE(test::constraint_error(c.set_q(m, m, m, MatrixView(wrong_cols), 0))->is<ConstraintError::NoMatchDimensions>());
  EXPECT_EQ(error_text(c.set_q(m, m, m, std::nullopt, 3)),
            "Some error occurred in the Constraint struct: Requested station interval is out of bounds: idx_s=3, len=2.");
  EXPECT_TRUE(test::constraint_error(c.set_q(m, m, m, std::nullopt, std::numeric_limits<std::uint64_t>::max()))
                  ->is<ConstraintError::OutOfSBounds>());
  const Eigen::MatrixXd none(2, 0);
  EXPECT_TRUE(c.set_q(none, none, none, std::nullopt, 4).ok());
  EXPECT_EQ(c.q_runs().rows_at(0), 0u);
}

TEST(StationStoreDerivatives, SetQRefusesNonFiniteValuesNamingTheFirstAndWritesNothing) {
  // Limits built from a NaN derivative would silently drop that axis; the store refuses it.
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  struct Case {
    int block;  // 0 q, 1 dq, 2 ddq, 3 dddq
    Eigen::Index axis, station;
    double value;
    const char* text;
  };
  for (const Case& k : std::vector<Case>{
           {0, 0, 0, nan, "`q` at idx_s=1, axis 0 is NaN; path derivatives must be finite."},
           {1, 1, 1, nan, "`dq` at idx_s=2, axis 1 is NaN; path derivatives must be finite."},
           {2, 0, 1, inf, "`ddq` at idx_s=2, axis 0 is inf; path derivatives must be finite."},
           {3, 1, 0, -inf, "`dddq` at idx_s=1, axis 1 is -inf; path derivatives must be finite."}}) {
    Constraints c = store_with_stations(2, 16, ramp(4));
    std::array<Eigen::MatrixXd, 4> m;
    for (Eigen::MatrixXd& block : m) block = test::constant(2, 2, 1.0);
    m[static_cast<std::size_t>(k.block)](k.axis, k.station) = k.value;
    m[3](1, 1) = nan;  // a later value of a later block is not the one reported
    if (k.block == 3) m[3](1, 1) = 1.0;
    const Status st = c.set_q(m[0], m[1], m[2], MatrixView(m[3]), 1);
    EXPECT_EQ(error_text(st), std::string("Some error occurred in the Constraint struct: ") + k.text);
    EXPECT_EQ(c.q_runs().rows_at(1), 0u);  // nothing written
    EXPECT_EQ(c.dddq_runs().rows_at(1), 0u);
  }
}

TEST(StationStoreDerivatives, SetQWithoutDddqClearsEarlierDddq) {
  Constraints c = store_with_stations(2, 16, ramp(5));
  const Eigen::MatrixXd m = test::constant(2, 5, 1.5);
  ASSERT_TRUE(c.set_q(m, m, m, MatrixView(m), 0).ok());
  EXPECT_EQ(c.dddq_runs().rows_at(2), 2u);
  EXPECT_EQ(c.dddq_at(2)[1], 1.5);
  const Eigen::MatrixXd two = test::constant(2, 2, 4.0);
  ASSERT_TRUE(c.set_q(two, two, two, std::nullopt, 1).ok());
  EXPECT_EQ(c.dddq_at(1)[0], 0.0);
  EXPECT_EQ(c.dddq_at(2)[1], 0.0);
  EXPECT_EQ(c.dddq_at(3)[1], 1.5);
  EXPECT_EQ(c.dddq_runs().rows_at(1), 0u);
  EXPECT_EQ(c.dddq_runs().rows_at(3), 2u);
  EXPECT_EQ(c.q_runs().rows_in_range(0, 5), 10u);
  EXPECT_EQ(c.q_at(1)[0], 4.0);
  EXPECT_EQ(c.q_at(0)[0], 1.5);
}

TEST(StationStoreDerivatives, BlockAcrossTheRingEndLandsInItsSlots) {
  Constraints c = test::wrapped_store(3, 6, 4, 5);  // ids 4..8 in slots 4, 5, 0, 1, 2
  Eigen::MatrixXd q(3, 5);
  for (int k = 0; k < 5; ++k) q.col(k) << k, 10 + k, 20 + k;
  ASSERT_TRUE(c.set_q(q, -q, 2 * q, MatrixView(3 * q), 4).ok());
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(c.slot_of(4 + k), static_cast<std::size_t>((4 + k) % 6));
    EXPECT_EQ(c.q_at(4 + k)[2], 20.0 + k);
    EXPECT_EQ(c.dq_at(4 + k)[1], -(10.0 + k));
    EXPECT_EQ(c.dddq_at(4 + k)[0], 3.0 * k);
  }
  EXPECT_EQ(*c.s_values(4, 9), (std::vector<double>{2.0, 2.5, 3.0, 3.5, 4.0}));
}

}  // namespace
}  // namespace qarn
