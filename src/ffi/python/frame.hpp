// The entry frame shared by every callable, and the C entry points ("entries") that CPython calls
// for each calling convention. An entry binds the call's arguments to the callable's signature,
// converts them into the implementation's parameter types in order (for a method, a `Shared<T>` /
// `Exclusive<T>` first parameter borrows self; module functions, static methods and constructors
// have no receiver, so there it is an ordinary argument), calls the plain C++ implementation and
// converts its result.
// Inside the frame an `Error` becomes the current Python exception, any other C++ exception a
// PanicException (MemoryError for an allocation failure), and the convention's error value is
// returned; nothing unwinds into the interpreter.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "ffi/python/convert.hpp"
#include "ffi/python/signature.hpp"

namespace qarn::py {

// What a frame runs, read only when an allocation failure that says nothing is raised, so that
// the MemoryError still names it: a callable (the cell of its signature) or an attribute.
struct FrameName {
  const Signature* const* signature = nullptr;
  const char* attribute = nullptr;
};

// Raises the exception being handled as the matching Python exception. Called from a handler.
void raise_current_exception(FrameName running = {}) noexcept;

template <class R, class F>
R frame(R error_value, F&& body, FrameName running = {}) noexcept {
  gil::Hold hold;
  try {
    return std::forward<F>(body)();
  } catch (...) {
    raise_current_exception(running);
  }
  return error_value;
}

// The whole bound argument list, for implementations driven by a table of parameters.
class BoundArgs {
 public:
  BoundArgs(PyObject* const* bound, const Signature& sig) : bound_(bound), sig_(sig) {}
  PyObject* raw(std::string_view name) const;  // the argument or its default (never null)
  template <class T>
  T get(std::string_view name) const {
    return extract<T>(raw(name), name);
  }

 private:
  PyObject* const* bound_;
  const Signature& sig_;
};

// Whether a callable runs on an instance (methods, attributes, slots) or has no receiver (module
// functions, static methods, constructors).
enum class Receiver : bool { None, Instance };

// Where the signature of a callable lives; `Owner` is the payload type, or ModuleFunctions.
struct ModuleFunctions {};
template <class Owner, auto Impl>
struct Callable {
  static inline const Signature* signature = nullptr;
};

template <class Owner>
inline constexpr Receiver kDefaultReceiver =
    std::is_same_v<Owner, ModuleFunctions> ? Receiver::None : Receiver::Instance;

namespace detail {

template <class... T>
struct TypeList {};

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  using Params = TypeList<std::remove_cvref_t<A>...>;
};
template <class R, class... A>
struct FnTraits<R (*)(A...) noexcept> : FnTraits<R (*)(A...)> {};

template <class T>
struct IsSelf : std::false_type {};
template <class T, bool Exclusively>
struct IsSelf<Borrow<T, Exclusively>> : std::true_type {};

template <class List>
struct Split;  // the self parameter (or void) and the argument parameters
template <>
struct Split<TypeList<>> {
  using Self = void;
  using Args = TypeList<>;
};
template <class First, class... Rest>
struct Split<TypeList<First, Rest...>> {
  using Self = std::conditional_t<IsSelf<First>::value, First, void>;
  using Args = std::conditional_t<IsSelf<First>::value, TypeList<Rest...>, TypeList<First, Rest...>>;
};

template <auto Impl>
using ParamsOf = typename FnTraits<decltype(Impl)>::Params;
// The self borrow (void without one) and the argument parameters of Impl called with receiver R.
template <auto Impl, Receiver R = Receiver::Instance>
using SelfOf = std::conditional_t<R == Receiver::Instance, typename Split<ParamsOf<Impl>>::Self, void>;
template <auto Impl, Receiver R = Receiver::Instance>
using ArgsOf = std::conditional_t<R == Receiver::Instance, typename Split<ParamsOf<Impl>>::Args, ParamsOf<Impl>>;
template <auto Impl>
using RetOf = typename FnTraits<decltype(Impl)>::Ret;

template <class List>
struct Arity;
template <class... A>
struct Arity<TypeList<A...>> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <>
struct Arity<TypeList<BoundArgs>> : std::integral_constant<std::size_t, std::size_t(-1)> {};

template <class List>
struct Only;  // the one parameter of a setter's value
template <class V>
struct Only<TypeList<V>> {
  using type = V;
};

// Calls Impl with `lead` (self's borrow, if any) and the bound arguments converted in order; the
// braced initialisation fixes the left-to-right order of the conversions.
template <auto Impl, class... A, std::size_t... I, class... Lead>
decltype(auto) call_with(TypeList<A...>, std::index_sequence<I...>, PyObject* const* bound, const Signature* sig,
                         Lead&&... lead) {
  std::tuple<A...> args{extract<A>(bound[I], sig->param(I).name)...};
  return Impl(std::forward<Lead>(lead)..., std::move(std::get<I>(args))...);
}

template <auto Impl, Receiver R, class... Lead>
decltype(auto) call_bound(PyObject* const* bound, const Signature* sig, Lead&&... lead) {
  using Args = ArgsOf<Impl, R>;
  if constexpr (std::is_same_v<Args, TypeList<BoundArgs>>) {
    return Impl(std::forward<Lead>(lead)..., BoundArgs(bound, *sig));
  } else {
    return call_with<Impl>(Args{}, std::make_index_sequence<Arity<Args>::value>{}, bound, sig,
                           std::forward<Lead>(lead)...);
  }
}

// Runs Impl on self (borrowed as its first parameter asks, when it has receiver R) and the bound
// arguments; the result as a new reference (None for void).
template <auto Impl, Receiver R = Receiver::Instance>
Ref invoke(PyObject* self, PyObject* const* bound, const Signature* sig) {
  using Self = SelfOf<Impl, R>;
  auto call = [&]() -> decltype(auto) {
    if constexpr (std::is_void_v<Self>) {
      return call_bound<Impl, R>(bound, sig);
    } else {
      return call_bound<Impl, R>(bound, sig, Self(self));
    }
  };
  if constexpr (std::is_void_v<RetOf<Impl>>) {
    call();
    return Ref::borrow(Py_None);
  } else {
    return to_py(call());
  }
}

}  // namespace detail

// The parameter count an implementation binds (size_t(-1): it takes the whole BoundArgs).
template <auto Impl, Receiver R>
constexpr std::size_t bound_arity() {
  return detail::Arity<detail::ArgsOf<Impl, R>>::value;
}

// ---- entries, one per calling convention ----

template <class Owner, auto Impl, Receiver R = kDefaultReceiver<Owner>>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return frame<PyObject*>(
      nullptr,
      [&] {
        const Signature* sig = Callable<Owner, Impl>::signature;
        PyObject* bound[kMaxParams];
        sig->bind(args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        return detail::invoke<Impl, R>(self, bound, sig).release();
      },
      {&Callable<Owner, Impl>::signature});
}

template <class Owner, auto Impl, Receiver R = kDefaultReceiver<Owner>>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
  return frame<PyObject*>(
      nullptr, [&] { return detail::invoke<Impl, R>(self, nullptr, nullptr).release(); },
      {&Callable<Owner, Impl>::signature});
}

template <class T, auto Impl>
PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return frame<PyObject*>(
      nullptr,
      [&] {
        const Signature* sig = Callable<T, Impl>::signature;
        PyObject* bound[kMaxParams];
        sig->bind(args, kwargs, bound);
        return make_instance<T>(subtype, detail::call_bound<Impl, Receiver::None>(bound, sig)).release();
      },
      {&Callable<T, Impl>::signature});
}

// self -> new reference: __repr__, __int__, and attribute getters.
template <auto Impl>
PyObject* unary_entry(PyObject* self) noexcept {
  return frame<PyObject*>(nullptr, [&] { return detail::invoke<Impl>(self, nullptr, nullptr).release(); });
}

template <auto Impl>
PyObject* getter_entry(PyObject* self, void* closure) noexcept {
  return frame<PyObject*>(
      nullptr, [&] { return detail::invoke<Impl>(self, nullptr, nullptr).release(); },
      {.attribute = static_cast<const char*>(closure)});
}

// The closure is the attribute's name, which a refused value is reported by (or as `value`, see
// SetterValue). The value is converted before self is borrowed.
template <auto Impl>
int setter_entry(PyObject* self, PyObject* value, void* closure) noexcept {
  return frame<int>(-1, [&] {
    if (value == nullptr) throw Error::attribute("property has no deleter");
    using Value = typename detail::Only<detail::ArgsOf<Impl>>::type;
    Value converted = extract<Value>(value, kNamedValue<Value> ? "value" : static_cast<const char*>(closure));
    Impl(detail::SelfOf<Impl>(self), std::move(converted));
    return 0;
  }, {.attribute = static_cast<const char*>(closure)});
}

template <auto Impl>
PyObject* richcmp_entry(PyObject* self, PyObject* other, int op) noexcept {
  return frame<PyObject*>(nullptr,
                          [&] { return to_py(Impl(detail::SelfOf<Impl>(self), other, op)).release(); });
}

template <auto Impl>
Py_ssize_t len_entry(PyObject* self) noexcept {
  return frame<Py_ssize_t>(-1, [&] {
    const std::size_t length = Impl(detail::SelfOf<Impl>(self));
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      throw Error::overflow("length does not fit in a signed machine word");
    }
    return static_cast<Py_ssize_t>(length);
  });
}

template <auto Impl>
int bool_entry(PyObject* self) noexcept {
  return frame<int>(-1, [&] { return Impl(detail::SelfOf<Impl>(self)) ? 1 : 0; });
}

template <class T>
void dealloc_entry(PyObject* self) noexcept {
  gil::Hold hold;
  PyTypeObject* type = Py_TYPE(self);
  if constexpr (TracesReferences<T>) PyObject_GC_UnTrack(self);
  std::destroy_at(&instance_of<T>(self)->value);
  type->tp_free(self);
  Py_DECREF(type);
}

// The collector's visit of an instance: its type (instances of heap types own a reference to it),
// then the payload's references. Runs under the interpreter lock, possibly while another thread
// borrows the payload, so it only reads reference fields.
template <TracesReferences T>
int traverse_entry(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  return traverse_refs(std::as_const(instance_of<T>(self)->value), visit, arg);
}

// The collector breaking a cycle: drops what the payload's clear_refs drops, at once.
template <ClearsReferences T>
int clear_entry(PyObject* self) noexcept {
  gil::Hold hold;
  clear_refs(instance_of<T>(self)->value);
  return 0;
}

}  // namespace qarn::py
