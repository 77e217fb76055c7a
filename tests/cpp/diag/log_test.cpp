// Elapsed-time format and whole-line output on descriptor 1.
#include "diag/log.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qarn {
namespace {

std::string at(double seconds) {
  const auto whole = static_cast<std::uint64_t>(seconds);
  const auto nanos = static_cast<std::uint32_t>((seconds - static_cast<double>(whole)) * 1e9 + 0.5);
  return format_elapsed(whole, nanos);
}

TEST(FormatElapsed, UnitBoundaries) {
  EXPECT_EQ(format_elapsed(0, 0), "0.000 ns");
  EXPECT_EQ(format_elapsed(0, 500), "500 ns");
  EXPECT_EQ(format_elapsed(0, 1000), "1.000 us");
  EXPECT_EQ(format_elapsed(0, 1000000), "1.000 ms");
  EXPECT_EQ(format_elapsed(1, 0), "1.000 s");
  EXPECT_EQ(format_elapsed(60, 0), "1.000 min");
  EXPECT_EQ(format_elapsed(3600, 0), "1.000 h");
}

TEST(FormatElapsed, DecimalsFollowTheUnroundedValue) {
  EXPECT_EQ(at(0.0123), "12.3 ms");
  EXPECT_EQ(at(1.5), "1.500 s");
  EXPECT_EQ(at(90), "1.500 min");
  EXPECT_EQ(at(7200), "2.000 h");
  EXPECT_EQ(at(40000), "11.1 h");
  EXPECT_EQ(at(400000), "111 h");
  EXPECT_EQ(format_elapsed(0, 10000000), "10.0 ms");
  EXPECT_EQ(format_elapsed(0, 100000000), "100 ms");
  EXPECT_EQ(format_elapsed(0, 99960000), "100.0 ms");
}

TEST(LogLine, WritesWholeLinesToDescriptorOne) {
  testing::internal::CaptureStdout();
  log_line("first");
  log_line("two\nlines");
  log_line("");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "first\ntwo\nlines\n\n");
}

TEST(Verbosity, DispatchInstantiatesOneLevel) {
  const auto level_of = [](Verbosity v) {
    return with_verbosity(v, [](auto tag) { return static_cast<int>(decltype(tag)::value); });
  };
  EXPECT_EQ(level_of(Verbosity::Silent), 0);
  EXPECT_EQ(level_of(Verbosity::Debug), 2);
  EXPECT_EQ(level_of(static_cast<Verbosity>(9)), 3);
  Stopwatch<Verbosity::Silent> silent;
  EXPECT_EQ(silent.elapsed(), "");
  Stopwatch<Verbosity::Summary> loud;
  EXPECT_NE(loud.elapsed().find(' '), std::string::npos);
}

}  // namespace
}  // namespace qarn
