// The time conversions of both orders. Arrays are read with their own names after the scalar
// arguments (a third-order profile comes first of all), in the order the functions document;
// results hand their buffer to NumPy.
#include <optional>
#include <utility>
#include <vector>

#include "ffi/python/array.hpp"
#include "ffi/python/module.hpp"
#include "ffi/python/solver/profile3.hpp"
#include "qarn/qarn2/interpolation.hpp"
#include "qarn/qarn3/interpolation.hpp"

namespace qarn::py {
namespace {

using qarn3::Topp3Profile;

// The query times of the compatibility wrappers: exactly one of `dt` (a uniform grid from t0) and
// `t_sample`. Built after the arrays were read, so their conversion errors come first.
class WrapperTimes {
 public:
  WrapperTimes(double t0, std::optional<double> dt, bool include_final, PyObject* t_sample) {
    const bool has_samples = t_sample != Py_None;
    if (!dt && !has_samples) throw Error::value("`dt` is required unless `t_sample` is provided");
    if (dt && has_samples) {
      throw Error::value("pass either `dt` for a uniform time grid or `t_sample` for a nonuniform grid, not both");
    }
    if (has_samples) {
      t_sample_ = to_contiguous_f64_1d("t_sample", t_sample);
    } else {
      uniform_ = {t0, *dt, include_final};
    }
  }

  TimeSampling mode() const {
    if (t_sample_) return SampleTimes{*t_sample_};
    return uniform_;
  }

 private:
  UniformTimes uniform_{};
  std::optional<std::vector<double>> t_sample_;
};

// ---- second order ----

std::vector<double> a_to_b_topp2(std::vector<double> s, std::vector<double> a) {
  return check(qarn2::a_to_b_topp2(s, a));
}

// t0 is read before the arrays.
std::pair<double, std::vector<double>> s_to_t_topp2(PyObject* s, PyObject* a, double t0) {
  const std::vector<double> s_values = to_contiguous_f64_1d("s", s);
  const std::vector<double> a_values = to_contiguous_f64_1d("a", a);
  StationTimes times = check(qarn2::s_to_t_topp2(s_values, a_values, t0));
  return {times.t_final, std::move(times.t_s)};
}

// The three arrays of an inverse mapping, read in order s, a, t_s.
struct Profile2Arrays {
  std::vector<double> s;
  std::vector<double> a;
  std::vector<double> t_s;
};

Profile2Arrays read_profile(PyObject* s, PyObject* a, PyObject* t_s) {
  std::vector<double> s_values = to_contiguous_f64_1d("s", s);
  std::vector<double> a_values = to_contiguous_f64_1d("a", a);
  return {std::move(s_values), std::move(a_values), to_contiguous_f64_1d("t_s", t_s)};
}

std::vector<double> sample(const Profile2Arrays& p, const TimeSampling& mode) {
  return check(qarn2::t_to_s_topp2(p.s, p.a, p.t_s, mode));
}

// dt, t0 and include_final are read before the arrays.
std::vector<double> t_to_s_topp2_uniform(PyObject* s, PyObject* a, PyObject* t_s, double dt, double t0,
                                         bool include_final) {
  return sample(read_profile(s, a, t_s), UniformTimes{t0, dt, include_final});
}

std::vector<double> t_to_s_topp2_samples(PyObject* s, PyObject* a, PyObject* t_s, PyObject* t_sample) {
  const Profile2Arrays profile = read_profile(s, a, t_s);
  const std::vector<double> times = to_contiguous_f64_1d("t_sample", t_sample);
  return sample(profile, SampleTimes{times});
}

std::vector<double> t_to_s_topp2(PyObject* s, PyObject* a, PyObject* t_s, double t0, std::optional<double> dt,
                                 bool include_final, PyObject* t_sample) {
  const Profile2Arrays profile = read_profile(s, a, t_s);
  return sample(profile, WrapperTimes(t0, dt, include_final, t_sample).mode());
}

// ---- third order: the profile is borrowed for the whole call ----

std::pair<double, std::vector<double>> s_to_t_topp3(PyObject* s, Shared<PyProfile3rd> profile, double t0) {
  const std::vector<double> s_values = to_contiguous_f64_1d("s", s);
  StationTimes times = check(qarn3::s_to_t_topp3(s_values, profile->profile, t0));
  return {times.t_final, std::move(times.t_s)};
}

// The two grids of a third-order inverse mapping, read in order s, t_s.
struct Grids3 {
  std::vector<double> s;
  std::vector<double> t_s;
};

Grids3 read_grids(PyObject* s, PyObject* t_s) {
  std::vector<double> s_values = to_contiguous_f64_1d("s", s);
  return {std::move(s_values), to_contiguous_f64_1d("t_s", t_s)};
}

std::vector<double> sample3(const Grids3& g, const Topp3Profile& profile, const TimeSampling& mode) {
  return check(qarn3::t_to_s_topp3(g.s, profile, g.t_s, mode));
}

std::vector<double> t_to_s_topp3_uniform(PyObject* s, Shared<PyProfile3rd> profile, PyObject* t_s, double dt,
                                         double t0, bool include_final) {
  return sample3(read_grids(s, t_s), profile->profile, UniformTimes{t0, dt, include_final});
}

std::vector<double> t_to_s_topp3_samples(PyObject* s, Shared<PyProfile3rd> profile, PyObject* t_s,
                                         PyObject* t_sample) {
  const Grids3 grids = read_grids(s, t_s);
  const std::vector<double> times = to_contiguous_f64_1d("t_sample", t_sample);
  return sample3(grids, profile->profile, SampleTimes{times});
}

std::vector<double> t_to_s_topp3(PyObject* s, Shared<PyProfile3rd> profile, PyObject* t_s, double t0,
                                 std::optional<double> dt, bool include_final, PyObject* t_sample) {
  const Grids3 grids = read_grids(s, t_s);
  return sample3(grids, profile->profile, WrapperTimes(t0, dt, include_final, t_sample).mode());
}

// The uniform grid and the values on it, as both orders' uniform functions document them.
#define QARN_UNIFORM_GRID_DOC                                                                                  \
  "The grid is ``t0 + i * dt`` for ``i = 0 .. floor((t_s[-1] - t0) / dt) - 1``, where a quotient within a "    \
  "few units in the last place below an integer counts as that integer (so that a step dividing the span "     \
  "loses no point to rounding). The time ``t0 + floor((t_s[-1] - t0) / dt) * dt`` is never on it, even when "  \
  "it equals ``t_s[-1]``: ``include_final`` (the default) appends ``s[-1]`` when the grid stops short of the " \
  "final station (its last value is below ``s[-1]``; a NaN last value appends nothing). Query times outside "  \
  "``[t_s[0], t_s[-1]]`` give NaN; the other values lie between the stations around their times and never "    \
  "decrease along the grid."

constexpr const char* kAToBDoc =
    "Compute the segment acceleration-like profile ``b`` from a TOPP2/QARN2 node profile ``a``.\n\n"
    "``b[k] = 0.5 * (a[k+1] - a[k]) / (s[k+1] - s[k])`` for every interval, so ``b`` has ``len(s) - 1`` "
    "entries.\n\n"
    "Parameters: ``s`` is a strictly increasing grid of at least two finite stations; ``a`` holds one "
    "finite value per station.\n\n"
    "Raises ValueError when an argument cannot be read as a one-dimensional real array, and "
    "``QarnError`` when the core rejects the grid or the profile.\n\n"
    "Example: ``a_to_b_topp2([0.0, 0.5, 1.0], [1.0, 1.0, 1.0])`` gives ``[0.0, 0.0]``.";

constexpr const char* kSToTDoc =
    "Integrate a TOPP2/QARN2 node profile ``a(s)`` into cumulative arrival times ``t(s)``.\n\n"
    "Parameters: ``s`` is a strictly increasing grid of at least two finite stations; ``a`` holds the "
    "non-negative values of ``(ds/dt)^2`` at the stations (no two neighbours both zero); ``t0`` is the "
    "time at the first station.\n\n"
    "Returns ``(t_final, t_s)``: ``t_s`` has the length of ``s`` and starts at ``t0``, and ``t_final`` "
    "equals ``t_s[-1]``.\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and ``QarnError`` when the core rejects them.";

constexpr const char* kUniformDoc =
    "Sample the inverse mapping ``s(t)`` of a TOPP2/QARN2 profile on a uniform time grid.\n\n"
    "This explicit entry point is preferred over the compatibility wrapper ``t_to_s_topp2``.\n\n"
    "Parameters: ``s`` strictly increasing; ``a`` and ``t_s`` (for example from ``s_to_t_topp2``) of the "
    "length of ``s``, ``t_s`` strictly increasing; ``dt`` positive. " QARN_UNIFORM_GRID_DOC "\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and ``QarnError`` when the core rejects them.\n\n"
    "Example: with ``s = [0.0, 0.5, 1.0]``, ``a = [1.0, 1.0, 1.0]``, ``t_s`` from ``s_to_t_topp2`` and "
    "``dt = 0.25`` the result is ``[0.0, 0.25, 0.5, 0.75, 1.0]``.";

constexpr const char* kSamplesDoc =
    "Sample the inverse mapping ``s(t)`` of a TOPP2/QARN2 profile at explicit query times.\n\n"
    "This explicit entry point is preferred over the compatibility wrapper ``t_to_s_topp2``.\n\n"
    "Parameters: ``s`` strictly increasing; ``a`` and ``t_s`` of the length of ``s``, ``t_s`` strictly "
    "increasing; ``t_sample`` one-dimensional, finite, non-empty and strictly increasing. Query times "
    "outside ``[t_s[0], t_s[-1]]`` give NaN; the other values never decrease along ``t_sample``.\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and ``QarnError`` when the core rejects them.";

constexpr const char* kWrapperDoc =
    "Compatibility wrapper for sampling inverse TOPP2/QARN2 mappings.\n\n"
    "Prefer ``t_to_s_topp2_uniform`` or ``t_to_s_topp2_samples``. Exactly one sampling mode must be "
    "selected: ``dt`` for a uniform grid starting at ``t0`` (the grid of ``t_to_s_topp2_uniform``), or "
    "``t_sample`` for an explicit strictly increasing grid (``t0`` and ``include_final`` are then ignored). "
    "Query times outside ``[t_s[0], t_s[-1]]`` come back as NaN.\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and when no mode or both modes are given, and "
    "``QarnError`` when the core rejects the arguments.";

constexpr const char* kSToT3Doc =
    "Integrate a TOPP3/QARN3 profile into cumulative arrival times ``t(s)``.\n\n"
    "On a free interval ``b`` varies linearly in ``s``, so ``a`` is quadratic there; the stationary "
    "intervals at a rest end follow the closed-form shape of the third-order solvers.\n\n"
    "Parameters: ``s`` is the strictly increasing station grid of the profile (one station per entry of "
    "``profile.a``); ``profile`` is a ``Profile3rd``; ``t0`` is the time at the first station.\n\n"
    "Returns ``(t_final, t_s)``: ``t_s`` has the length of ``s`` and starts at ``t0``, and ``t_final`` "
    "equals ``t_s[-1]``.\n\n"
    "Raises TypeError when ``profile`` is not a ``Profile3rd``, ValueError for arrays of the wrong form, "
    "and ``QarnError`` when the core rejects the grid or the profile.";

constexpr const char* kUniform3Doc =
    "Sample the inverse mapping ``s(t)`` of a TOPP3/QARN3 profile on a uniform time grid.\n\n"
    "This explicit entry point is preferred over the compatibility wrapper ``t_to_s_topp3``.\n\n"
    "Parameters: ``s`` strictly increasing, one station per entry of ``profile``; ``t_s`` (for example "
    "from ``s_to_t_topp3``) of the length of ``s`` and strictly increasing; ``dt`` positive. " QARN_UNIFORM_GRID_DOC
    "\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and ``QarnError`` when the core rejects them.";

constexpr const char* kSamples3Doc =
    "Sample the inverse mapping ``s(t)`` of a TOPP3/QARN3 profile at explicit query times.\n\n"
    "This explicit entry point is preferred over the compatibility wrapper ``t_to_s_topp3``.\n\n"
    "Parameters: ``s`` strictly increasing, one station per entry of ``profile``; ``t_s`` of the length "
    "of ``s`` and strictly increasing; ``t_sample`` one-dimensional, finite, non-empty and strictly "
    "increasing. Query times outside ``[t_s[0], t_s[-1]]`` give NaN; the other values never decrease "
    "along ``t_sample``.\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and ``QarnError`` when the core rejects them.";

constexpr const char* kWrapper3Doc =
    "Compatibility wrapper for sampling inverse TOPP3/QARN3 mappings.\n\n"
    "Prefer ``t_to_s_topp3_uniform`` or ``t_to_s_topp3_samples``. Exactly one sampling mode must be "
    "selected: ``dt`` for a uniform grid starting at ``t0`` (the grid of ``t_to_s_topp3_uniform``), or "
    "``t_sample`` for an explicit strictly increasing grid (``t0`` and ``include_final`` are then ignored). "
    "Query times outside ``[t_s[0], t_s[-1]]`` come back as NaN.\n\n"
    "Raises ValueError for arguments of the wrong form (complex values among them) "
    "and when no mode or both modes are given, and "
    "``QarnError`` when the core rejects the arguments.";

#undef QARN_UNIFORM_GRID_DOC

}  // namespace

void register_interpolation_functions(Module& module) {
  module.add_class<PyProfile3rd>();
  module.add_function<a_to_b_topp2>("a_to_b_topp2(s, a)", kAToBDoc);
  module.add_function<s_to_t_topp2>("s_to_t_topp2(s, a, t0=0.0)", kSToTDoc);
  module.add_function<t_to_s_topp2_uniform>("t_to_s_topp2_uniform(s, a, t_s, dt, *, t0=0.0, include_final=True)",
                                            kUniformDoc);
  module.add_function<t_to_s_topp2_samples>("t_to_s_topp2_samples(s, a, t_s, t_sample)", kSamplesDoc);
  module.add_function<t_to_s_topp2>(
      "t_to_s_topp2(s, a, t_s, *, t0=0.0, dt=None, include_final=True, t_sample=None)", kWrapperDoc);
  module.add_function<s_to_t_topp3>("s_to_t_topp3(s, profile, t0=0.0)", kSToT3Doc);
  module.add_function<t_to_s_topp3_uniform>(
      "t_to_s_topp3_uniform(s, profile, t_s, dt, *, t0=0.0, include_final=True)", kUniform3Doc);
  module.add_function<t_to_s_topp3_samples>("t_to_s_topp3_samples(s, profile, t_s, t_sample)", kSamples3Doc);
  module.add_function<t_to_s_topp3>(
      "t_to_s_topp3(s, profile, t_s, *, t0=0.0, dt=None, include_final=True, t_sample=None)", kWrapper3Doc);
}

}  // namespace qarn::py
