// Display texts of the core's error values.
#include "diag/error.hpp"

namespace qarn {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::string ConstraintError::display() const {
  using fmt::format;
  return std::visit(
      Overloaded{
          [](const NonIncreasingS& e) {
            return format("`s` must be strictly increasing; first violation at local index {}.", e.index);
          },
          [](const NoMatchDimensions&) {
            return std::string{"Input dimensions do not match the expected shape."};
          },
          [](const NoMatchOrder&) {
            return std::string{"Input order does not satisfy the expected contract."};
          },
          [](const InvalidSignedBounds& e) {
            return format(
                "`{}` requires strict signed limits at every station: upper bound > 0 and lower bound < 0.",
                e.bound_name);
          },
          [](const OutOfSBounds& e) {
            return format("Requested station interval is out of bounds: idx_s={}, len={}.", e.idx_s, e.len);
          },
          [](const NonPositiveA&) {
            return std::string{
                "Input `a` violates positivity requirements (must be nonnegative, and strictly positive "
                "where required)."};
          },
          [](const NonPositiveLinearizationFloor&) {
            return std::string{"Linearization floor must be strictly positive."};
          },
          [](const NoGivenQInfo&) {
            return std::string{
                "Required derivative data (`q`, `dq`, `ddq`, `dddq`) is not fully available in the "
                "requested interval."};
          },
          [](const LinearJerkNotAvailable& e) {
            return format("Linearized jerk constraints are unavailable at idx_s={}; valid range is [{}, {}).",
                          e.idx_s, e.valid_start, e.valid_end);
          },
          [](const NoDynamic&) { return std::string{"Required dynamic-model information is not available."}; },
          [](const InfeasibleReference&) {
            return std::string{"Reference profile is infeasible under current constraints."};
          },
          [](const EmptyInterval& e) {
            return format("Requested interval is empty: {} <= idx_s < {}.", e.start, e.end);
          },
          [](const NonFiniteDerivative& e) {
            return format("`{}` at idx_s={}, axis {} is {}; path derivatives must be finite.", e.name, e.idx_s,
                          e.axis, e.value);
          },
      },
      value);
}

std::string ConstraintError::debug() const {
  using fmt::format;
  return std::visit(
      Overloaded{
          [](const NonIncreasingS& e) { return format("NonIncreasingS {{ index: {} }}", e.index); },
          [](const NoMatchDimensions&) { return std::string{"NoMatchDimensions"}; },
          [](const NoMatchOrder&) { return std::string{"NoMatchOrder"}; },
          [](const InvalidSignedBounds& e) {
            return format("InvalidSignedBounds {{ bound_name: {:?} }}", std::string_view{e.bound_name});
          },
          [](const OutOfSBounds& e) { return format("OutOfSBounds {{ idx_s: {}, len: {} }}", e.idx_s, e.len); },
          [](const NonPositiveA&) { return std::string{"NonPositiveA"}; },
          [](const NonPositiveLinearizationFloor&) { return std::string{"NonPositiveLinearizationFloor"}; },
          [](const NoGivenQInfo&) { return std::string{"NoGivenQInfo"}; },
          [](const LinearJerkNotAvailable& e) {
            return format("LinearJerkNotAvailable {{ idx_s: {}, valid_range: {}..{} }}", e.idx_s, e.valid_start,
                          e.valid_end);
          },
          [](const NoDynamic&) { return std::string{"NoDynamic"}; },
          [](const InfeasibleReference&) { return std::string{"InfeasibleReference"}; },
          [](const EmptyInterval& e) { return format("EmptyInterval {{ start: {}, end: {} }}", e.start, e.end); },
          [](const NonFiniteDerivative& e) {
            return format("NonFiniteDerivative {{ name: {:?}, idx_s: {}, axis: {}, value: {:?} }}",
                          std::string_view{e.name}, e.idx_s, e.axis, e.value);
          },
      },
      value);
}

std::string PathError::display() const {
  using fmt::format;
  return std::visit(
      Overloaded{
          [](const SmoothingFailed& e) { return format("path smoothing failed: {}", e.message); },
          [](const InvalidDimension& e) { return format("invalid dimension: {}", e.dimension); },
          [](const InvalidSRange& e) { return format("invalid s range: [{}, {}]", e.s_min, e.s_max); },
          [](const InvalidSplineOrder& e) { return format("invalid spline order: {}, expected >= 3", e.order); },
          [](const DimensionMismatch&) { return std::string{"dimension mismatch"}; },
          [](const UnsupportedDerivativeOrder& e) {
            return format("unsupported derivative order: requested {}, available {}", e.requested, e.available);
          },
          [](const EvaluatorError& e) { return format("path evaluator error: {}", e.message); },
          [](const NotEnoughWaypoints& e) { return format("not enough waypoints: {}, expected >= 2", e.count); },
          [](const SOutOfRange& e) {
            return format("s out of range [{}, {}] at index {}: {}", e.s_min, e.s_max, e.index, e.s);
          },
          [](const UnsupportedBoundary& e) { return format("unsupported boundary for order={}", e.order); },
          [](const SingularLinearSystem&) { return std::string{"singular linear system"}; },
      },
      value);
}

PathError::PathError(const PathError&) = default;
PathError::PathError(PathError&&) noexcept = default;
PathError& PathError::operator=(const PathError&) = default;
PathError& PathError::operator=(PathError&&) noexcept = default;
PathError::~PathError() = default;

CoreError CoreError::io(std::string message) { return {Kind::Io, {}, Text{std::move(message)}}; }
CoreError CoreError::infeasible(std::string component, std::string message) {
  return {Kind::Infeasible, std::move(component), Text{std::move(message)}};
}
CoreError CoreError::unbounded(std::string component, std::string message) {
  return {Kind::Unbounded, std::move(component), Text{std::move(message)}};
}
CoreError CoreError::invalid_input(std::string component, std::string message) {
  return {Kind::InvalidInput, std::move(component), Text{std::move(message)}};
}
CoreError CoreError::invalid_options(std::string component, std::string message) {
  return {Kind::InvalidOptions, std::move(component), Text{std::move(message)}};
}
CoreError CoreError::clarabel(std::string component, std::string solver_text) {
  return {Kind::Clarabel, std::move(component), Text{std::move(solver_text)}};
}
CoreError CoreError::clarabel_status(std::string component, SolverStatus status) {
  return {Kind::ClarabelStatus, std::move(component), status};
}
CoreError CoreError::other(std::string component, std::string message) {
  return {Kind::Other, std::move(component), Text{std::move(message)}};
}
CoreError CoreError::out_of_memory(std::string component, std::string message) {
  CoreError error = other(std::move(component), std::move(message));
  error.out_of_memory_ = true;
  return error;
}

const std::string& CoreError::message() const {
  static const std::string empty;
  const Text* t = std::get_if<Text>(&payload_);
  return t ? t->text : empty;
}

SolverStatus CoreError::status() const {
  const SolverStatus* s = std::get_if<SolverStatus>(&payload_);
  return s ? *s : SolverStatus::Unsolved;
}

std::string CoreError::display() const {
  using fmt::format;
  switch (kind_) {
    case Kind::Io: return format("I/O error: {}", message());
    case Kind::Constraint: return format("Some error occurred in the Constraint struct: {}", *constraint());
    case Kind::Path: return format("Some error occurred in the Path struct: {}", *path());
    case Kind::RobotDynamics: return format("Robot dynamics error: {}", *dynamics());
    case Kind::Infeasible: return format("{} reported an infeasibility: {}", component_, message());
    case Kind::Unbounded: return format("{} reported an unboundedness: {}", component_, message());
    case Kind::InvalidInput: return format("{} reported an invalid input: {}", component_, message());
    case Kind::InvalidOptions: return format("{} reported an invalid options: {}", component_, message());
    case Kind::Clarabel: return format("{} reported an error in Clarabel solver: {}", component_, message());
    case Kind::ClarabelStatus:
      return format("{} reported a failure in Clarabel solver with status {}", component_, status_name(status()));
    case Kind::Other: return format("{} reported an error: {}", component_, message());
  }
  return {};
}

}  // namespace qarn
