// Objective classes and the parsing of objective arguments.
#include "ffi/python/objectives.hpp"

#include <optional>
#include <string>

#include "ffi/python/array.hpp"
#include "ffi/python/enum_class.hpp"
#include "ffi/python/module.hpp"

namespace qarn::py {
namespace {

PyTime time_new(double weight) { return {weight}; }
std::string time_repr(Shared<PyTime> self) { return fmt::format("Time(weight={})", self->weight); }

PyLinear linear_new(double weight, PyObject* alpha, PyObject* beta) {
  std::vector<double> alpha_values = extract_f64_array("alpha", alpha);
  return {weight, std::move(alpha_values), extract_f64_array("beta", beta)};
}
std::string linear_repr(Shared<PyLinear> self) {
  return fmt::format("Linear(weight={}, alpha_len={}, beta_len={})", self->weight, self->alpha.size(),
                     self->beta.size());
}

template <class T>
T normalized_new(double weight, PyObject* normalize) {
  T value;
  value.weight = weight;
  value.normalize = extract_f64_array("normalize", normalize);
  return value;
}
template <class T>
std::string normalized_repr(Shared<T> self) {
  return fmt::format("{}(weight={}, normalize_len={})", T::name, self->weight, self->normalize.size());
}

template <class T>
void define_normalized(ClassDef<T>& c, const char* signature, const char* doc) {
  c.name(T::name, doc)
      .template init<normalized_new<T>>(signature)
      .template field<&T::weight>("weight", "Objective weight.")
      .template field<&T::normalize>("normalize", "Per-axis torque normalization (a new array).")
      .template repr<normalized_repr<T>>();
}

// ---- parsing ----

// A new reference, so that conversion code that changes the dict cannot free the value in use.
Ref required_dict_item(PyObject* dict, const char* key) {
  const Ref name = new_ref(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw Error::fetch();
    throw Error::value(fmt::format("objective dict is missing required field `{}`", key));
  }
  return Ref::borrow(value);
}

ObjectiveSpec spec_from_dict(PyObject* dict) {
  const Ref kind_object = required_dict_item(dict, "kind");
  if (!PyUnicode_Check(kind_object.get())) throw Error::value("objective dict field `kind` must be a string");
  const std::string kind = normalize_enum_string(extract<std::string>(kind_object.get(), "kind"));

  const Ref weight_object = required_dict_item(dict, "weight");
  if (is_complex(weight_object.get())) throw ComplexRefused("weight", "");
  const double weight = PyFloat_AsDouble(weight_object.get());
  if (weight == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw Error::value("objective dict field `weight` must be a float");
  }

  const auto array = [&](const char* key) { return extract_f64_array(key, required_dict_item(dict, key).get()); };
  if (kind == "time") return {ObjectiveSpec::Time{weight}};
  if (kind == "linear") {
    std::vector<double> alpha = array("alpha");
    return {ObjectiveSpec::Linear{std::move(alpha), array("beta"), weight}};
  }
  if (kind == "thermal" || kind == "thermalenergy" || kind == "thermal_energy") {
    return {ObjectiveSpec::ThermalEnergy{array("normalize"), weight}};
  }
  if (kind == "tvtorque" || kind == "tv_torque" || kind == "totalvariationtorque" ||
      kind == "total_variation_torque") {
    return {ObjectiveSpec::TotalVariationTorque{array("normalize"), weight}};
  }
  throw Error::value(
      "objective dict field `kind` must be one of \"time\", \"linear\", \"thermal_energy\", or "
      "\"total_variation_torque\"");
}

// The owned objective term of an objective object or dict; none for anything else.
std::optional<ObjectiveSpec> parse_objective_dict(PyObject* object) {
  if (is_instance<PyTime>(object)) return ObjectiveSpec{ObjectiveSpec::Time{Shared<PyTime>(object)->weight}};
  if (is_instance<PyLinear>(object)) {
    const Shared<PyLinear> linear(object);
    return ObjectiveSpec{ObjectiveSpec::Linear{linear->alpha, linear->beta, linear->weight}};
  }
  if (is_instance<PyThermalEnergy>(object)) {
    const Shared<PyThermalEnergy> thermal(object);
    return ObjectiveSpec{ObjectiveSpec::ThermalEnergy{thermal->normalize, thermal->weight}};
  }
  if (is_instance<PyTotalVariationTorque>(object)) {
    const Shared<PyTotalVariationTorque> tv(object);
    return ObjectiveSpec{ObjectiveSpec::TotalVariationTorque{tv->normalize, tv->weight}};
  }
  if (PyDict_Check(object)) return spec_from_dict(object);
  return std::nullopt;
}

}  // namespace

void define(ClassDef<PyTime>& c) {
  c.name("Time", "Time objective.")
      .init<time_new>("Time(weight)")
      .field<&PyTime::weight>("weight", "Objective weight.")
      .repr<time_repr>();
}

void define(ClassDef<PyLinear>& c) {
  c.name("Linear",
         "Linear objective over profile variables.\n\n"
         "For QARN2, ``alpha`` is node-based with length ``s_len`` and ``beta`` is interval-based with "
         "length ``s_len - 1``. For QARN3, both are node-based with length ``s_len``. The core objective "
         "validation enforces the length rule of the active solver.")
      .init<linear_new>("Linear(weight, alpha, beta)")
      .field<&PyLinear::weight>("weight", "Objective weight.")
      .field<&PyLinear::alpha>("alpha", "Coefficients of the first profile variable (a new array).")
      .field<&PyLinear::beta>("beta", "Coefficients of the second profile variable (a new array).")
      .repr<linear_repr>();
}

void define(ClassDef<PyThermalEnergy>& c) {
  define_normalized(c, "ThermalEnergy(weight, normalize)", "Thermal-energy objective.");
}

void define(ClassDef<PyTotalVariationTorque>& c) {
  define_normalized(c, "TotalVariationTorque(weight, normalize)", "Total-variation torque objective.");
}

std::vector<ObjectiveSpec> parse_objectives(PyObject* objectives) {
  if (std::optional<ObjectiveSpec> single = parse_objective_dict(objectives)) return {std::move(*single)};
  PyObject* iterator = PyObject_GetIter(objectives);
  if (iterator == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw Error::fetch();
    PyErr_Clear();
    throw Error::value("`objectives` must be an objective object, an objective dict, or an iterable of them");
  }
  const Ref items = Ref::steal(iterator);
  std::vector<ObjectiveSpec> specs;
  while (PyObject* raw = PyIter_Next(items.get())) {
    const Ref item = Ref::steal(raw);
    std::optional<ObjectiveSpec> spec = parse_objective_dict(item.get());
    if (!spec) {
      throw Error::value("each objective must be Time, Linear, ThermalEnergy, TotalVariationTorque, or a dict");
    }
    specs.push_back(std::move(*spec));
  }
  if (PyErr_Occurred()) throw Error::fetch();
  return specs;
}

void register_objective_classes(Module& module) {
  module.add_class<PyTime>();
  module.add_class<PyLinear>();
  module.add_class<PyThermalEnergy>();
  module.add_class<PyTotalVariationTorque>();
}

}  // namespace qarn::py
