// The error values of the core: `CoreError` and the three specific errors it can wrap
// (`ConstraintError`, `PathError`, `DynamicsError`). Their display texts are what users read,
// so each text lives in exactly one place, in error.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "diag/format.hpp"
#include "diag/solver_status.hpp"

namespace qarn {

// Errors of the station store and of the limit builders that write into it.
struct ConstraintError {
  struct NonIncreasingS { std::size_t index; };
  struct NoMatchDimensions {};
  struct NoMatchOrder {};
  struct InvalidSignedBounds { const char* bound_name; };
  struct OutOfSBounds { std::size_t idx_s; std::size_t len; };
  struct NonPositiveA {};
  struct NonPositiveLinearizationFloor {};
  struct NoGivenQInfo {};
  struct LinearJerkNotAvailable { std::size_t idx_s; std::size_t valid_start; std::size_t valid_end; };
  struct NoDynamic {};
  struct InfeasibleReference {};
  struct EmptyInterval { std::size_t start; std::size_t end; };
  // A path derivative ("q", "dq", "ddq", "dddq") that is NaN or infinite at a station and axis.
  struct NonFiniteDerivative { const char* name; std::size_t idx_s; std::size_t axis; double value; };

  using Value = std::variant<NonIncreasingS, NoMatchDimensions, NoMatchOrder, InvalidSignedBounds,
                             OutOfSBounds, NonPositiveA, NonPositiveLinearizationFloor, NoGivenQInfo,
                             LinearJerkNotAvailable, NoDynamic, InfeasibleReference, EmptyInterval,
                             NonFiniteDerivative>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V&&>
  ConstraintError(V&& v) : value(std::forward<V>(v)) {}  // NOLINT: implicit, like an enum variant

  std::string display() const;
  std::string debug() const;  // variant name and fields, e.g. OutOfSBounds { idx_s: 3, len: 5 }
  template <class V> bool is() const { return std::holds_alternative<V>(value); }
  template <class V> const V* get_if() const { return std::get_if<V>(&value); }
};

// Errors of path construction and evaluation.
struct PathError {
  struct SmoothingFailed { std::string message; };
  struct InvalidDimension { std::size_t dimension; };
  struct InvalidSRange { double s_min; double s_max; };
  struct InvalidSplineOrder { std::size_t order; };
  struct DimensionMismatch {};
  struct UnsupportedDerivativeOrder { std::size_t requested; std::size_t available; };
  struct EvaluatorError { std::string message; };
  struct NotEnoughWaypoints { std::size_t count; };
  struct SOutOfRange { double s_min; double s_max; std::size_t index; double s; };
  struct UnsupportedBoundary { std::size_t order; };
  struct SingularLinearSystem {};

  using Value = std::variant<SmoothingFailed, InvalidDimension, InvalidSRange, InvalidSplineOrder,
                             DimensionMismatch, UnsupportedDerivativeOrder, EvaluatorError,
                             NotEnoughWaypoints, SOutOfRange, UnsupportedBoundary, SingularLinearSystem>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V&&>
  PathError(V&& v) : value(std::forward<V>(v)) {}  // NOLINT: implicit, like an enum variant
  // Out of line: inlined, the moves of the variant's string alternatives draw GCC's false
  // "may be used uninitialized" warnings at every call site that returns a PathError.
  PathError(const PathError&);
  PathError(PathError&&) noexcept;
  PathError& operator=(const PathError&);
  PathError& operator=(PathError&&) noexcept;
  ~PathError();

  std::string display() const;
  template <class V> bool is() const { return std::holds_alternative<V>(value); }
  template <class V> const V* get_if() const { return std::get_if<V>(&value); }
};

// Failure of the robot's inverse dynamics; the message is the whole text.
struct DynamicsError {
  std::string message;
  const std::string& display() const { return message; }
};

// The single error value of every fallible core operation.
class CoreError {
 public:
  // Numbered as the binding layer reads them: 1 -> ConstraintError, 2 -> PathError, else QarnError.
  enum class Kind : std::uint8_t {
    Io = 0,
    Constraint = 1,
    Path = 2,
    RobotDynamics = 3,
    Infeasible = 4,
    Unbounded = 5,
    InvalidInput = 6,
    InvalidOptions = 7,
    Clarabel = 8,
    ClarabelStatus = 9,
    Other = 10,
  };

  CoreError(ConstraintError e) : kind_(Kind::Constraint), payload_(std::move(e)) {}  // NOLINT
  CoreError(PathError e) : kind_(Kind::Path), payload_(std::move(e)) {}              // NOLINT
  CoreError(DynamicsError e) : kind_(Kind::RobotDynamics), payload_(std::move(e)) {}  // NOLINT
  template <class V>
    requires std::is_constructible_v<ConstraintError::Value, V&&>
  CoreError(V&& v) : CoreError(ConstraintError{std::forward<V>(v)}) {}  // NOLINT
  template <class V>
    requires std::is_constructible_v<PathError::Value, V&&> &&
             (!std::is_constructible_v<ConstraintError::Value, V &&>)
  CoreError(V&& v) : CoreError(PathError{std::forward<V>(v)}) {}  // NOLINT

  static CoreError io(std::string message);
  static CoreError infeasible(std::string component, std::string message);
  static CoreError unbounded(std::string component, std::string message);
  static CoreError invalid_input(std::string component, std::string message);
  static CoreError invalid_options(std::string component, std::string message);
  // `solver_text` is the conic solver's own error text.
  static CoreError clarabel(std::string component, std::string solver_text);
  static CoreError clarabel_status(std::string component, SolverStatus status);
  static CoreError other(std::string component, std::string message);
  // Memory that could not be had, as an error value where an exception cannot travel (pool jobs)
  // or where the operation reports its errors as values; kind Other, raised in Python as
  // MemoryError.
  static CoreError out_of_memory(std::string component, std::string message);

  Kind kind() const { return kind_; }
  std::string display() const;

  const ConstraintError* constraint() const { return std::get_if<ConstraintError>(&payload_); }
  const PathError* path() const { return std::get_if<PathError>(&payload_); }
  const DynamicsError* dynamics() const { return std::get_if<DynamicsError>(&payload_); }
  // Component name of kinds 4-10, empty otherwise.
  const std::string& component() const { return component_; }
  // Message of kinds 0, 4-8 and 10 (the solver's text for Clarabel), empty otherwise.
  const std::string& message() const;
  SolverStatus status() const;  // kind ClarabelStatus only; Unsolved otherwise
  bool is_out_of_memory() const { return out_of_memory_; }

 private:
  struct Text { std::string text; };
  using Payload = std::variant<Text, ConstraintError, PathError, DynamicsError, SolverStatus>;
  CoreError(Kind kind, std::string component, Payload payload)
      : kind_(kind), component_(std::move(component)), payload_(std::move(payload)) {}

  Kind kind_;
  std::string component_;
  Payload payload_;
  bool out_of_memory_ = false;
};

inline void format_value(std::string& out, const ConstraintError& e, fmt::Spec spec) {
  out += spec.form == fmt::Spec::Form::Debug ? e.debug() : e.display();
}
inline void format_value(std::string& out, const PathError& e, fmt::Spec) { out += e.display(); }
inline void format_value(std::string& out, const DynamicsError& e, fmt::Spec) { out += e.message; }
inline void format_value(std::string& out, const CoreError& e, fmt::Spec) { out += e.display(); }

}  // namespace qarn
