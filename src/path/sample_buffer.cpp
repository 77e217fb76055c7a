// Allocation of sample buffers: plain malloc for small ones, 2 MiB-aligned and advised for
// transparent huge pages from 4 MiB on.
#include "path/sample_buffer.hpp"

#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qarn::path {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// NumPy's threshold: below it the few 4 KiB faults are cheap, and a huge page would mostly be
// rounding.
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

// Large buffers are a whole number of aligned huge pages, so that every page of the buffer can be
// a huge one (an unaligned buffer keeps 4 KiB pages at both ends). The advice is only a hint: a
// kernel without transparent huge pages refuses it, and the buffer works as well with small pages.
double* allocate(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageThreshold) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* values = std::aligned_alloc(kHugePage, rounded);
    if (values != nullptr) static_cast<void>(madvise(values, rounded, MADV_HUGEPAGE));
    return static_cast<double*>(values);
  }
#endif
  return static_cast<double*>(std::malloc(bytes));
}

}  // namespace

SampleBuffer::SampleBuffer(std::size_t count) : size_(count) {
  if (count == 0) return;
  if (count > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(double)) throw std::bad_alloc();
  values_.reset(allocate(count * sizeof(double)));
  if (!values_) throw std::bad_alloc();
}

}  // namespace qarn::path
