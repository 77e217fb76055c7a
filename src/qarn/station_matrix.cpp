// Column storage of the station store: allocation with checked sizes, and column and row growth
// that keep the old contents when memory runs out.
#include "qarn/station_matrix.hpp"

#include <algorithm>
#include <new>

namespace qarn {
namespace {

std::size_t checked_size(std::size_t rows, std::size_t cols) {
  const std::size_t kMax = std::vector<double>{}.max_size();
  if (cols != 0 && rows > kMax / cols) throw std::bad_alloc();
  return rows * cols;
}

}  // namespace

void StationMatrix::reserve_cols(std::size_t cols) {
  if (cols <= cols_) return;
  const std::size_t size = checked_size(rows_, cols);
  // Column-major: new columns extend the storage at its end. reserve() takes exactly this much,
  // where a plain resize() might take up to twice it.
  data_.reserve(size);
  data_.resize(size, fill_);
  cols_ = cols;
}

void StationMatrix::grow_rows(std::size_t new_rows) {
  if (new_rows <= rows_) return;
  std::vector<double> grown(checked_size(new_rows, cols_), fill_);
  for (std::size_t c = 0; c < cols_; ++c) {
    std::copy_n(data_.data() + c * rows_, rows_, grown.data() + c * new_rows);
  }
  data_.swap(grown);
  rows_ = new_rows;
}

void StationMatrix::reset() { std::fill(data_.begin(), data_.end(), fill_); }

void StationMatrix::reset_cols(std::size_t slot, std::size_t count) {
  std::fill_n(data_.data() + slot * rows_, count * rows_, fill_);
}

}  // namespace qarn
