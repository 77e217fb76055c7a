// Scalar argument conversions and the messages of refused arguments.
#include "ffi/python/convert.hpp"

#include <cstring>
#include <limits>

namespace qarn::py {

std::string type_name(PyObject* object) {
  PyObject* name = PyType_GetName(Py_TYPE(object));
  const char* utf8 = name != nullptr ? PyUnicode_AsUTF8(name) : nullptr;
  std::string result = utf8 != nullptr ? utf8 : Py_TYPE(object)->tp_name;
  if (utf8 == nullptr) PyErr_Clear();
  Py_XDECREF(name);
  return result;
}

Ref attribute_if_any(PyObject* object, const char* name) {
  Ref attribute = Ref::steal(PyObject_GetAttrString(object, name));
  if (!attribute) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error::fetch();
    PyErr_Clear();
  }
  return attribute;
}

bool has_callable(PyObject* object, const char* name) {
  const Ref attribute = attribute_if_any(object, name);
  return attribute && PyCallable_Check(attribute.get()) != 0;
}

bool is_complex(PyObject* object) {
  if (PyComplex_Check(object)) return true;
  if (PyFloat_CheckExact(object) || PyLong_CheckExact(object)) return false;
  const Ref dtype = attribute_if_any(object, "dtype");
  // A `dtype` without a kind is no NumPy dtype and says nothing.
  const Ref kind = dtype ? attribute_if_any(dtype.get(), "kind") : Ref();
  return kind && PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "c") == 0;
}

ComplexRefused::ComplexRefused(std::string_view name, std::string_view entry)
    : Error(Error::value(fmt::format("`{}` must be real; {}{} is complex", name, name, entry))) {}

double FromPy<double>::convert(PyObject* object, std::string_view name) {
  if (is_complex(object)) throw ComplexRefused(name, "");
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw Error::fetch();
  return value;
}

bool FromPy<bool>::convert(PyObject* object, std::string_view) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  // NumPy booleans convert through their own truth value.
  PyTypeObject* type = Py_TYPE(object);
  if (std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0) {
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
      throw Error::type(fmt::format("object of type '{}' does not define a '__bool__' conversion",
                                    type_name(object)));
    }
    const int truth = type->tp_as_number->nb_bool(object);
    if (truth < 0) throw Error::fetch();
    return truth != 0;
  }
  throw Error::type(fmt::format("'{}' object cannot be converted to 'bool'", type_name(object)));
}

std::uint64_t index_to_u64(PyObject* object) {
  Ref index = new_ref(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error::fetch();
  return value;
}

std::uint32_t index_to_u32(PyObject* object) {
  Ref index = new_ref(PyNumber_Index(object));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw Error::fetch();
  if (overflow != 0 || value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
    throw Error::overflow("out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

std::int64_t index_to_i64(PyObject* object) {
  Ref index = new_ref(PyNumber_Index(object));
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw Error::fetch();
  return value;
}

std::string FromPy<std::string>::convert(PyObject* object, std::string_view) {
  if (!PyUnicode_Check(object)) {
    throw Error::type(fmt::format("'{}' object cannot be converted to 'str'", type_name(object)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw Error::fetch();
  return {data, static_cast<std::size_t>(size)};
}

void throw_not_instance(PyObject* object, PyTypeObject* type) {
  Ref name = new_ref(PyType_GetName(type));
  const char* class_name = PyUnicode_AsUTF8(name.get());
  if (class_name == nullptr) throw Error::fetch();
  if (object == Py_None) throw Error::type(fmt::format("'None' is not an instance of '{}'", class_name));
  throw Error::type(fmt::format("'{}' object is not an instance of '{}'", type_name(object), class_name));
}

}  // namespace qarn::py
