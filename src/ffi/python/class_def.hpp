// `ClassDef<T>`: the description of the Python class whose payload is T, from which its type
// object is created once, on first demand (`type_of<T>()`): the module's execution demands every
// type, so none is created later, when threads could race to create it. A class is described by one function
// `void define(ClassDef<T>&)` next to its payload, for example:
//
//   void define(ClassDef<PyTime>& c) {
//     c.name("Time", "Time objective.")
//         .init<time_new>("Time(weight)")
//         .getter<time_weight>("weight", "Objective weight.")
//         .repr<time_repr>();
//   }
//
// Each signature text both heads the docstring (`__text_signature__`) and drives argument binding.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "ffi/python/frame.hpp"

namespace qarn::py {

// The member of `object` reached through the data-member pointers `Path`, outermost first (e.g.
// `&PyReachSet2Options::options, &ReachSet2Options::verbosity`).
template <auto... Path, class T>
decltype(auto) member_at(T& object) {
  return (object .* ... .* Path);
}

namespace detail {

// A getter that returns a copy of the payload's member at `Path`.
template <class T, auto... Path>
auto member_getter(Shared<T> self) {
  return member_at<Path...>(*self);
}

}  // namespace detail

// One function or method: its signature text, docstring and the entries that serve it.
struct FunctionEntry {
  const char* signature;
  const char* doc;
  bool is_static;
  PyCFunction with_args;  // METH_FASTCALL | METH_KEYWORDS
  PyCFunction no_args;    // METH_NOARGS, chosen when the signature has no parameters
  const Signature** signature_cell;
  std::size_t arity;  // parameters the implementation binds; size_t(-1) for all (BoundArgs)
};

// `is_static`: a static method of its class (no receiver, like a module function).
template <class Owner, auto Impl>
FunctionEntry function_entry(const char* signature, const char* doc, bool is_static) {
  const auto entry = [&]<Receiver R>() -> FunctionEntry {
    return {signature,
            doc,
            is_static,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Owner, Impl, R>)),
            &noargs_entry<Owner, Impl, R>,
            &Callable<Owner, Impl>::signature,
            bound_arity<Impl, R>()};
  };
  if (is_static) return entry.template operator()<Receiver::None>();
  return entry.template operator()<kDefaultReceiver<Owner>>();
}

// Builds the method definition of `entry` (the signature parsed and installed; `owner` is the
// class name, empty for module functions). Its strings live for the rest of the process.
PyMethodDef method_def(const FunctionEntry& entry, std::string_view owner);

// The part of a class description that does not depend on the payload type.
class ClassBuilder {
 protected:
  struct Property {
    const char* name;
    const char* doc;
    getter get;
    setter set;
  };
  struct Attribute {
    const char* name;
    Ref (*make)();
  };

  PyTypeObject* build(PyTypeObject** cell, std::size_t basicsize, destructor dealloc);

  const char* name_ = nullptr;
  const char* doc_ = "";
  const char* init_signature_ = nullptr;
  const Signature** init_cell_ = nullptr;
  std::size_t init_arity_ = 0;
  newfunc init_ = nullptr;
  bool subclassable_ = false;
  bool collected_ = false;  // instances take part in garbage collection
  std::vector<FunctionEntry> methods_;
  std::vector<Property> properties_;
  std::vector<Attribute> attributes_;
  std::vector<PyType_Slot> slots_;
};

template <class T>
class ClassDef : public ClassBuilder {
 public:
  // The Python name (the type is "qarn_py._native.<name>") and the docstring after the signature.
  ClassDef& name(const char* python_name, const char* doc) {
    name_ = python_name;
    doc_ = doc;
    return *this;
  }
  // Python classes may derive from this one.
  ClassDef& subclassable() {
    subclassable_ = true;
    return *this;
  }
  // `__new__`: Impl returns the payload of the new object; without it the class cannot be
  // instantiated from Python.
  template <auto Impl>
  ClassDef& init(const char* signature) {
    init_signature_ = signature;
    init_cell_ = &Callable<T, Impl>::signature;
    init_arity_ = bound_arity<Impl, Receiver::None>();
    init_ = &new_entry<T, Impl>;
    return *this;
  }
  template <auto Impl>
  ClassDef& method(const char* signature, const char* doc) {
    methods_.push_back(function_entry<T, Impl>(signature, doc, false));
    return *this;
  }
  template <auto Impl>
  ClassDef& static_method(const char* signature, const char* doc) {
    methods_.push_back(function_entry<T, Impl>(signature, doc, true));
    return *this;
  }
  template <auto Get>
  ClassDef& getter(const char* name, const char* doc) {
    properties_.push_back({name, doc, &getter_entry<Get>, nullptr});
    return *this;
  }
  // A read-only attribute giving a copy of the payload's member at `Path` (see member_at).
  template <auto... Path>
  ClassDef& field(const char* name, const char* doc) {
    return getter<&detail::member_getter<T, Path...>>(name, doc);
  }
  template <auto Get, auto Set>
  ClassDef& property(const char* name, const char* doc) {
    properties_.push_back({name, doc, &getter_entry<Get>, &setter_entry<Set>});
    return *this;
  }
  // A class attribute, computed once while the type is created.
  ClassDef& attribute(const char* name, Ref (*make)()) {
    attributes_.push_back({name, make});
    return *this;
  }
  template <auto Impl>
  ClassDef& repr() {
    return slot(Py_tp_repr, &unary_entry<Impl>);
  }
  template <auto Impl>
  ClassDef& richcmp() {
    return slot(Py_tp_richcompare, &richcmp_entry<Impl>);
  }
  template <auto Impl>
  ClassDef& int_() {
    return slot(Py_nb_int, &unary_entry<Impl>);
  }
  template <auto Impl>
  ClassDef& len() {
    return slot(Py_sq_length, &len_entry<Impl>);
  }
  template <auto Impl>
  ClassDef& bool_() {
    return slot(Py_nb_bool, &bool_entry<Impl>);
  }

  PyTypeObject* build(PyTypeObject** cell) {
    if constexpr (TracesReferences<T>) {
      collected_ = true;
      slot(Py_tp_traverse, &traverse_entry<T>);
      if constexpr (ClearsReferences<T>) slot(Py_tp_clear, &clear_entry<T>);
    }
    return ClassBuilder::build(cell, sizeof(Instance<T>), &dealloc_entry<T>);
  }

 private:
  template <class F>
  ClassDef& slot(int id, F* entry) {
    slots_.push_back({id, reinterpret_cast<void*>(entry)});
    return *this;
  }
};

template <class T>
inline PyTypeObject* type_cell = nullptr;

// Created under the interpreter lock; the cell is set before the class attributes are computed,
// so an enum's members can be instances of the class being created.
template <class T>
PyTypeObject* type_of() {
  if (type_cell<T> == nullptr) {
    ClassDef<T> def;
    define(def);
    def.build(&type_cell<T>);
  }
  return type_cell<T>;
}

}  // namespace qarn::py
