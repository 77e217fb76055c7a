// One mechanism for every enum class of the module. A traits type names the class, its members
// (in value order, from 0) and, for enums that parameters accept, the accepted strings and the two
// messages of a refused argument; `Enum<Traits>` is the payload and gets the class attributes
// (one shared object per member), __int__, __repr__ ("Verbosity.SILENT") and equality with its own
// members and with integers. Defining equality without a hash leaves the members unhashable.
//
// Traits shape:
//   using Value = <C++ enum, values 0..N-1>;
//   static constexpr const char* name = "Verbosity"; static constexpr const char* doc = "...";
//   static constexpr std::array<EnumMember, N> members{{{"SILENT", "Silent"}, ...}};
//   // only for enums accepted as arguments:
//   static constexpr std::array<EnumSpelling, K> spellings{{{"silent", 0}, ...}};
//   static constexpr const char* not_a_value = "`verbosity` must be a Verbosity value or a string";
//   static constexpr const char* no_match = "`verbosity` must be ...";
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ffi/python/class_def.hpp"

namespace qarn::py {

struct EnumMember {
  const char* name;     // the class attribute, e.g. "SILENT"
  const char* display;  // how other objects' reprs and diagnostics print it, e.g. "Silent"
};

struct EnumSpelling {
  const char* text;  // normalized form, e.g. "dim_major"
  std::uint8_t value;
};

// Trims the characters with the Unicode White_Space property at both ends (not the set of
// Python's str.strip, which also strips U+001C..U+001F), lower-cases ASCII letters only and turns
// every "-" into "_".
std::string normalize_enum_string(std::string_view text);

template <class Traits>
struct Enum {
  typename Traits::Value value{};

  std::size_t index() const { return static_cast<std::size_t>(value); }
  std::string_view display() const { return Traits::members[index()].display; }
};

template <class Traits>
concept ParsableEnum = requires {
  Traits::spellings;
  Traits::not_a_value;
  Traits::no_match;
};

namespace detail {

// The member objects, created with the class and kept for the life of the process.
template <class Traits>
inline std::array<PyObject*, Traits::members.size()> enum_members{};

template <class Traits, std::size_t I>
Ref make_enum_member() {
  Ref member = make_instance(type_of<Enum<Traits>>(), Enum<Traits>{static_cast<typename Traits::Value>(I)});
  enum_members<Traits>[I] = Ref(member).release();
  return member;
}

template <class Traits>
std::string enum_repr(Shared<Enum<Traits>> self) {
  return std::string(Traits::name) + "." + Traits::members[self->index()].name;
}

template <class Traits>
long long enum_int(Shared<Enum<Traits>> self) {
  return static_cast<long long>(self->index());
}

// Equality by value with a member of the same class or with anything that has an integer index;
// everything else, and every ordering, is NotImplemented. Comparison never raises.
template <class Traits>
Ref enum_richcmp(Shared<Enum<Traits>> self, PyObject* other, int op) {
  const Ref not_implemented = Ref::borrow(Py_NotImplemented);
  if (op != Py_EQ && op != Py_NE) return not_implemented;
  long long other_value = 0;
  if (PyObject_TypeCheck(other, type_of<Enum<Traits>>())) {
    Instance<Enum<Traits>>* instance = instance_of<Enum<Traits>>(other);
    if (!instance->flag.try_shared()) return not_implemented;
    other_value = static_cast<long long>(instance->value.index());
    instance->flag.release_shared();
  } else {
    other_value = PyLong_AsLongLong(other);
    if (other_value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return not_implemented;
    }
  }
  const bool equal = other_value == static_cast<long long>(self->index());
  return to_py(op == Py_EQ ? equal : !equal);
}

template <class Traits, std::size_t... I>
void add_enum_members(ClassDef<Enum<Traits>>& c, std::index_sequence<I...>) {
  (c.attribute(Traits::members[I].name, &make_enum_member<Traits, I>), ...);
}

}  // namespace detail

template <class Traits>
void define(ClassDef<Enum<Traits>>& c) {
  c.name(Traits::name, Traits::doc)
      .template repr<&detail::enum_repr<Traits>>()
      .template int_<&detail::enum_int<Traits>>()
      .template richcmp<&detail::enum_richcmp<Traits>>();
  detail::add_enum_members<Traits>(c, std::make_index_sequence<Traits::members.size()>{});
}

// The shared member object of a value.
template <class Traits>
Ref enum_member(typename Traits::Value value) {
  type_of<Enum<Traits>>();  // creates the members with the class
  const auto index = static_cast<std::size_t>(value);
  if (index >= Traits::members.size()) throw Fault(fmt::format("{} has no member {}", Traits::name, index));
  return Ref::borrow(detail::enum_members<Traits>[index]);
}

// None gives the first member, a member itself, a string its normalized spelling; anything else
// (integers included) is refused with the traits' messages.
template <ParsableEnum Traits>
Enum<Traits> parse_enum(PyObject* object) {
  using Value = typename Traits::Value;
  if (object == Py_None) return {Value{}};
  if (PyObject_TypeCheck(object, type_of<Enum<Traits>>())) return *Shared<Enum<Traits>>(object);
  if (!PyUnicode_Check(object)) throw Error::value(Traits::not_a_value);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw Error::fetch();
  const std::string normalized = normalize_enum_string({data, static_cast<std::size_t>(size)});
  for (const EnumSpelling& spelling : Traits::spellings) {
    if (normalized == spelling.text) return {static_cast<Value>(spelling.value)};
  }
  throw Error::value(Traits::no_match);
}

template <ParsableEnum Traits>
struct FromPy<Enum<Traits>> {
  static Enum<Traits> convert(PyObject* object, std::string_view) { return parse_enum<Traits>(object); }
};

template <class Traits>
struct ToPy<Enum<Traits>> {
  static Ref convert(Enum<Traits> value) { return enum_member<Traits>(value.value); }
};

}  // namespace qarn::py
