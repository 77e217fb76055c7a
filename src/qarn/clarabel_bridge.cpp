// Translation between the C++ records of clarabel_bridge.hpp and the C interface of the Rust
// bridge library; owns nothing beyond one call.
#include "qarn/clarabel_bridge.hpp"

#include <clarabel_ffi.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <type_traits>

#include "diag/format.hpp"
#include "diag/out_of_memory.hpp"
#include "math/numerical/saturating.hpp"

namespace qarn::clarabel {
namespace {

#define QARN_CLARABEL_COUNT_FIELD(type, name) +1
static_assert(0 QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_COUNT_FIELD) == 39);
#undef QARN_CLARABEL_COUNT_FIELD

static_assert(static_cast<int>(ConeKind::Zero) == CLARABEL_FFI_CONE_ZERO);
static_assert(static_cast<int>(ConeKind::Nonnegative) == CLARABEL_FFI_CONE_NONNEGATIVE);
static_assert(static_cast<int>(ConeKind::SecondOrder) == CLARABEL_FFI_CONE_SECOND_ORDER);
static_assert(sizeof(std::size_t) == sizeof(size_t));

// Field conversions to the C record; the string is borrowed from the settings for the call.
std::uint8_t to_ffi(bool v) { return v ? 1 : 0; }
std::uint32_t to_ffi(std::uint32_t v) { return v; }
double to_ffi(double v) { return v; }
ClarabelFfiStr to_ffi(const std::string& v) { return {v.data(), v.size()}; }

void from_ffi(bool& dst, std::uint8_t v) { dst = v != 0; }
void from_ffi(std::uint32_t& dst, std::uint32_t v) { dst = v; }
void from_ffi(double& dst, double v) { dst = v; }
void from_ffi(std::string& dst, ClarabelFfiStr v) { dst = v.len == 0 ? std::string{} : std::string(v.ptr, v.len); }

ClarabelFfiSettings to_ffi(const Settings& s) {
  ClarabelFfiSettings c{};
#define QARN_CLARABEL_TO_FFI(type, name) c.name = to_ffi(s.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_TO_FFI)
#undef QARN_CLARABEL_TO_FFI
  return c;
}

ClarabelFfiCsc to_ffi(const CscMatrix& a) {
  return {a.m,           a.n,           a.colptr.data(), a.colptr.size(),
          a.rowval.data(), a.rowval.size(), a.nzval.data(), a.nzval.size()};
}

std::string text_of(const ClarabelFfiOwnedStr& s) { return s.len == 0 ? std::string{} : std::string(s.ptr, s.len); }

// Whether `bytes` can be allocated now. The memory is released at once and never touched, so
// this asks only for address space and commit charge; the volatile keeps the compiler from
// pairing the malloc with the free and dropping both.
bool can_allocate(std::size_t bytes) {
  void* volatile probe = std::malloc(bytes);
  const bool ok = probe != nullptr;
  std::free(probe);
  return ok;
}

// The sum of `terms`, stopping at the largest value.
std::size_t saturating_sum(std::initializer_list<std::size_t> terms) {
  std::size_t sum = 0;
  for (const std::size_t t : terms) sum = saturating_add(sum, t);
  return sum;
}

// Releases the library-owned strings of a result on every path out of `solve`.
class ResultGuard {
 public:
  ResultGuard() = default;
  ResultGuard(const ResultGuard&) = delete;
  ResultGuard& operator=(const ResultGuard&) = delete;
  ~ResultGuard() { clarabel_ffi_result_free(&raw); }
  ClarabelFfiResult raw{};
};

Settings from_ffi(const ClarabelFfiSettings& c) {
  Settings s;
#define QARN_CLARABEL_FROM_FFI(type, name) from_ffi(s.name, c.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_FROM_FFI)
#undef QARN_CLARABEL_FROM_FFI
  return s;
}

// Settings Clarabel takes without a word but cannot honour: a NaN anywhere (every comparison with
// it fails: a NaN time limit never stops the solve, a NaN tolerance decides nothing, and the
// profile audit reads tol_feas too) and an infinite tolerance (any point meets it). An infinite
// time limit is the default, no limit.
Status check_settings(std::string_view component, const Settings& settings) {
  std::optional<CoreError> refused;
  const auto check = [&](std::string_view name, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, double>) {
      const char* fault = std::isnan(value)                                                    ? "NaN"
                          : std::isinf(value) && name.find("tol") != std::string_view::npos ? "infinite"
                                                                                             : nullptr;
      if (fault != nullptr && !refused) {
        refused = CoreError::invalid_options(
            std::string(component), fmt::format("`clarabel_settings.{}` = {} must not be {}", name, value, fault));
      }
    }
  };
#define QARN_CLARABEL_CHECK_FIELD(type, name) check(#name, settings.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_CHECK_FIELD)
#undef QARN_CLARABEL_CHECK_FIELD
  if (refused) return *std::move(refused);
  return {};
}

}  // namespace

Settings Settings::defaults() {
  ClarabelFfiSettings c{};
  clarabel_ffi_default_settings(&c);  // cannot fail for a valid pointer
  return from_ffi(c);
}

std::string settings_as_received(const Settings& settings) {
  const ClarabelFfiSettings c = to_ffi(settings);
  std::string text(clarabel_ffi_settings_text(&c, nullptr, 0), '\0');
  clarabel_ffi_settings_text(&c, text.data(), text.size() + 1);
  return text;
}

Settings settings_round_trip(const Settings& settings) {
  const ClarabelFfiSettings c = to_ffi(settings);
  ClarabelFfiSettings back{};
  if (clarabel_ffi_settings_round_trip(&c, &back) != CLARABEL_FFI_OK) return {};
  return from_ffi(back);
}

CscMatrix CscMatrix::zeros(std::size_t m, std::size_t n) {
  CscMatrix a;
  a.m = m;
  a.n = n;
  a.colptr.assign(n + 1, 0);
  return a;
}

// Counted as Clarabel assembles the matrix: the upper triangle of P with every missing diagonal
// entry added, A, one block per cone below it (diagonal, or a dense triangle for second-order
// cones of dimension up to 4), and for each larger second-order cone two sparse columns of its
// dimension with their two diagonal entries.
KktSize kkt_size(const CscMatrix& P, const CscMatrix& A, std::span<const Cone> cones) {
  constexpr std::size_t kDenseSecondOrderMax = 4;
  std::size_t p_upper = 0, p_diagonal = 0;
  for (std::size_t j = 0; j < P.n && j + 1 < P.colptr.size(); ++j) {
    for (std::size_t k = P.colptr[j]; k < P.colptr[j + 1] && k < P.rowval.size(); ++k) {
      p_upper += P.rowval[k] <= j;
      p_diagonal += P.rowval[k] == j;
    }
  }
  KktSize kkt{saturating_sum({p_upper, P.n - std::min(P.n, p_diagonal), A.nzval.size()}),
              saturating_sum({A.m, A.n})};
  for (const Cone& cone : cones) {
    const std::size_t d = cone.dim;
    if (cone.kind != ConeKind::SecondOrder) {
      kkt.nonzeros = saturating_sum({kkt.nonzeros, d});
    } else if (d <= kDenseSecondOrderMax) {
      kkt.nonzeros += d * (d + 1) / 2;
    } else {
      kkt.nonzeros = saturating_sum({kkt.nonzeros, d, d, d, 2});
      kkt.order = saturating_sum({kkt.order, 2});
    }
  }
  return kkt;
}

// Measured as the address space one call maps at its peak, which is also the limit below which it
// fails (qdldl, the default method; QARN2 with Time and with three objectives, TOPP3 LP and SOCP,
// QARN3, at 20,000 and 50,000 stations of 6 axes): 88 bytes per KKT nonzero and 302 per KKT row
// fit every peak within 3 %. The estimate rounds these up and adds a quarter for programs whose
// factor fills in more.
std::size_t solve_footprint(KktSize kkt) {
  constexpr std::size_t kPerNonzero = 90, kPerRow = 310;
  const std::size_t peak = saturating_add(saturating_mul(kkt.nonzeros, kPerNonzero), saturating_mul(kkt.order, kPerRow));
  return saturating_add(peak, peak / 4);
}

Result<SolveOutput> solve(std::string_view component, const Settings& settings, const CscMatrix& P,
                          std::span<const double> q, const CscMatrix& A, std::span<const double> b,
                          std::span<const Cone> cones) {
  QARN_TRY(check_settings(component, settings));
  // Cones that do not cover A's rows are refused by Clarabel before it allocates for the program.
  std::size_t cone_rows = 0;
  for (const Cone& cone : cones) cone_rows = saturating_add(cone_rows, cone.dim);
  const KktSize kkt = kkt_size(P, A, cones);
  if (const std::size_t bytes = solve_footprint(kkt); cone_rows == A.m && !can_allocate(bytes)) {
    throw OutOfMemory(not_enough_memory(component, "for the Clarabel solve", bytes,
                                        fmt::format("its KKT system of order {} with {} nonzeros", kkt.order,
                                                    kkt.nonzeros)));
  }
  const ClarabelFfiSettings c_settings = to_ffi(settings);
  std::vector<ClarabelFfiCone> c_cones;
  c_cones.reserve(cones.size());
  for (const Cone& cone : cones) c_cones.push_back({static_cast<std::uint32_t>(cone.kind), cone.dim});
  const ClarabelFfiProblem problem{to_ffi(P),       q.data(),      q.size(),      to_ffi(A),
                                   b.data(),        b.size(),      c_cones.data(), c_cones.size()};

  SolveOutput out;
  out.x.resize(q.size());
  out.z.resize(b.size());
  out.s.resize(b.size());
  const ClarabelFfiSolutionBuffers buffers{out.x.data(), out.x.size(), out.z.data(),
                                           out.z.size(), out.s.data(), out.s.size()};

  ResultGuard result;
  const std::int32_t code = clarabel_ffi_solve(&c_settings, &problem, &buffers, &result.raw);
  const ClarabelFfiResult& r = result.raw;
  switch (code) {
    case CLARABEL_FFI_OK:
      break;
    case CLARABEL_FFI_INVALID_ARGUMENT:
      return CoreError::other(std::string(component), text_of(r.error));
    default:  // Clarabel's refusal or a caught panic inside it
      return CoreError::clarabel(std::string(component), text_of(r.error));
  }
  if (r.status >= static_cast<std::uint32_t>(kSolverStatusCount)) {
    return CoreError::other(std::string(component), fmt::format("unknown Clarabel status {}", r.status));
  }
  out.status = static_cast<SolverStatus>(r.status);
  out.iterations = r.iterations;
  out.obj_val = r.obj_val;
  out.obj_val_dual = r.obj_val_dual;
  out.r_prim = r.r_prim;
  out.r_dual = r.r_dual;
  out.solve_time = r.solve_time;
  out.linsolver = {text_of(r.linsolver.method), r.linsolver.threads, r.linsolver.direct != 0,
                   r.linsolver.nnz_a, r.linsolver.nnz_l};
  return out;
}

}  // namespace qarn::clarabel
