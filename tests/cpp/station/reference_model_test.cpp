// Randomized comparison of the store with a plain model (one record per station in a deque):
// long sequences of appends, pops from both ends, derivative and row writes, clears and
// refused writes, across growth and the ring's wrap point, with every reader checked after
// every step.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "qarn/constraints.hpp"
#include "station_test_support.hpp"

namespace qarn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kDim = 2;

struct ModelStation {
  double s = 0.0;
  double amax = kInf;
  std::vector<double> q, dq, ddq, dddq;
  bool has_q = false, has_dddq = false;
  std::vector<std::array<double, 3>> acc;   // acc_a, acc_b, acc_max
  std::vector<std::array<double, 5>> jerk;  // jerk_a .. jerk_d, jerk_max
};

struct Model {
  std::deque<ModelStation> st;
  std::uint64_t start = 0;
  std::uint64_t end() const { return start + st.size(); }
  bool contains(std::uint64_t i, std::uint64_t n) const { return i >= start && i + n <= end(); }
  ModelStation& at(std::uint64_t i) { return st[static_cast<std::size_t>(i - start)]; }
  const ModelStation& at(std::uint64_t i) const { return st[static_cast<std::size_t>(i - start)]; }
};

class Driver {
 public:
  explicit Driver(std::uint64_t seed) : rng_(seed), store_(Constraints::with_capacity(kDim, 3)) {}

  void step() {
    // Keep the window short so that the head keeps cycling through a ring a few times its size.
    if (model_.st.size() > 24 && pick(0, 1) == 0) {
      pop_front();
      return;
    }
    const int op = pick(0, 99);
    if (op < 25) append();
    else if (op < 37) pop_front();
    else if (op < 47) pop_back();
    else if (op < 57) set_q();
    else if (op < 70) add_2nd();
    else if (op < 80) add_3rd();
    else if (op < 87) add_1st();
    else if (op < 92) substitute();
    else if (op < 98) refused_write();
    else if (pick(0, 3) == 0) clear();
  }

  void check() {
    if (store_.head() + store_.len() > store_.capacity()) ++wrapped_checks_;
    ASSERT_EQ(store_.len(), model_.st.size());
    ASSERT_EQ(store_.idx_s_start(), model_.start);
    ASSERT_LE(store_.len(), store_.capacity());
    for (const StationRunMap* map : {&store_.q_runs(), &store_.dddq_runs(), &store_.acc_runs(), &store_.jerk_runs()}) {
      check_runs(*map);
    }
    if (!model_.st.empty()) {
      const std::vector<double> s = *store_.s_values(model_.start, model_.end());
      const std::vector<double> amax = *store_.amax_values(model_.start, model_.end());
      for (std::size_t k = 0; k < model_.st.size(); ++k) {
        ASSERT_EQ(s[k], model_.st[k].s);
        ASSERT_EQ(amax[k], model_.st[k].amax);
      }
    } else {
      EXPECT_FALSE(store_.s_values(model_.start, model_.start + 1).ok());
    }
    std::vector<Lp2dRow> lp;
    std::vector<FiniteAmax> finite_expected;
    for (std::uint64_t i = model_.start; i < model_.end(); ++i) {
      const ModelStation& m = model_.at(i);
      ASSERT_EQ(store_.s_at(i), m.s);
      ASSERT_EQ(store_.q_runs().rows_at(i), m.has_q ? kDim : 0u);
      ASSERT_EQ(store_.dddq_runs().rows_at(i), m.has_dddq ? kDim : 0u);
      if (m.has_q) {
        ASSERT_EQ(std::vector<double>(store_.q_at(i).begin(), store_.q_at(i).end()), m.q);
        ASSERT_EQ(std::vector<double>(store_.ddq_at(i).begin(), store_.ddq_at(i).end()), m.ddq);
      }
      if (m.has_dddq) {
        ASSERT_EQ(std::vector<double>(store_.dddq_at(i).begin(), store_.dddq_at(i).end()), m.dddq);
      }
      const SecondOrderRows r2 = store_.second_order_rows_at(i);
      ASSERT_EQ(r2.size(), m.acc.size());
      for (std::size_t r = 0; r < m.acc.size(); ++r) {
        ASSERT_EQ(r2.acc_a[r], m.acc[r][0]);
        ASSERT_EQ(r2.acc_b[r], m.acc[r][1]);
        ASSERT_EQ(r2.acc_max[r], m.acc[r][2]);
      }
      const ThirdOrderRows r3 = store_.third_order_rows_at(i);
      ASSERT_EQ(r3.size(), m.jerk.size());
      for (std::size_t r = 0; r < m.jerk.size(); ++r) {
        ASSERT_EQ(r3.jerk_a[r], m.jerk[r][0]);
        ASSERT_EQ(r3.jerk_c[r], m.jerk[r][2]);
        ASSERT_EQ(r3.jerk_max[r], m.jerk[r][4]);
      }
      if (std::isfinite(m.amax)) finite_expected.push_back({i - model_.start, m.amax});
      if (i + 1 < model_.end()) {
        lp.clear();
        store_.interval_rows(lp, i);
        ASSERT_EQ(lp.size(), expected_interval_rows(i).size());
        const std::vector<Lp2dRow> expected = expected_interval_rows(i);
        for (std::size_t r = 0; r < lp.size(); ++r) {
          ASSERT_EQ(lp[r].a, expected[r].a);
          ASSERT_EQ(lp[r].b, expected[r].b);
          ASSERT_EQ(lp[r].c, expected[r].c);
        }
      }
    }
    const std::vector<FiniteAmax> finite = store_.collect_finite_amax(model_.start, 0, model_.st.size());
    ASSERT_EQ(finite.size(), finite_expected.size());
    for (std::size_t k = 0; k < finite.size(); ++k) ASSERT_EQ(finite[k].j, finite_expected[k].j);
    // Row totals over a random sub-range.
    if (!model_.st.empty()) {
      const std::uint64_t lo = model_.start + static_cast<std::uint64_t>(pick_const(0, model_.st.size() - 1));
      const std::uint64_t hi = lo + static_cast<std::uint64_t>(pick_const(0, model_.end() - lo));
      std::uint64_t acc_rows = 0, jerk_rows = 0;
      for (std::uint64_t i = lo; i < hi; ++i) {
        acc_rows += model_.at(i).acc.size();
        jerk_rows += model_.at(i).jerk.size();
      }
      ASSERT_EQ(store_.acc_runs().rows_in_range(lo, hi), acc_rows);
      ASSERT_EQ(store_.jerk_runs().rows_in_range(lo, hi), jerk_rows);
    }
  }

  std::size_t max_capacity_seen() const { return max_capacity_; }
  std::size_t wrapped_checks() const { return wrapped_checks_; }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::size_t pick_const(std::size_t lo, std::size_t hi) const {
    return lo + (hi > lo ? static_cast<std::size_t>(check_rng_()) % (hi - lo + 1) : 0);
  }
  double value() { return std::uniform_real_distribution<double>(-3.0, 3.0)(rng_); }

  // A random sub-window [i, i + n) of the stored stations (n >= 1), or false when empty.
  bool window(std::uint64_t& i, std::uint64_t& n) {
    if (model_.st.empty()) return false;
    const int len = static_cast<int>(model_.st.size());
    const int first = pick(0, len - 1);
    i = model_.start + static_cast<std::uint64_t>(first);
    n = static_cast<std::uint64_t>(pick(1, len - first));
    return true;
  }

  void check_runs(const StationRunMap& map) const {
    const std::span<const StationRun> runs = map.runs();
    if (model_.st.empty()) {
      ASSERT_TRUE(runs.empty());
      return;
    }
    ASSERT_FALSE(runs.empty());
    ASSERT_EQ(runs.front().start, model_.start);
    ASSERT_EQ(runs.back().end, model_.end());
    for (std::size_t k = 0; k < runs.size(); ++k) {
      ASSERT_LT(runs[k].start, runs[k].end);
      if (k > 0) {
        ASSERT_EQ(runs[k].start, runs[k - 1].end);
        ASSERT_NE(runs[k].rows, runs[k - 1].rows) << "equal neighbours must be merged";
      }
    }
  }

  std::vector<Lp2dRow> expected_interval_rows(std::uint64_t k) const {
    const double f = 0.5 / (model_.at(k + 1).s - model_.at(k).s);
    std::vector<Lp2dRow> out;
    for (const auto& r : model_.at(k).acc) {
      if (std::isfinite(r[2])) out.push_back({f * r[1], r[0] - f * r[1], r[2]});
    }
    for (const auto& r : model_.at(k + 1).acc) {
      if (std::isfinite(r[2])) out.push_back({r[0] + f * r[1], -(f * r[1]), r[2]});
    }
    return out;
  }

  void append() {
    const int n = pick(1, 4);
    std::vector<double> s(static_cast<std::size_t>(n));
    for (double& v : s) v = (last_s_ += std::uniform_real_distribution<double>(0.1, 1.0)(rng_));
    ASSERT_TRUE(store_.append_s(s).ok());
    max_capacity_ = std::max(max_capacity_, store_.capacity());
    for (double v : s) {
      ModelStation m;
      m.s = v;
      model_.st.push_back(m);
    }
  }

  void pop_front() {
    const bool by_count = pick(0, 1) == 0;
    const std::uint64_t value = by_count ? static_cast<std::uint64_t>(pick(0, 4))
                                         : model_.start + static_cast<std::uint64_t>(pick(-2, 5)) - 2;
    store_.pop_front(by_count ? PopMode::Count : PopMode::Until, value);
    const std::uint64_t k = by_count ? std::min<std::uint64_t>(value, model_.st.size())
                                     : (value > model_.start ? std::min<std::uint64_t>(value, model_.end()) - model_.start : 0);
    if (k >= model_.st.size()) {
      model_.st.clear();  // an emptying pop keeps the start id: the next station reuses it
      return;
    }
    for (std::uint64_t j = 0; j < k; ++j) model_.st.pop_front();
    model_.start += k;
  }

  void pop_back() {
    const bool by_count = pick(0, 1) == 0;
    const std::uint64_t value = by_count ? static_cast<std::uint64_t>(pick(0, 3))
                                         : model_.end() - static_cast<std::uint64_t>(std::min<int>(
                                                              pick(0, 4), static_cast<int>(model_.end())));
    store_.pop_back(by_count ? PopMode::Count : PopMode::Until, value);
    const std::uint64_t cut = by_count ? model_.end() - std::min<std::uint64_t>(value, model_.st.size())
                                       : std::max(model_.start, value);
    while (model_.end() > cut) model_.st.pop_back();
    // The next appended s may be anything above the last stored one; keep ours growing anyway.
  }

  void set_q() {
    std::uint64_t i, n;
    if (!window(i, n)) return;
    const bool with_dddq = pick(0, 1) == 0;
    Eigen::MatrixXd q(kDim, static_cast<Eigen::Index>(n)), dq = q, ddq = q, dddq = q;
    for (Eigen::Index k = 0; k < q.cols(); ++k) {
      for (Eigen::Index r = 0; r < q.rows(); ++r) {
        q(r, k) = value();
        dq(r, k) = value();
        ddq(r, k) = value();
        dddq(r, k) = value();
      }
    }
    ASSERT_TRUE(store_.set_q(q, dq, ddq, with_dddq ? std::optional<MatrixView>(dddq) : std::nullopt, i).ok());
    for (std::uint64_t j = 0; j < n; ++j) {
      ModelStation& m = model_.at(i + j);
      const auto col = [&](const Eigen::MatrixXd& x) {
        return std::vector<double>(x.col(static_cast<Eigen::Index>(j)).data(),
                                   x.col(static_cast<Eigen::Index>(j)).data() + kDim);
      };
      m.q = col(q);
      m.dq = col(dq);
      m.ddq = col(ddq);
      m.has_q = true;
      m.has_dddq = with_dddq;
      if (with_dddq) m.dddq = col(dddq);
    }
  }

  Eigen::MatrixXd random_block(Eigen::Index r, Eigen::Index n, bool allow_inf) {
    Eigen::MatrixXd m(r, n);
    for (Eigen::Index k = 0; k < n; ++k) {
      for (Eigen::Index j = 0; j < r; ++j) m(j, k) = (allow_inf && pick(0, 5) == 0) ? kInf : value();
    }
    return m;
  }

  void add_2nd() {
    std::uint64_t i, n;
    if (!window(i, n)) return;
    const Eigen::Index r = pick(1, 3), cols = static_cast<Eigen::Index>(n);
    const bool neg = pick(0, 1) == 0;
    const Eigen::MatrixXd a = random_block(r, cols, false), b = random_block(r, cols, false),
                          m = random_block(r, cols, true);
    ASSERT_TRUE(store_.add_constraint_2nd(a, b, m, i, neg).ok());
    const double sign = neg ? -1.0 : 1.0;
    for (std::uint64_t j = 0; j < n; ++j) {
      for (Eigen::Index k = 0; k < r; ++k) {
        const auto c = static_cast<Eigen::Index>(j);
        model_.at(i + j).acc.push_back({sign * a(k, c), sign * b(k, c), sign * m(k, c)});
      }
    }
  }

  void add_3rd() {
    std::uint64_t i, n;
    if (!window(i, n)) return;
    const Eigen::Index r = pick(1, 2), cols = static_cast<Eigen::Index>(n);
    const bool neg = pick(0, 1) == 0;
    std::array<Eigen::MatrixXd, 5> blocks;
    for (std::size_t b = 0; b < 5; ++b) blocks[b] = random_block(r, cols, b == 4);
    ASSERT_TRUE(store_.add_constraint_3rd(blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], i, neg).ok());
    const double sign = neg ? -1.0 : 1.0;
    for (std::uint64_t j = 0; j < n; ++j) {
      for (Eigen::Index k = 0; k < r; ++k) {
        std::array<double, 5> row{};
        for (std::size_t b = 0; b < 5; ++b) row[b] = sign * blocks[b](k, static_cast<Eigen::Index>(j));
        model_.at(i + j).jerk.push_back(row);
      }
    }
  }

  void add_1st() {
    std::uint64_t i, n;
    if (!window(i, n)) return;
    const Eigen::Index r = pick(1, 3);
    Eigen::MatrixXd m = random_block(r, static_cast<Eigen::Index>(n), true).cwiseAbs().array() + 0.01;
    ASSERT_TRUE(store_.add_constraint_1st(m, i).ok());
    for (std::uint64_t j = 0; j < n; ++j) {
      const double col_min = m.col(static_cast<Eigen::Index>(j)).minCoeff();
      model_.at(i + j).amax = std::fmin(model_.at(i + j).amax, col_min);
    }
  }

  void substitute() {
    std::uint64_t i, n;
    if (!window(i, n)) return;
    std::vector<double> v(static_cast<std::size_t>(n));
    for (double& x : v) x = pick(0, 3) == 0 ? kInf : value();
    ASSERT_TRUE(store_.amax_substitute(v, i).ok());
    for (std::uint64_t j = 0; j < n; ++j) model_.at(i + j).amax = v[static_cast<std::size_t>(j)];
  }

  // Writes that must fail and change nothing: windows reaching past either end, a non-positive
  // first-order bound, non-increasing or NaN stations.
  void refused_write() {
    const std::uint64_t past = model_.end();
    const Eigen::MatrixXd two = Eigen::MatrixXd::Constant(1, 2, 1.0);
    switch (pick(0, 4)) {
      case 0: EXPECT_FALSE(store_.add_constraint_2nd(two, two, two, past - (past > 0 ? 1 : 0), false).ok()); break;
      case 1: EXPECT_FALSE(store_.add_constraint_1st(test::column({std::nan("")}), model_.start).ok()); break;
      case 2:
        if (!model_.st.empty()) {
          EXPECT_FALSE(store_.append_s(std::vector<double>{model_.st.back().s}).ok());
        }
        break;
      case 3: EXPECT_FALSE(store_.append_s(std::vector<double>{last_s_ + 1.0, std::nan("")}).ok()); break;
      default:
        if (model_.start > 0) {
          EXPECT_FALSE(store_.amax_substitute(std::vector<double>{1.0}, model_.start - 1).ok());
        }
        break;
    }
  }

  void clear() {
    const bool keep = pick(0, 1) == 0;
    store_.clear(keep);
    model_.st.clear();
    if (!keep) model_.start = 0;
  }

  std::mt19937_64 rng_;
  mutable std::minstd_rand check_rng_{7};
  Constraints store_;
  Model model_;
  double last_s_ = 0.0;
  std::size_t max_capacity_ = 0;
  std::size_t wrapped_checks_ = 0;  // checks made while the window passed the ring's end
};

TEST(StationStoreReferenceModel, RandomSequencesAgreeWithPlainVectors) {
  for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    Driver d(seed);
    for (int step = 0; step < 3000; ++step) {
      d.step();
      d.check();
      if (::testing::Test::HasFatalFailure()) {
        ADD_FAILURE() << "seed " << seed << ", step " << step;
        return;
      }
    }
    // The sequences must have exercised growth and the ring's wrap point.
    EXPECT_GT(d.max_capacity_seen(), 3u) << seed;
    EXPECT_GT(d.wrapped_checks(), 250u) << seed;
  }
}

}  // namespace
}  // namespace qarn
