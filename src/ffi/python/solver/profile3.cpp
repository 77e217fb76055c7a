// The Profile3rd class.
#include "ffi/python/solver/profile3.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ffi/python/array.hpp"
#include "qarn/qarn3/interpolation.hpp"

namespace qarn::py {
namespace {

// The `num_stationary` argument, a (start, end) tuple; a tuple of another length is refused
// naming the argument, as a conversion of the wrong type is.
struct StationaryCounts {
  qarn3::NumStationary value;
};

}  // namespace

template <>
struct FromPy<StationaryCounts> {
  static StationaryCounts convert(PyObject* object, std::string_view name) {
    try {
      return {FromPy<qarn3::NumStationary>::convert(object, name)};
    } catch (const Error& error) {
      if (!error.is(PyExc_ValueError)) throw;
      throw Error::value(fmt::format("argument '{}': {}", name, error.message()));
    }
  }
};

namespace {

using qarn3::Topp3Profile;

// num_stationary is converted (by the entry frame) before the arrays.
PyProfile3rd profile_new(PyObject* a, PyObject* b, StationaryCounts num_stationary) {
  std::vector<double> a_values = to_contiguous_f64_1d("a", a);
  std::vector<double> b_values = to_contiguous_f64_1d("b", b);
  if (a_values.size() != b_values.size()) {
    throw Error::value(fmt::format("`a` and `b` must have the same length, got {} and {}", a_values.size(),
                                   b_values.size()));
  }
  return {{std::move(a_values), std::move(b_values), num_stationary.value}};
}

std::uint64_t profile_len(Shared<PyProfile3rd> self) { return self->profile.a.size(); }
bool profile_bool(Shared<PyProfile3rd> self) { return !self->profile.a.empty(); }

// The core's checks come first; what it changed stays changed even when it reports failure.
bool profile_force_positive_a(Exclusive<PyProfile3rd> self, PyObject* s, double a_min) {
  const std::vector<double> grid = to_contiguous_f64_1d("s", s);
  return check(qarn3::force_positive_a(self->profile, grid, a_min));
}

constexpr const char* kForcePositiveDoc =
    "Post-process the stored `(a, b)` profile in place so that interpolated\n"
    "`a(s)` stays strictly positive per interval.\n\n"
    "A thin wrapper over the core routine ``force_positive_a``: a numerical safety pass for profiles whose "
    "``a`` values may touch zero between stations through finite precision, applied before timing "
    "integration (``s_to_t_topp3``).\n\n"
    "Parameters: ``s`` is the strictly increasing station grid, of the profile's length (at least 4 "
    "entries); ``a_min`` (default 1e-12) is the lower floor used when lifting near-zero interior ``a`` "
    "values.\n\n"
    "Returns True when the in-place adjustment succeeds.\n\n"
    "Raises ValueError when ``s`` cannot be converted and ``QarnError`` when the core rejects the grid, "
    "the profile, the stationary counts or their finiteness.";

std::string profile_repr(Shared<PyProfile3rd> self) {
  const auto [start, end] = self->profile.num_stationary;
  return fmt::format("Profile3rd(len={}, num_stationary=({}, {}))", self->profile.a.size(), start, end);
}

}  // namespace

void define(ClassDef<PyProfile3rd>& c) {
  using P = PyProfile3rd;
  c.name("Profile3rd",
         "Python-owned third-order TOPP/QARN profile.\n\n"
         "Stores the node profiles ``a = (ds/dt)^2`` and ``b = dds/dt`` at the stations plus the numbers "
         "of stationary boundary intervals ``(start, end)``. The object owns copies of the input arrays, so "
         "later mutation of the caller's NumPy arrays cannot change solver inputs.")
      .subclassable()
      .init<profile_new>("Profile3rd(a, b, num_stationary=(0, 0))")
      .field<&P::profile, &Topp3Profile::a>("a", "Return a copy of the node profile `a = (ds/dt)^2`.")
      .field<&P::profile, &Topp3Profile::b>("b", "Return a copy of the node profile `b = dds/dt`.")
      .getter<profile_len>("len", "Return the number of station nodes in the profile.")
      .field<&P::profile, &Topp3Profile::num_stationary>(
          "num_stationary", "Return stationary boundary interval counts as `(start, end)`.")
      .field<&P::profile, &Topp3Profile::num_stationary, &qarn3::NumStationary::first>(
          "num_stationary_start", "Return the number of stationary intervals at the start boundary.")
      .field<&P::profile, &Topp3Profile::num_stationary, &qarn3::NumStationary::second>(
          "num_stationary_end", "Return the number of stationary intervals at the end boundary.")
      .method<profile_force_positive_a>("force_positive_a($self, s, a_min=1e-12)", kForcePositiveDoc)
      .len<profile_len>()
      .bool_<profile_bool>()
      .repr<profile_repr>();
}

}  // namespace qarn::py
