// Parsing of text signatures and binding of call arguments to them.
#include "ffi/python/signature.hpp"

#include <cerrno>
#include <cstdlib>

#include "diag/format.hpp"
#include "ffi/python/error.hpp"

namespace qarn::py {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Splits at the commas that are outside brackets and quotes.
std::vector<std::string_view> split_top_level(std::string_view s) {
  std::vector<std::string_view> parts;
  int depth = 0;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(' || c == '[') {
      ++depth;
    } else if (c == ')' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 0) {
      parts.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  const std::string_view last = trim(s.substr(start));
  if (!last.empty() || !parts.empty()) parts.push_back(last);
  return parts;
}

// A Python literal of a default value.
Ref parse_literal(std::string_view text, std::string_view signature) {
  const auto fail = [&]() -> Ref {
    throw Fault(fmt::format("unsupported default `{}` in signature `{}`", text, signature));
  };
  if (text.empty()) return fail();
  if (text == "None") return Ref::borrow(Py_None);
  if (text == "True") return Ref::borrow(Py_True);
  if (text == "False") return Ref::borrow(Py_False);
  if (text.front() == '\'' || text.front() == '"') {
    if (text.size() < 2 || text.back() != text.front()) return fail();
    const std::string_view inner = text.substr(1, text.size() - 2);
    return new_ref(PyUnicode_FromStringAndSize(inner.data(), static_cast<Py_ssize_t>(inner.size())));
  }
  if (text.front() == '(') {
    if (text.back() != ')') return fail();
    const std::vector<std::string_view> items = split_top_level(text.substr(1, text.size() - 2));
    Ref tuple = new_ref(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), parse_literal(items[i], signature).release());
    }
    return tuple;
  }
  const std::string number(text);
  const std::size_t sign = number[0] == '-' || number[0] == '+' ? 1 : 0;
  if (number.size() > sign && number.find_first_not_of("0123456789", sign) == std::string::npos) {
    return new_ref(PyLong_FromString(number.c_str(), nullptr, 10));
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(number.c_str(), &end);  // 1e999 reads as inf, as in Python
  if (end != number.c_str() + number.size()) return fail();
  return new_ref(PyFloat_FromDouble(value));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw Error::fetch();
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

Signature::Signature(std::string_view text, std::string full_name)
    : text_(text), full_name_(std::move(full_name)) {
  const std::size_t open = text.find('(');
  if (open == std::string_view::npos || text.back() != ')') {
    throw Fault(fmt::format("malformed signature `{}`", text));
  }
  Kind kind = Kind::PositionalOrKeyword;
  for (std::string_view part : split_top_level(text.substr(open + 1, text.size() - open - 2))) {
    if (part.empty()) throw Fault(fmt::format("malformed signature `{}`", text));
    if (part.front() == '$') continue;  // the receiver, supplied by the interpreter
    if (part == "*") {
      kind = Kind::KeywordOnly;
      continue;
    }
    if (part == "/") {
      for (Param& p : params_) p.kind = Kind::PositionalOnly;
      continue;
    }
    const std::size_t eq = part.find('=');
    Param param{std::string(trim(part.substr(0, eq))), kind, {}};
    if (eq != std::string_view::npos) param.default_value = parse_literal(trim(part.substr(eq + 1)), text);
    params_.push_back(std::move(param));
  }
  if (params_.size() > kMaxParams) throw Fault(fmt::format("too many parameters in `{}`", text));
  for (const Param& p : params_) {
    if (p.kind == Kind::KeywordOnly) continue;
    ++positional_count_;
    if (!p.default_value) ++required_positional_count_;
  }
}

std::string_view Signature::name() const { return std::string_view(text_).substr(0, text_.find('(')); }

// The steps shared by both calling forms: positionals, then keywords one by one, then the checks
// for what is still missing.
class Signature::Binder {
 public:
  Binder(const Signature& sig, PyObject** out) : sig_(sig), out_(out) {
    for (std::size_t i = 0; i < sig.size(); ++i) out_[i] = nullptr;
  }

  void positionals(PyObject* const* args, std::size_t nargs) {
    if (nargs > sig_.positional_count_) {
      const char* verb = nargs == 1 ? "was" : "were";
      if (sig_.required_positional_count_ == sig_.positional_count_) {
        throw Error::type(fmt::format("{} takes {} positional arguments but {} {} given", sig_.full_name_,
                                      sig_.positional_count_, nargs, verb));
      }
      throw Error::type(fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                    sig_.full_name_, sig_.required_positional_count_,
                                    sig_.positional_count_, nargs, verb));
    }
    for (std::size_t i = 0; i < nargs; ++i) out_[i] = args[i];
  }

  void keyword(PyObject* name_object, PyObject* value) {
    const std::string_view name = utf8_view(name_object);
    for (std::size_t i = 0; i < sig_.size(); ++i) {
      const Param& p = sig_.params_[i];
      if (p.name != name) continue;
      if (p.kind == Kind::PositionalOnly) {
        positional_only_as_keyword_.push_back(p.name);
        return;
      }
      if (out_[i] != nullptr) {
        throw Error::type(fmt::format("{} got multiple values for argument '{}'", sig_.full_name_, name));
      }
      out_[i] = value;
      return;
    }
    throw Error::type(fmt::format("{} got an unexpected keyword argument '{}'", sig_.full_name_, name));
  }

  void finish() {
    if (!positional_only_as_keyword_.empty()) {
      throw Error::type(fmt::format("{} got some positional-only arguments passed as keyword arguments: {}",
                                    sig_.full_name_, quoted_list(positional_only_as_keyword_)));
    }
    report_missing(false);
    report_missing(true);
    for (std::size_t i = 0; i < sig_.size(); ++i) {
      if (out_[i] == nullptr) out_[i] = sig_.params_[i].default_value.get();
    }
  }

 private:
  void report_missing(bool keyword_only) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig_.size(); ++i) {
      const Param& p = sig_.params_[i];
      if ((p.kind == Kind::KeywordOnly) == keyword_only && out_[i] == nullptr && !p.default_value) {
        missing.push_back(p.name);
      }
    }
    if (missing.empty()) return;
    throw Error::type(fmt::format("{} missing {} required {} {}: {}", sig_.full_name_, missing.size(),
                                  keyword_only ? "keyword" : "positional",
                                  missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)));
  }

  const Signature& sig_;
  PyObject** out_;
  std::vector<std::string_view> positional_only_as_keyword_;
};

void Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
  Binder binder(*this, out);
  binder.positionals(args, static_cast<std::size_t>(nargs));
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) binder.keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
  }
  binder.finish();
}

void Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
  Binder binder(*this, out);
  binder.positionals(PySequence_Fast_ITEMS(args), static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) binder.keyword(key, value);
  }
  binder.finish();
}

}  // namespace qarn::py
