// Sample buffers: empty and moved-from buffers, huge-page alignment from 4 MiB on, every value
// writable, and sizes that cannot be had.
#include "path/sample_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>

namespace qarn::path {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kValuesIn4MiB = (std::size_t{4} << 20) / sizeof(double);

bool aligned_to(const double* values, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(values) % alignment == 0;
}

TEST(SampleBuffer, EmptyAndMovedFromBuffersHoldNothing) {
  SampleBuffer empty(0);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);

  SampleBuffer from(10);
  double* values = from.data();
  SampleBuffer to(std::move(from));
  EXPECT_EQ(to.data(), values);
  EXPECT_EQ(to.size(), 10u);
  EXPECT_EQ(from.data(), nullptr);
  EXPECT_EQ(from.size(), 0u);
  SampleBuffer assigned;
  assigned = std::move(to);
  EXPECT_EQ(assigned.data(), values);
  EXPECT_EQ(to.size(), 0u);

  const SampleMatrix none;
  EXPECT_EQ(none.view().size(), 0);
}

TEST(SampleBuffer, LargeBuffersStartOnAHugePageAndEveryValueIsWritable) {
  for (const std::size_t count : {std::size_t{1000}, kValuesIn4MiB - 1, kValuesIn4MiB, kValuesIn4MiB + 1,
                                  std::size_t{700'001}}) {
    SampleBuffer buffer(count);
    ASSERT_EQ(buffer.size(), count);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_TRUE(aligned_to(buffer.data(), alignof(double)));
    if (count >= kValuesIn4MiB) {
      EXPECT_TRUE(aligned_to(buffer.data(), kHugePage)) << count;
    }
    for (std::size_t i = 0; i < count; ++i) buffer.data()[i] = static_cast<double>(i);
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += buffer.data()[i];
    EXPECT_EQ(sum, static_cast<double>(count) * static_cast<double>(count - 1) / 2.0) << count;
  }
}

TEST(SampleBuffer, SizesThatCannotBeHadThrowBadAlloc) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_THROW(SampleBuffer{kMax}, std::bad_alloc);
  EXPECT_THROW(SampleBuffer{kMax / sizeof(double)}, std::bad_alloc);  // bytes would wrap once rounded
  EXPECT_THROW(SampleBuffer{kMax / 16}, std::bad_alloc);  // representable, far beyond memory
}

TEST(SampleMatrix, ViewIsColumnMajorOverTheBuffer) {
  SampleMatrix m(3, 4);
  for (std::size_t i = 0; i < 12; ++i) m.values.data()[i] = static_cast<double>(i);
  const auto view = m.view();
  EXPECT_EQ(view.rows(), 3);
  EXPECT_EQ(view.cols(), 4);
  EXPECT_EQ(view(2, 1), 5.0);  // axis 2 of query 1 at 1 * 3 + 2
  EXPECT_EQ(view.data(), m.values.data());
}

}  // namespace
}  // namespace qarn::path
