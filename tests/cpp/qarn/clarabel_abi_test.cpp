// The C header of the Rust bridge against the library: every record's size, alignment and field
// offsets as the header gives them equal those the library reports, every field of each record
// is listed (checked by counting the record's members), and the 39 settings with distinct values
// reach Clarabel under their own names and come back unchanged.
#include <clarabel_ffi.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "diag/format.hpp"
#include "qarn/clarabel_bridge.hpp"

namespace qarn::clarabel {
namespace {

// ---- layout ----

// Converts to any member type, so that T{AnyMember{}, ...} compiles with as many initializers as
// T has members and no more.
struct AnyMember {
  template <class T>
  operator T() const;  // NOLINT: implicit on purpose; never defined
};

template <class T, std::size_t... I>
constexpr bool takes_initializers(std::index_sequence<I...>) {
  return requires { T{(void(I), AnyMember{})...}; };
}

template <class T, std::size_t N = 0>
constexpr std::size_t member_count() {
  if constexpr (takes_initializers<T>(std::make_index_sequence<N + 1>{})) {
    return member_count<T, N + 1>();
  } else {
    return N;
  }
}

struct Field {
  const char* name;
  std::size_t offset;
  std::size_t size;
};

// One line in the library's form; the field list must name every member of T.
template <class T>
std::string record_line(const char* name, std::initializer_list<Field> fields) {
  EXPECT_EQ(fields.size(), member_count<T>()) << name << " has members the list leaves out";
  std::string line = fmt::format("{} {} {}:", name, sizeof(T), alignof(T));
  for (const Field& f : fields) line += fmt::format(" {}@{}+{}", f.name, f.offset, f.size);
  return line + "\n";
}

#define QARN_FIELD(T, name) Field{#name, offsetof(T, name), sizeof(T::name)}

std::string header_layout() {
  using Settings = ClarabelFfiSettings;
  return record_line<ClarabelFfiStr>("ClarabelFfiStr", {QARN_FIELD(ClarabelFfiStr, ptr), QARN_FIELD(ClarabelFfiStr, len)}) +
         record_line<ClarabelFfiOwnedStr>("ClarabelFfiOwnedStr", {QARN_FIELD(ClarabelFfiOwnedStr, ptr),
                                                                  QARN_FIELD(ClarabelFfiOwnedStr, len)}) +
         record_line<Settings>(
             "ClarabelFfiSettings",
             {QARN_FIELD(Settings, max_iter), QARN_FIELD(Settings, time_limit), QARN_FIELD(Settings, verbose),
              QARN_FIELD(Settings, max_step_fraction), QARN_FIELD(Settings, tol_gap_abs),
              QARN_FIELD(Settings, tol_gap_rel), QARN_FIELD(Settings, tol_feas), QARN_FIELD(Settings, tol_infeas_abs),
              QARN_FIELD(Settings, tol_infeas_rel), QARN_FIELD(Settings, tol_ktratio),
              QARN_FIELD(Settings, reduced_tol_gap_abs), QARN_FIELD(Settings, reduced_tol_gap_rel),
              QARN_FIELD(Settings, reduced_tol_feas), QARN_FIELD(Settings, reduced_tol_infeas_abs),
              QARN_FIELD(Settings, reduced_tol_infeas_rel), QARN_FIELD(Settings, reduced_tol_ktratio),
              QARN_FIELD(Settings, equilibrate_enable), QARN_FIELD(Settings, equilibrate_max_iter),
              QARN_FIELD(Settings, equilibrate_min_scaling), QARN_FIELD(Settings, equilibrate_max_scaling),
              QARN_FIELD(Settings, linesearch_backtrack_step), QARN_FIELD(Settings, min_switch_step_length),
              QARN_FIELD(Settings, min_terminate_step_length), QARN_FIELD(Settings, max_threads),
              QARN_FIELD(Settings, direct_kkt_solver), QARN_FIELD(Settings, direct_solve_method),
              QARN_FIELD(Settings, static_regularization_enable), QARN_FIELD(Settings, static_regularization_constant),
              QARN_FIELD(Settings, static_regularization_proportional),
              QARN_FIELD(Settings, dynamic_regularization_enable), QARN_FIELD(Settings, dynamic_regularization_eps),
              QARN_FIELD(Settings, dynamic_regularization_delta), QARN_FIELD(Settings, iterative_refinement_enable),
              QARN_FIELD(Settings, iterative_refinement_reltol), QARN_FIELD(Settings, iterative_refinement_abstol),
              QARN_FIELD(Settings, iterative_refinement_max_iter),
              QARN_FIELD(Settings, iterative_refinement_stop_ratio), QARN_FIELD(Settings, presolve_enable),
              QARN_FIELD(Settings, input_sparse_dropzeros)}) +
         record_line<ClarabelFfiCsc>(
             "ClarabelFfiCsc",
             {QARN_FIELD(ClarabelFfiCsc, m), QARN_FIELD(ClarabelFfiCsc, n), QARN_FIELD(ClarabelFfiCsc, colptr),
              QARN_FIELD(ClarabelFfiCsc, colptr_len), QARN_FIELD(ClarabelFfiCsc, rowval),
              QARN_FIELD(ClarabelFfiCsc, rowval_len), QARN_FIELD(ClarabelFfiCsc, nzval),
              QARN_FIELD(ClarabelFfiCsc, nzval_len)}) +
         record_line<ClarabelFfiCone>("ClarabelFfiCone", {QARN_FIELD(ClarabelFfiCone, kind), QARN_FIELD(ClarabelFfiCone, dim)}) +
         record_line<ClarabelFfiProblem>(
             "ClarabelFfiProblem",
             {QARN_FIELD(ClarabelFfiProblem, p), QARN_FIELD(ClarabelFfiProblem, q), QARN_FIELD(ClarabelFfiProblem, q_len),
              QARN_FIELD(ClarabelFfiProblem, a), QARN_FIELD(ClarabelFfiProblem, b), QARN_FIELD(ClarabelFfiProblem, b_len),
              QARN_FIELD(ClarabelFfiProblem, cones), QARN_FIELD(ClarabelFfiProblem, cones_len)}) +
         record_line<ClarabelFfiSolutionBuffers>(
             "ClarabelFfiSolutionBuffers",
             {QARN_FIELD(ClarabelFfiSolutionBuffers, x), QARN_FIELD(ClarabelFfiSolutionBuffers, x_len),
              QARN_FIELD(ClarabelFfiSolutionBuffers, z), QARN_FIELD(ClarabelFfiSolutionBuffers, z_len),
              QARN_FIELD(ClarabelFfiSolutionBuffers, s), QARN_FIELD(ClarabelFfiSolutionBuffers, s_len)}) +
         record_line<ClarabelFfiLinearSolverInfo>(
             "ClarabelFfiLinearSolverInfo",
             {QARN_FIELD(ClarabelFfiLinearSolverInfo, method), QARN_FIELD(ClarabelFfiLinearSolverInfo, threads),
              QARN_FIELD(ClarabelFfiLinearSolverInfo, direct), QARN_FIELD(ClarabelFfiLinearSolverInfo, nnz_a),
              QARN_FIELD(ClarabelFfiLinearSolverInfo, nnz_l)}) +
         record_line<ClarabelFfiResult>(
             "ClarabelFfiResult",
             {QARN_FIELD(ClarabelFfiResult, status), QARN_FIELD(ClarabelFfiResult, iterations),
              QARN_FIELD(ClarabelFfiResult, obj_val), QARN_FIELD(ClarabelFfiResult, obj_val_dual),
              QARN_FIELD(ClarabelFfiResult, r_prim), QARN_FIELD(ClarabelFfiResult, r_dual),
              QARN_FIELD(ClarabelFfiResult, solve_time), QARN_FIELD(ClarabelFfiResult, linsolver),
              QARN_FIELD(ClarabelFfiResult, error)});
}

#undef QARN_FIELD

std::string library_layout() {
  std::string text(clarabel_ffi_layout(nullptr, 0), '\0');
  clarabel_ffi_layout(text.data(), text.size() + 1);
  return text;
}

TEST(ClarabelAbi, TheHeaderLaysOutEveryRecordAsTheLibraryDoes) {
  EXPECT_EQ(header_layout(), library_layout());
  // The member count itself, on records whose count is known.
  static_assert(member_count<ClarabelFfiStr>() == 2);
  static_assert(member_count<ClarabelFfiSettings>() == 39);
  static_assert(member_count<ClarabelFfiResult>() == 9);
  // Text cut to a small buffer stays terminated.
  char small[8];
  EXPECT_EQ(clarabel_ffi_layout(small, sizeof small), library_layout().size());
  EXPECT_EQ(std::string(small), library_layout().substr(0, 7));
}

// ---- settings ----

// Every field a value no other field has: counts 1000 + k, reals k + 0.375, the method
// "method-k" for field k; the eight booleans take bit `bit` of their own index, so that over
// bits 0 to 2 each has a pattern of its own.
void assign(std::uint32_t& v, std::uint32_t k, unsigned&, unsigned) { v = 1000 + k; }
void assign(double& v, std::uint32_t k, unsigned&, unsigned) { v = k + 0.375; }
void assign(std::string& v, std::uint32_t k, unsigned&, unsigned) { v = "method-" + std::to_string(k); }
void assign(bool& v, std::uint32_t, unsigned& index, unsigned bit) { v = ((index++ >> bit) & 1u) != 0; }

Settings distinct_settings(unsigned bit) {
  Settings s;
  std::uint32_t k = 0;
  unsigned index = 0;
#define QARN_DISTINCT(type, name) assign(s.name, k++, index, bit);
  QARN_CLARABEL_SETTINGS_FIELDS(QARN_DISTINCT)
#undef QARN_DISTINCT
  EXPECT_EQ(index, 8u);
  return s;
}

// "DefaultSettings { a: 1, b: \"x\" }" -> {a: "1", b: "\"x\""} (no value here holds ", ").
std::map<std::string, std::string> debug_fields(std::string text) {
  const std::string head = "DefaultSettings { ", tail = " }";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  text = text.substr(head.size(), text.size() - head.size() - tail.size()) + ", ";
  std::map<std::string, std::string> fields;
  for (std::size_t at = 0, end; (end = text.find(", ", at)) != std::string::npos; at = end + 2) {
    const std::size_t colon = text.find(": ", at);
    fields[text.substr(at, colon - at)] = text.substr(colon + 2, end - colon - 2);
  }
  return fields;
}

using Received = std::map<std::string, std::string>;

bool has(const Received& received, const char* name) {
  EXPECT_TRUE(received.contains(name)) << name << " did not reach Clarabel";
  return received.contains(name);
}
void expect_received(const Received& received, const char* name, double v) {
  if (has(received, name)) {
    EXPECT_EQ(std::stod(received.at(name)), v) << name;  // shortest form, exact
  }
}
void expect_received(const Received& received, const char* name, std::uint32_t v) {
  if (has(received, name)) {
    EXPECT_EQ(received.at(name), std::to_string(v)) << name;
  }
}
void expect_received(const Received& received, const char* name, bool v) {
  if (has(received, name)) {
    EXPECT_EQ(received.at(name), v ? "true" : "false") << name;
  }
}
void expect_received(const Received& received, const char* name, const std::string& v) {
  if (has(received, name)) {
    EXPECT_EQ(received.at(name), "\"" + v + "\"") << name;
  }
}

TEST(ClarabelAbi, EverySettingReachesClarabelUnderItsOwnNameAndComesBack) {
  for (unsigned bit = 0; bit < 3; ++bit) {
    SCOPED_TRACE(bit);
    const Settings sent = distinct_settings(bit);
    const Received received = debug_fields(settings_as_received(sent));
    EXPECT_EQ(received.size(), 39u);
#define QARN_EXPECT_RECEIVED(type, name) expect_received(received, #name, sent.name);
    QARN_CLARABEL_SETTINGS_FIELDS(QARN_EXPECT_RECEIVED)
#undef QARN_EXPECT_RECEIVED
    EXPECT_EQ(settings_round_trip(sent), sent);
  }
  // A method string that is not UTF-8 is refused, and the refusal is the text.
  Settings bad = Settings::defaults();
  bad.direct_solve_method = "\xff";
  EXPECT_EQ(settings_as_received(bad), "direct_solve_method is not valid UTF-8");
}

}  // namespace
}  // namespace qarn::clarabel
