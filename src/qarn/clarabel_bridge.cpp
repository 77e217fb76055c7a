// Translation between the C++ records of clarabel_bridge.hpp and the C interface of the Rust
// bridge library; owns nothing beyond one call.
#include "qarn/clarabel_bridge.hpp"

#include <clarabel_ffi.h>

#include "diag/format.hpp"

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

// Releases the library-owned strings of a result on every path out of `solve`.
class ResultGuard {
 public:
  ResultGuard() = default;
  ResultGuard(const ResultGuard&) = delete;
  ResultGuard& operator=(const ResultGuard&) = delete;
  ~ResultGuard() { clarabel_ffi_result_free(&raw); }
  ClarabelFfiResult raw{};
};

}  // namespace

Settings Settings::defaults() {
  ClarabelFfiSettings c{};
  clarabel_ffi_default_settings(&c);  // cannot fail for a valid pointer
  Settings s;
#define QARN_CLARABEL_FROM_FFI(type, name) from_ffi(s.name, c.name);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_CLARABEL_FROM_FFI)
#undef QARN_CLARABEL_FROM_FFI
  return s;
}

CscMatrix CscMatrix::zeros(std::size_t m, std::size_t n) {
  CscMatrix a;
  a.m = m;
  a.n = n;
  a.colptr.assign(n + 1, 0);
  return a;
}

Result<SolveOutput> solve(std::string_view component, const Settings& settings, const CscMatrix& P,
                          std::span<const double> q, const CscMatrix& A, std::span<const double> b,
                          std::span<const Cone> cones) {
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
