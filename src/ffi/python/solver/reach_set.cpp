// The ReachSet2Options and ReachSet2 classes.
#include "ffi/python/solver/reach_set.hpp"

#include <string>

#include "ffi/python/array.hpp"
#include "ffi/python/solver/enums.hpp"

namespace qarn::py {
namespace {

using qarn2::ReachSet2Options;

PyReachSet2Options reach_options_new(double lp_feas_tol, double a_cmp_abs_tol, double a_cmp_rel_tol,
                                     PyVerbosity verbosity) {
  const ReachSet2Options options{lp_feas_tol, a_cmp_abs_tol, a_cmp_rel_tol, verbosity.value};
  check(qarn2::validate_reach_set2_options(options));
  return {options};
}

template <double ReachSet2Options::*Tolerance>
double get_tolerance(Shared<PyReachSet2Options> self) {
  return self->options.*Tolerance;
}

// The value is converted before the object is borrowed: its __float__ may read this same object.
// The candidate record must pass the rule as a whole before it replaces the stored one, so a
// refused value leaves the object as it was.
template <double ReachSet2Options::*Tolerance>
void set_tolerance(Exclusive<PyReachSet2Options> self, SetterValue<double> value) {
  ReachSet2Options candidate = self->options;
  candidate.*Tolerance = value.value;
  check(qarn2::validate_reach_set2_options(candidate));
  self->options = candidate;
}

std::string reach_options_repr(Shared<PyReachSet2Options> self) {
  const ReachSet2Options& o = self->options;
  return fmt::format("ReachSet2Options(lp_feas_tol={}, a_cmp_abs_tol={}, a_cmp_rel_tol={}, verbosity={})",
                     o.lp_feas_tol, o.a_cmp_abs_tol, o.a_cmp_rel_tol, PyVerbosity{o.verbosity}.display());
}

std::size_t reach_set_len(Shared<PyReachSet2> self) { return self->a_max.size(); }
bool reach_set_bool(Shared<PyReachSet2> self) { return !self->a_max.empty(); }
std::string reach_set_repr(Shared<PyReachSet2> self) { return fmt::format("ReachSet2(len={})", self->a_max.size()); }

constexpr const char* kFreshArray =
    "\n\nA fresh NumPy array is returned on each access; mutating it does not modify the result "
    "object or any solver state.";

}  // namespace

qarn2::ReachSet2Options resolve_reach_set2_options(std::optional<Shared<PyReachSet2Options>> options) {
  const ReachSet2Options record = options ? (*options)->options : ReachSet2Options{};
  check(qarn2::validate_reach_set2_options(record));
  return record;
}

void define(ClassDef<PyReachSet2Options>& c) {
  c.name("ReachSet2Options",
         "Python-owned options for TOPP2 reachable-set based solvers.\n\n"
         "Defaults (those of ``ReachSet2OptionsBuilder::new``): ``lp_feas_tol``, ``a_cmp_abs_tol`` and "
         "``a_cmp_rel_tol`` 1e-8, and verbosity ``Verbosity.Silent``.\n\n"
         "The tolerances act relative to the problem's own scale: the solvers measure `a` in a unit "
         "taken from the stored limits (their typical size), so the same "
         "options mean the same thing whether the limits are near 1e-6 or 1e6.")
      .init<reach_options_new>(
          "ReachSet2Options(*, lp_feas_tol=1e-08, a_cmp_abs_tol=1e-08, a_cmp_rel_tol=1e-08, verbosity='silent')")
      .property<get_tolerance<&ReachSet2Options::lp_feas_tol>, set_tolerance<&ReachSet2Options::lp_feas_tol>>(
          "lp_feas_tol",
          "Return the LP feasibility tolerance (relative to the problem's scale of `a`).\n\n"
          "Set the LP feasibility tolerance (relative to the problem's scale of `a`).")
      .property<get_tolerance<&ReachSet2Options::a_cmp_abs_tol>, set_tolerance<&ReachSet2Options::a_cmp_abs_tol>>(
          "a_cmp_abs_tol",
          "Return the absolute comparison tolerance for `a` bounds, in the problem's unit of `a`.\n\n"
          "Set the absolute comparison tolerance for `a` bounds, in the problem's unit of `a`.")
      .property<get_tolerance<&ReachSet2Options::a_cmp_rel_tol>, set_tolerance<&ReachSet2Options::a_cmp_rel_tol>>(
          "a_cmp_rel_tol",
          "Return the relative comparison tolerance for `a` bounds.\n\n"
          "Set the relative comparison tolerance for `a` bounds.")
      .repr<reach_options_repr>();
  define_verbosity_property<&PyReachSet2Options::options, &ReachSet2Options::verbosity>(c);
}

void define(ClassDef<PyReachSet2>& c) {
  static const std::string a_max_doc = std::string("Return the upper reachable bound for each station.") + kFreshArray;
  static const std::string a_min_doc = std::string("Return the lower reachable bound for each station.") + kFreshArray;
  c.name("ReachSet2", "Python-owned TOPP2/QARN2 reachable intervals.")
      .field<&PyReachSet2::a_max>("a_max", a_max_doc.c_str())
      .field<&PyReachSet2::a_min>("a_min", a_min_doc.c_str())
      .getter<reach_set_len>("len", "Return the number of stations covered by this reachable set.")
      .len<reach_set_len>()
      .bool_<reach_set_bool>()
      .repr<reach_set_repr>();
}

}  // namespace qarn::py
