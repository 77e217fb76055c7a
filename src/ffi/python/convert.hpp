// Conversions between Python objects and C++ values at the call boundary. `FromPy<T>` reads one
// argument (it gets the argument's name for messages), `ToPy<T>` builds a result; both are
// specialised for the scalar kinds here and for arrays (array.hpp) and enums (enum_class.hpp).
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "diag/format.hpp"
#include "ffi/python/error.hpp"
#include "ffi/python/instance.hpp"

namespace qarn::py {

// The `__name__` of an object's type, for messages.
std::string type_name(PyObject* object);

// The attribute `name` of `object`, or an empty Ref when it has none (AttributeError); any other
// exception from the lookup propagates.
Ref attribute_if_any(PyObject* object, const char* name);

// Whether `object` has a callable attribute `name` (a non-callable one counts as absent). An
// exception other than AttributeError from the lookup propagates.
bool has_callable(PyObject* object, const char* name);

// Float inputs are real: a complex value is refused wherever a float is read, never cut to its
// real part. Whether `object` is complex, a Python complex or anything of a complex NumPy dtype
// (a scalar or an array).
bool is_complex(PyObject* object);
// The refusal of a complex value given as the argument `name` (`entry` is "" for a scalar, or the
// index of the array entry, such as "[1, 0]"): ValueError "`name` must be real; name[1, 0] is
// complex". A type of its own, so that conversions that put a message of their own in place of
// their failures let it through.
class ComplexRefused : public Error {
 public:
  ComplexRefused(std::string_view name, std::string_view entry);
};

template <class T>
struct FromPy;

template <class T>
struct ToPy;

// Converts one argument; a TypeError is re-raised naming the argument.
template <class T>
T extract(PyObject* object, std::string_view name) {
  try {
    return FromPy<T>::convert(object, name);
  } catch (const Error& error) {
    if (!error.is(PyExc_TypeError)) throw;
    throw Error::type(fmt::format("argument '{}': {}", name, error.message()));
  }
}

template <class T>
Ref to_py(T&& value) {
  return ToPy<std::remove_cvref_t<T>>::convert(std::forward<T>(value));
}

// ---- arguments ----

// The object itself, borrowed (None included), for arguments an implementation reads on its own.
template <>
struct FromPy<PyObject*> {
  static PyObject* convert(PyObject* object, std::string_view) { return object; }
};

// Any object Python converts to a float (float, int, objects with __float__ or __index__) that
// is not complex (ValueError naming the argument).
template <>
struct FromPy<double> {
  static double convert(PyObject* object, std::string_view);
};

// True, False and NumPy booleans; ints and other objects are refused.
template <>
struct FromPy<bool> {
  static bool convert(PyObject* object, std::string_view);
};

// A setter's new value of type T, refused as the argument `value` rather than by the attribute's
// name. Like every typed setter value it is converted before the setter borrows its object.
template <class T>
struct SetterValue {
  T value;
};
template <class T>
struct FromPy<SetterValue<T>> {
  static SetterValue<T> convert(PyObject* object, std::string_view name) { return {FromPy<T>::convert(object, name)}; }
};
template <class T>
inline constexpr bool kNamedValue = false;
template <class T>
inline constexpr bool kNamedValue<SetterValue<T>> = true;

// Objects with an integer index: negative or too large values raise OverflowError.
std::uint64_t index_to_u64(PyObject* object);
std::uint32_t index_to_u32(PyObject* object);
std::int64_t index_to_i64(PyObject* object);

template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
struct FromPy<T> {
  static T convert(PyObject* object, std::string_view) {
    if constexpr (sizeof(T) == sizeof(std::uint64_t)) {
      return static_cast<T>(index_to_u64(object));
    } else {
      static_assert(std::same_as<T, std::uint32_t>, "unsigned arguments are 64 or 32 bits wide");
      return index_to_u32(object);
    }
  }
};

template <>
struct FromPy<std::int64_t> {
  static std::int64_t convert(PyObject* object, std::string_view) { return index_to_i64(object); }
};

// A Python str.
template <>
struct FromPy<std::string> {
  static std::string convert(PyObject* object, std::string_view);
};

// None (or an absent argument whose default is None) reads as no value.
template <class T>
struct FromPy<std::optional<T>> {
  static std::optional<T> convert(PyObject* object, std::string_view name) {
    if (object == Py_None) return std::nullopt;
    return FromPy<T>::convert(object, name);
  }
};

// A tuple of exactly two items.
template <class A, class B>
struct FromPy<std::pair<A, B>> {
  static std::pair<A, B> convert(PyObject* object, std::string_view name) {
    if (!PyTuple_Check(object)) {
      throw Error::type(fmt::format("'{}' object cannot be converted to 'tuple'", type_name(object)));
    }
    if (PyTuple_GET_SIZE(object) != 2) {
      throw Error::value(
          fmt::format("expected tuple of length 2, but got tuple of length {}", PyTuple_GET_SIZE(object)));
    }
    A first = FromPy<A>::convert(PyTuple_GET_ITEM(object, 0), name);
    return {std::move(first), FromPy<B>::convert(PyTuple_GET_ITEM(object, 1), name)};
  }
};

[[noreturn]] void throw_not_instance(PyObject* object, PyTypeObject* type);

// An instance of the class (or a subclass), borrowed shared (or exclusively) for the call.
template <class T, bool Exclusively>
struct FromPy<Borrow<T, Exclusively>> {
  static Borrow<T, Exclusively> convert(PyObject* object, std::string_view) {
    if (!is_instance<T>(object)) throw_not_instance(object, type_of<T>());
    return Borrow<T, Exclusively>(object);
  }
};

// ---- results ----

template <>
struct ToPy<Ref> {
  static Ref convert(Ref value) { return value; }
};

template <>
struct ToPy<bool> {
  static Ref convert(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
};

template <>
struct ToPy<double> {
  static Ref convert(double value) { return new_ref(PyFloat_FromDouble(value)); }
};

template <std::integral T>
  requires(!std::same_as<T, bool>)
struct ToPy<T> {
  static Ref convert(T value) {
    if constexpr (std::is_signed_v<T>) {
      return new_ref(PyLong_FromLongLong(value));
    } else {
      return new_ref(PyLong_FromUnsignedLongLong(value));
    }
  }
};

template <>
struct ToPy<std::string_view> {
  static Ref convert(std::string_view value) {
    return new_ref(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  }
};
template <>
struct ToPy<std::string> : ToPy<std::string_view> {};
template <>
struct ToPy<const char*> : ToPy<std::string_view> {};

template <class T>
struct ToPy<std::optional<T>> {
  static Ref convert(std::optional<T> value) {
    if (!value) return Ref::borrow(Py_None);
    return to_py(std::move(*value));
  }
};

template <class... T>
struct ToPy<std::tuple<T...>> {
  static Ref convert(std::tuple<T...> value) {
    Ref tuple = new_ref(PyTuple_New(sizeof...(T)));
    std::apply(
        [&](auto&... item) {
          Py_ssize_t i = 0;
          ((PyTuple_SET_ITEM(tuple.get(), i++, to_py(std::move(item)).release())), ...);
        },
        value);
    return tuple;
  }
};

template <class A, class B>
struct ToPy<std::pair<A, B>> {
  static Ref convert(std::pair<A, B> value) {
    return to_py(std::tuple<A, B>(std::move(value.first), std::move(value.second)));
  }
};

// A payload value becomes a new instance of its class.
template <PyClass T>
struct ToPy<T> {
  static Ref convert(T value) { return make_instance<T>(std::move(value)); }
};

}  // namespace qarn::py
