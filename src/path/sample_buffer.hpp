// The storage of sampling output: an owned float64 buffer whose caller may hand it on (to NumPy,
// say) without a copy, and the dim x n matrix view of it that sampling writes.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

namespace qarn::path {

// `count` uninitialised values, since sampling writes every one of them. Writing a large buffer
// once costs mostly its first-touch page faults, so buffers of at least 4 MiB are aligned to and
// advised for transparent huge pages (2 MiB each), as NumPy does for its large arrays.
class SampleBuffer {
 public:
  SampleBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit SampleBuffer(std::size_t count);
  // A moved-from buffer is empty.
  SampleBuffer(SampleBuffer&& other) noexcept
      : values_(std::move(other.values_)), size_(std::exchange(other.size_, 0)) {}
  SampleBuffer& operator=(SampleBuffer&& other) noexcept {
    values_ = std::move(other.values_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  double* data() noexcept { return values_.get(); }
  const double* data() const noexcept { return values_.get(); }
  std::size_t size() const noexcept { return size_; }

 private:
  struct Free {
    void operator()(double* values) const noexcept { std::free(values); }
  };
  std::unique_ptr<double[], Free> values_;
  std::size_t size_ = 0;
};

// A dim x n matrix over its own buffer, one column per query, stored column after column (axis a
// of query i at element i * dim + a, which is also the row-major order of an n x dim array).
struct SampleMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  SampleBuffer values;

  SampleMatrix() = default;  // 0 x 0
  // Throws std::bad_alloc when the memory cannot be had; the caller has checked rows * cols.
  SampleMatrix(std::size_t rows, std::size_t cols) : rows(rows), cols(cols), values(rows * cols) {}

  Eigen::Map<Eigen::MatrixXd> view() noexcept {
    return {values.data(), static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols)};
  }
  Eigen::Map<const Eigen::MatrixXd> view() const noexcept {
    return {values.data(), static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols)};
  }
};

}  // namespace qarn::path
