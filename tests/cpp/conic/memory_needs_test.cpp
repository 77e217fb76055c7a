// The memory a conic stage is reported to need: the reservation's and the compressed-column build's
// estimates are what those stages allocate, and an allocation failure inside a stage leaves named.
#include "qarn/conic/memory_needs.hpp"

#include <gtest/gtest.h>

#include <new>
#include <regex>
#include <string>

namespace qarn {
namespace {

TEST(ConicMemoryNeeds, TheReservationAndTheBuildAreWhatTheyAllocate) {
  const Reserve r{.values = 1000, .rhs = 300, .cones = 7, .variables = 40};
  Assembly assembly;
  assembly.reserve(r);
  const ClarabelTriplets& t = assembly.triplets;
  const TripletLengths c = t.capacities();
  EXPECT_EQ(stage_bytes(ConicStage::Reserve, {0, assembly.reserved}),
            (c.rows + c.cols + c.vals + c.b + assembly.q.capacity()) * 8 + c.cones * sizeof(clarabel::Cone));
  // The build: the order by row and the matrix's row indices and values per entry, the row counts
  // and the column pointers (one more each).
  const std::size_t m = r.rhs, n = r.variables, nnz = r.values;
  EXPECT_EQ(stage_bytes(ConicStage::Build, {0, r}) + 2 * sizeof(std::size_t), (3 * nnz + (m + 1) + (n + 1)) * 8);
}

TEST(ConicMemoryNeeds, AFailureInsideAStageNamesItAndItsSize) {
  const Reserve r{.values = 3'000'000, .rhs = 1'000'000, .cones = 3, .variables = 200'000};
  struct Case {
    ConicStage stage;
    const char* text;
  };
  const Case cases[] = {
      {ConicStage::Reserve, "^qarn2_socp: not enough memory to reserve the program: about 78 MiB are needed for "
                            "3000000 constraint entries, 1000000 rows and 200000 variables$"},
      {ConicStage::Build, "^qarn2_socp: not enough memory to build the program's compressed columns: about 78 MiB"},
      {ConicStage::Check, "^qarn2_socp: not enough memory to check the problem: about 4 KiB are needed for the "
                          "reachable sets of 80 stations$"},
  };
  for (const Case& c : cases) {
    try {
      in_stage("qarn2_socp", c.stage, [&] { return ProgramSize{80, r}; }, [] { throw std::bad_alloc(); });
      ADD_FAILURE() << c.text;
    } catch (const OutOfMemory& failure) {
      EXPECT_TRUE(std::regex_search(failure.what(), std::regex(c.text))) << failure.what();
    }
  }
  // A failure that names its need already passes unchanged.
  const char* clarabel = "qarn2_socp: not enough memory for the Clarabel solve: about 25 MiB are needed for ...";
  try {
    in_stage("qarn2_socp", ConicStage::Solve, [&] { return ProgramSize{80, r}; }, [&] { throw OutOfMemory(clarabel); });
    ADD_FAILURE() << clarabel;
  } catch (const OutOfMemory& failure) {
    EXPECT_STREQ(failure.what(), clarabel);
  }
}

}  // namespace
}  // namespace qarn
