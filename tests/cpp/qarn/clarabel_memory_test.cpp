// Memory and the Clarabel bridge: the KKT system counted as Clarabel assembles it, and a solve
// whose estimated footprint cannot be had is refused with OutOfMemory instead of ending the
// process inside the Rust library (run in forked children under an address-space limit).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "diag/out_of_memory.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn::clarabel {
namespace {

// A random program: P with the given pattern, A with random entries near its diagonal (rows
// scaled to columns: the band structure of the path solvers' programs), and b = A x0 + s0 with s0
// inside every cone, so that Clarabel meets a feasible program.
struct Program {
  CscMatrix P, A;
  std::vector<double> q, b;
  std::vector<Cone> cones;
};

enum class PShape { None, PartialDiagonal, Upper, Full };

Program random_program(std::size_t n, const std::vector<Cone>& cones, PShape shape, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  Program p;
  p.cones = cones;
  std::size_t m = 0;
  for (const Cone& c : cones) m += c.dim;
  // Column j holds the rows i with |i - j m / n| <= 3, each with probability 1 / 2 (the nearest
  // always, so that no column is empty).
  p.A = CscMatrix::zeros(m, n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t centre = j * m / n;
    for (std::size_t i = centre > 3 ? centre - 3 : 0; i < std::min(m, centre + 4); ++i) {
      if (i == centre || std::bernoulli_distribution(0.5)(rng)) {
        p.A.rowval.push_back(i);
        p.A.nzval.push_back(value(rng));
      }
    }
    p.A.colptr[j + 1] = p.A.rowval.size();
  }
  p.P = CscMatrix::zeros(n, n);
  const bool dense = shape == PShape::Upper || shape == PShape::Full;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = dense ? 0 : j; i < (dense ? n : j + 1); ++i) {
      const bool diagonal = i == j;
      const bool keep = shape == PShape::PartialDiagonal ? diagonal && j % 2 == 0
                        : shape == PShape::Upper        ? diagonal || (i < j && (i + j) % 3 == 0)
                        : shape == PShape::Full         ? diagonal || (i + j) % 3 == 0
                                                        : false;
      if (keep) {
        p.P.rowval.push_back(i);
        p.P.nzval.push_back(diagonal ? 4.0 : 0.1);
      }
    }
    p.P.colptr[j + 1] = p.P.rowval.size();
  }
  p.q.resize(n);
  for (double& x : p.q) x = value(rng);
  // s0: 1 in nonnegative rows, the cone's axis (1, 0, ...) scaled by 2 in second-order cones.
  std::vector<double> x0(n), s0;
  for (double& x : x0) x = value(rng);
  for (const Cone& c : cones) {
    for (std::size_t k = 0; k < c.dim; ++k) {
      s0.push_back(c.kind == ConeKind::Zero ? 0.0 : c.kind == ConeKind::Nonnegative ? 1.0 : (k == 0 ? 2.0 : 0.0));
    }
  }
  p.b = s0;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = p.A.colptr[j]; k < p.A.colptr[j + 1]; ++k) p.b[p.A.rowval[k]] += p.A.nzval[k] * x0[j];
  }
  return p;
}

Settings quiet() {
  Settings s = Settings::defaults();
  s.verbose = false;
  return s;
}

Result<SolveOutput> solve(const Program& p, std::uint32_t max_iter = 200) {
  Settings settings = quiet();
  settings.max_iter = max_iter;
  return clarabel::solve("memory_test", settings, p.P, p.q, p.A, p.b, p.cones);
}

TEST(ClarabelMemory, KktSizeCountsWhatClarabelFactors) {
  const std::vector<std::vector<Cone>> cone_lists = {
      {{ConeKind::Nonnegative, 30}},
      {{ConeKind::Zero, 4}, {ConeKind::Nonnegative, 10}, {ConeKind::SecondOrder, 3}},
      {{ConeKind::SecondOrder, 2}, {ConeKind::SecondOrder, 4}, {ConeKind::SecondOrder, 5}, {ConeKind::Nonnegative, 6}},
      {{ConeKind::Zero, 2}, {ConeKind::SecondOrder, 12}, {ConeKind::SecondOrder, 0}, {ConeKind::SecondOrder, 7}},
  };
  unsigned seed = 1;
  for (const std::vector<Cone>& cones : cone_lists) {
    for (const PShape shape : {PShape::None, PShape::PartialDiagonal, PShape::Upper, PShape::Full}) {
      for (const std::size_t n : {8u, 25u}) {
        const Program p = random_program(n, cones, shape, seed++);
        const auto out = solve(p);
        ASSERT_TRUE(out.ok()) << out.error().display();
        EXPECT_EQ(kkt_size(p.P, p.A, p.cones).nonzeros, out->linsolver.nnz_a)
            << "seed " << seed - 1 << ", P shape " << static_cast<int>(shape) << ", n " << n;
      }
    }
  }
}

TEST(ClarabelMemory, FootprintGrowsWithTheSystemAndSaturates) {
  EXPECT_EQ(solve_footprint({1000, 100}), (90 * 1000 + 310 * 100) * 5 / 4);
  EXPECT_LT(solve_footprint({1000, 100}), solve_footprint({1001, 100}));
  EXPECT_LT(solve_footprint({1000, 100}), solve_footprint({1000, 101}));
  EXPECT_EQ(solve_footprint({SIZE_MAX / 2, 1}), SIZE_MAX);
  EXPECT_EQ(solve_footprint({1, SIZE_MAX / 100}), SIZE_MAX);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;  // its shadow memory needs terabytes of address space
#else
constexpr bool kAddressSanitizer = false;
#endif

// The address space the process maps now, in bytes.
std::size_t mapped_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// In a forked child: limits the address space to what is mapped now plus `headroom` bytes and
// solves (the factorization, where the peak is, comes before the first iteration, so three are
// enough); exits 0 after a solve, 3 after OutOfMemory (its text on standard error), and dies by a
// signal when memory runs out inside Clarabel.
[[noreturn]] void solve_with_headroom(const Program& p, std::size_t headroom) {
  const rlim_t limit = mapped_bytes() + headroom;
  const rlimit r{limit, limit};
  if (setrlimit(RLIMIT_AS, &r) != 0) _exit(4);
  try {
    const auto out = solve(p, 3);
    if (!out.ok()) std::fprintf(stderr, "%s\n", out.error().display().c_str());
    _exit(out.ok() ? 0 : 5);
  } catch (const OutOfMemory& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::fflush(stderr);
    _exit(3);
  }
}

// A large sparse program: many second-order cones of dimension 3 and a nonnegative block.
Program large_program() {
  std::vector<Cone> cones(20000, Cone{ConeKind::SecondOrder, 3});
  cones.push_back({ConeKind::Nonnegative, 20000});
  return random_program(40000, cones, PShape::PartialDiagonal, 7);
}

TEST(ClarabelMemoryDeathTest, TooLittleMemoryIsOutOfMemoryNotAnAbort) {
  if (kAddressSanitizer) GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Program p = large_program();
  EXPECT_EXIT(solve_with_headroom(p, 1 << 20), testing::ExitedWithCode(3),
              "^memory_test: not enough memory for the Clarabel solve: about [0-9]+ MiB are needed for its KKT "
              "system of order 120000 with [0-9]+ nonzeros");
}

// Whatever the headroom, the solve completes or is refused, and never dies inside Clarabel: the
// estimate covers what it takes. Headrooms from nothing to past the estimate, in eighths of it.
TEST(ClarabelMemoryDeathTest, EveryHeadroomSolvesOrIsRefused) {
  if (kAddressSanitizer) GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Program p = large_program();
  const std::size_t estimate = solve_footprint(kkt_size(p.P, p.A, p.cones));
  const auto solved_or_refused = [](int status) {
    return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3);
  };
  for (const std::size_t eighths : {0, 4, 7, 8, 9, 12}) {
    const std::size_t headroom = estimate / 8 * eighths + (4 << 20);
    SCOPED_TRACE(headroom);
    if (eighths < 8) {
      EXPECT_EXIT(solve_with_headroom(p, headroom), testing::ExitedWithCode(3), "");
    } else if (eighths == 8) {
      EXPECT_EXIT(solve_with_headroom(p, headroom), solved_or_refused, "");
    } else {
      EXPECT_EXIT(solve_with_headroom(p, headroom), testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
}  // namespace qarn::clarabel
