// `Signature`: one callable's parameter list, parsed from the text signature that also heads its
// docstring (so the advertised and the enforced signature cannot drift), and the binding of a
// call's positional and keyword arguments to it with the interpreter's TypeError texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ffi/python/python.hpp"
#include "ffi/python/ref.hpp"

namespace qarn::py {

// More parameters than any callable of the module has (the conic-solver settings have 39).
inline constexpr std::size_t kMaxParams = 48;

class Signature {
 public:
  enum class Kind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };
  struct Param {
    std::string name;
    Kind kind;
    Ref default_value;  // null: required
  };

  // `text` is a text signature such as "append_s($self, s, *, layout='sample_major')": a leading
  // "$self" / "$type" / "$module" is not bound, "*" starts the keyword-only parameters and "/" ends
  // the positional-only ones; defaults are Python literals (None, True, False, numbers, quoted
  // strings, tuples of them). `full_name` names the callable in messages, e.g. "Robot.append_s()".
  // Builds the default values, so it needs the interpreter lock. A malformed text is a Fault.
  Signature(std::string_view text, std::string full_name);

  // Binds a vectorcall: out[i] becomes the (borrowed) argument of parameter i, or its default.
  // Throws TypeError for a call that does not fit.
  void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
  // Binds an argument tuple and an optional keyword dict (the form `__new__` receives).
  void bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

  std::size_t size() const { return params_.size(); }
  const Param& param(std::size_t i) const { return params_[i]; }
  std::string_view name() const;  // the callable's name, the text before "("
  const std::string& full_name() const { return full_name_; }
  const std::string& text() const { return text_; }

 private:
  class Binder;
  std::string text_;
  std::string full_name_;
  std::vector<Param> params_;
  std::size_t positional_count_ = 0;           // positional-only plus positional-or-keyword
  std::size_t required_positional_count_ = 0;  // those of them without a default
};

}  // namespace qarn::py
