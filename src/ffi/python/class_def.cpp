// Creation of type objects and method definitions from class descriptions. Everything built here
// (names, docstrings, method tables, signatures) lives as long as the type objects: the process.
#include "ffi/python/class_def.hpp"

#include <memory>

namespace qarn::py {
namespace {

// Owner of the strings and tables that CPython keeps pointers to.
std::deque<std::string>& permanent_strings() {
  static auto* strings = new std::deque<std::string>();
  return *strings;
}

const char* keep(std::string text) { return permanent_strings().emplace_back(std::move(text)).c_str(); }

// "signature\n--\n\ndoc": the layout from which CPython reads `__text_signature__`.
const char* doc_with_signature(const char* signature, const char* doc) {
  return keep(std::string(signature) + "\n--\n\n" + doc);
}

const Signature* install_signature(const char* text, std::string full_name, const Signature** cell,
                                   std::size_t arity) {
  if (*cell == nullptr) {
    auto signature = std::make_unique<Signature>(text, std::move(full_name));
    if (arity != std::size_t(-1) && arity != signature->size()) {
      throw Fault(fmt::format("`{}` has {} parameters but its implementation binds {}", text,
                              signature->size(), arity));
    }
    *cell = signature.release();
  }
  return *cell;
}

}  // namespace

PyMethodDef method_def(const FunctionEntry& entry, std::string_view owner) {
  const std::string_view text(entry.signature);
  const std::string name(text.substr(0, text.find('(')));
  const std::string full_name = owner.empty() ? name + "()" : fmt::format("{}.{}()", owner, name);
  const Signature* sig = install_signature(entry.signature, full_name, entry.signature_cell, entry.arity);
  const bool no_args = sig->size() == 0;
  return PyMethodDef{keep(name), no_args ? entry.no_args : entry.with_args,
                         (no_args ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS) | (entry.is_static ? METH_STATIC : 0),
                         doc_with_signature(entry.signature, entry.doc)};
}

PyTypeObject* ClassBuilder::build(PyTypeObject** cell, std::size_t basicsize, destructor dealloc) {
  if (name_ == nullptr) throw Fault("a class description must give the class name");
  const std::string name(name_);

  const char* doc = doc_;
  if (init_ != nullptr) {
    install_signature(init_signature_, name + ".__new__()", init_cell_, init_arity_);
    doc = doc_with_signature(init_signature_, doc_);
  }
  // Method and property tables must outlive the type; they are never freed.
  auto* methods = new std::vector<PyMethodDef>();
  for (const FunctionEntry& entry : methods_) methods->push_back(method_def(entry, name));
  methods->push_back({nullptr, nullptr, 0, nullptr});
  auto* properties = new std::vector<PyGetSetDef>();
  for (const Property& p : properties_) {
    properties->push_back({p.name, p.get, p.set, p.doc, const_cast<char*>(p.name)});
  }
  properties->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

  std::vector<PyType_Slot> slots = slots_;
  slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_methods, methods->data()});
  slots.push_back({Py_tp_getset, properties->data()});
  if (init_ != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(init_)});
  slots.push_back({0, nullptr});

  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (init_ == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (subclassable_) flags |= Py_TPFLAGS_BASETYPE;
  if (collected_) flags |= Py_TPFLAGS_HAVE_GC;
  PyType_Spec spec{keep("qarn_py._native." + name), static_cast<int>(basicsize), 0, flags, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_Clear();
    throw Error::runtime(fmt::format("An error occurred while initializing class {}", name));
  }
  *cell = reinterpret_cast<PyTypeObject*>(type);

  // Class attributes are stored straight into the dictionary: the type is immutable from Python.
  for (const Attribute& attribute : attributes_) {
    const auto fail = [&](const char* what) {
      *cell = nullptr;
      Py_DECREF(type);
      throw Error::runtime(fmt::format("An error occurred while initializing `{}.{}`", name, what));
    };
    Ref value;
    try {
      value = attribute.make();
    } catch (...) {
      fail(attribute.name);
    }
    if (PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, attribute.name, value.get()) < 0) {
      PyErr_Clear();
      fail("__dict__");
    }
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return *cell;
}

}  // namespace qarn::py
