// Per-station row counts of one kind (q written, dddq written, second- or third-order rows),
// compressed into runs of consecutive stations that share a count. The runs live in one
// vector with a movable front, so that appending at the back and trimming at the front reuse
// its storage instead of allocating per station.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qarn {

// Stations [start, end) each hold `rows` valid rows.
struct StationRun {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t rows;
};

class StationRunMap {
 public:
  bool empty() const { return begin_ == runs_.size(); }
  // The runs in station order; contiguous, non-empty and covering the store's window.
  std::span<const StationRun> runs() const { return {runs_.data() + begin_, runs_.size() - begin_}; }
  // The runs that overlap [lo, hi), in station order.
  std::span<const StationRun> runs_overlapping(std::uint64_t lo, std::uint64_t hi) const;

  // Rows at station i: the count of the first run ending after i, 0 when none does.
  std::uint64_t rows_at(std::uint64_t i) const;
  // Total rows over stations [lo, hi). Saturates at the largest u64 instead of wrapping.
  std::uint64_t rows_in_range(std::uint64_t lo, std::uint64_t hi) const;
  // Largest count of any run overlapping [lo, hi), 0 when none does.
  std::uint64_t max_rows_in_range(std::uint64_t lo, std::uint64_t hi) const;

  // Over [lo, hi) (lo < hi): add n to the count, or set it to n. Splits at most two runs; it
  // allocates only when `reserve_extra(2)` has not made room first.
  void update_range(std::uint64_t lo, std::uint64_t hi, std::uint64_t n, bool accumulate);
  // Coalesces equal-count neighbours around lo and hi; called right after `update_range`.
  void merge_equal_runs(std::uint64_t lo, std::uint64_t hi);
  // Stations first .. first + n - 1 were appended with count 0 (lengthens a trailing 0 run,
  // else adds one run: room for it comes from `reserve_extra(1)`).
  void extend_back(std::uint64_t first, std::uint64_t n);
  // Drops the stations below `cut` / at and above `cut` (cut strictly inside the covered range).
  void trim_front(std::uint64_t cut);
  void trim_back(std::uint64_t cut);
  void clear();

  // Makes room for k more runs without further allocation; false when memory runs out (the map
  // is unchanged then).
  bool reserve_extra(std::size_t k) noexcept;

 private:
  // Index (into runs_) of the first live run whose end is greater than i; runs_.size() if none.
  std::size_t first_ending_after(std::uint64_t i) const;
  // Index of the first live run whose end is at least i (the run holding i - 1 when i is inside
  // the covered range); runs_.size() if none.
  std::size_t first_ending_at_or_after(std::uint64_t i) const;
  void insert_at(std::size_t pos, StationRun run);
  void erase_range(std::size_t first, std::size_t last);
  void compact();

  std::vector<StationRun> runs_;
  std::size_t begin_ = 0;  // runs_[0, begin_) are dead entries left by trim_front
};

}  // namespace qarn
