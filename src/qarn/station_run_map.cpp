// Run-compressed per-station row counts. Lookups are binary searches over the run ends; edits
// touch only the runs at the edges of the edited range.
#include "qarn/station_run_map.hpp"

#include <algorithm>

#include "math/numerical/saturating.hpp"

namespace qarn {

std::size_t StationRunMap::first_ending_after(std::uint64_t i) const {
  const auto it = std::upper_bound(runs_.begin() + static_cast<std::ptrdiff_t>(begin_), runs_.end(), i,
                                   [](std::uint64_t v, const StationRun& run) { return v < run.end; });
  return static_cast<std::size_t>(it - runs_.begin());
}

std::size_t StationRunMap::first_ending_at_or_after(std::uint64_t i) const {
  const auto it = std::lower_bound(runs_.begin() + static_cast<std::ptrdiff_t>(begin_), runs_.end(), i,
                                   [](const StationRun& run, std::uint64_t v) { return run.end < v; });
  return static_cast<std::size_t>(it - runs_.begin());
}

std::span<const StationRun> StationRunMap::runs_overlapping(std::uint64_t lo, std::uint64_t hi) const {
  if (lo >= hi) return {};
  const std::size_t first = first_ending_after(lo);
  std::size_t last = first;
  while (last < runs_.size() && runs_[last].start < hi) ++last;
  return {runs_.data() + first, last - first};
}

std::uint64_t StationRunMap::rows_at(std::uint64_t i) const {
  const std::size_t idx = first_ending_after(i);
  return idx < runs_.size() ? runs_[idx].rows : 0;
}

std::uint64_t StationRunMap::rows_in_range(std::uint64_t lo, std::uint64_t hi) const {
  std::uint64_t total = 0;
  for (const StationRun& run : runs_overlapping(lo, hi)) {
    const std::uint64_t width = std::min(hi, run.end) - std::max(lo, run.start);
    total = saturating_add(total, saturating_mul(width, run.rows));
  }
  return total;
}

std::uint64_t StationRunMap::max_rows_in_range(std::uint64_t lo, std::uint64_t hi) const {
  std::uint64_t most = 0;
  for (const StationRun& run : runs_overlapping(lo, hi)) most = std::max(most, run.rows);
  return most;
}

void StationRunMap::update_range(std::uint64_t lo, std::uint64_t hi, std::uint64_t n, bool accumulate) {
  if (lo >= hi) return;
  // Split at hi: the first run ending at or after hi.
  const std::size_t pos = first_ending_at_or_after(hi);
  if (pos < runs_.size() && runs_[pos].start < hi && runs_[pos].end != hi) {
    const StationRun left{runs_[pos].start, hi, runs_[pos].rows};
    runs_[pos].start = hi;
    insert_at(pos, left);
  }
  // Split at lo: the run holding lo.
  const std::size_t at_lo = first_ending_after(lo);
  if (at_lo < runs_.size() && runs_[at_lo].start < lo) {
    const StationRun left{runs_[at_lo].start, lo, runs_[at_lo].rows};
    runs_[at_lo].start = lo;
    insert_at(at_lo, left);
  }
  for (std::size_t i = first_ending_after(lo); i < runs_.size() && runs_[i].end <= hi; ++i) {
    runs_[i].rows = accumulate ? saturating_add(runs_[i].rows, n) : n;
  }
}

void StationRunMap::merge_equal_runs(std::uint64_t lo, std::uint64_t hi) {
  // Absorbs the equal neighbours of runs_[idx]: following ones first or preceding ones first.
  auto absorb = [this](std::size_t idx, bool following_first) {
    auto absorb_following = [&] {
      while (idx + 1 < runs_.size() && runs_[idx + 1].rows == runs_[idx].rows &&
             runs_[idx + 1].start == runs_[idx].end) {
        runs_[idx].end = runs_[idx + 1].end;
        erase_range(idx + 1, idx + 2);
      }
    };
    auto absorb_preceding = [&] {
      while (idx > begin_ && runs_[idx - 1].rows == runs_[idx].rows && runs_[idx - 1].end == runs_[idx].start) {
        runs_[idx].start = runs_[idx - 1].start;
        erase_range(idx - 1, idx);
        --idx;
      }
    };
    if (following_first) {
      absorb_following();
      absorb_preceding();
    } else {
      absorb_preceding();
      absorb_following();
    }
  };

  const std::size_t at_lo = first_ending_after(lo);
  if (at_lo < runs_.size() && runs_[at_lo].start <= lo) absorb(at_lo, true);
  const std::size_t at_hi = first_ending_at_or_after(hi);
  if (at_hi < runs_.size()) absorb(at_hi, false);
}

void StationRunMap::extend_back(std::uint64_t first, std::uint64_t n) {
  if (n == 0) return;
  if (empty()) {
    insert_at(runs_.size(), StationRun{first, first + n, 0});
  } else if (runs_.back().rows == 0) {
    runs_.back().end += n;
  } else {
    const std::uint64_t end = runs_.back().end;
    insert_at(runs_.size(), StationRun{end, end + n, 0});
  }
}

void StationRunMap::trim_front(std::uint64_t cut) {
  begin_ = first_ending_after(cut);
  if (empty()) {
    clear();
    return;
  }
  runs_[begin_].start = cut;
}

void StationRunMap::trim_back(std::uint64_t cut) {
  // The run holding cut - 1 is the first run ending at or after cut.
  const std::size_t at = first_ending_at_or_after(cut);
  if (at == runs_.size()) return;
  runs_[at].end = cut;
  erase_range(at + 1, runs_.size());
}

void StationRunMap::clear() {
  runs_.clear();
  begin_ = 0;
}

bool StationRunMap::reserve_extra(std::size_t k) noexcept {
  const std::size_t live = runs_.size() - begin_;
  if (runs_.capacity() - runs_.size() >= k) return true;
  if (runs_.capacity() - live >= k) {
    compact();
    return true;
  }
  try {
    compact();
    runs_.reserve(std::max(live + k, 2 * runs_.capacity()));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void StationRunMap::insert_at(std::size_t pos, StationRun run) {
  if (runs_.size() == runs_.capacity() && begin_ > 0) {
    pos -= begin_;
    compact();
  }
  runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(pos), run);
}

void StationRunMap::erase_range(std::size_t first, std::size_t last) {
  runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(first), runs_.begin() + static_cast<std::ptrdiff_t>(last));
}

void StationRunMap::compact() {
  if (begin_ == 0) return;
  runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(begin_));
  begin_ = 0;
}

}  // namespace qarn
