// Dense column-major storage with one column per ring slot of the station store, whose row
// count can grow. Columns are allocated as the store reaches them, not for its whole capacity up
// front, so a large capacity costs memory only once stations fill it. Kept on std::vector so that
// every allocation of the store is visible (and countable) through operator new, and so that reads
// are plain spans.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace qarn {

class StationMatrix {
 public:
  StationMatrix() = default;
  // `rows` rows and no columns yet.
  StationMatrix(std::size_t rows, double fill) : rows_(rows), fill_(fill) {}

  std::size_t rows() const { return rows_; }
  // The columns allocated so far.
  std::size_t cols() const { return cols_; }
  double fill() const { return fill_; }

  double* col(std::size_t slot) { return data_.data() + slot * rows_; }
  const double* col(std::size_t slot) const { return data_.data() + slot * rows_; }
  // The first `count` entries of a slot's column (count <= rows()).
  std::span<const double> head(std::size_t slot, std::size_t count) const { return {col(slot), count}; }
  double& operator()(std::size_t row, std::size_t slot) { return data_[slot * rows_ + row]; }
  double operator()(std::size_t row, std::size_t slot) const { return data_[slot * rows_ + row]; }

  // Grows to at least `cols` columns (exactly that many when it grows), new entries at the fill
  // value. Strong guarantee: throws std::bad_alloc and keeps its contents when memory runs out.
  void reserve_cols(std::size_t cols);
  // Grows to `new_rows` rows (no-op when already that tall); new entries take the fill value.
  // Strong guarantee as above.
  void grow_rows(std::size_t new_rows);
  // Sets every entry to the fill value.
  void reset();
  // Sets the columns [slot, slot + count) to the fill value.
  void reset_cols(std::size_t slot, std::size_t count);

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  double fill_ = 0.0;
  std::vector<double> data_;
};

}  // namespace qarn
