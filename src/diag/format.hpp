// Number and message formatting shared by every error text, diagnostic line and repr.
// The forms are part of the interface (users read and match them), so they are built here once:
//   plain   "{}"      shortest round-trip digits, positional, no exponent: 1e-8 -> 0.00000001, 1.0 -> 1
//   debug   "{:?}"    same digits, always a decimal point, exponent below 1e-4 or from 1e16: 1.0, 1e-8
//   fixed   "{:.N}"   exactly N decimals, correctly rounded (ties to even); "{:.N?}" is the same for numbers
//   exp     "{:.Ne}"  one digit, point, N decimals, 'e', exponent without '+' or zero padding: 1.500000e-9
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace qarn::fmt {

// How one placeholder asks for its value to be printed.
struct Spec {
  enum class Form : std::uint8_t { Plain, Debug, Exp };
  Form form = Form::Plain;
  int precision = -1;  // -1: shortest round-trip digits
};

void append_plain(std::string& out, double v);
void append_debug(std::string& out, double v);
void append_fixed(std::string& out, double v, int decimals);
void append_exp(std::string& out, double v, int decimals);

std::string plain(double v);
std::string debug(double v);
std::string fixed(double v, int decimals);
std::string exp(double v, int decimals);

// ---- value formatters, found by overload resolution / ADL (`format_value(out, value, spec)`) ----

void format_value(std::string& out, double v, Spec spec);
inline void format_value(std::string& out, float v, Spec spec) { format_value(out, double{v}, spec); }
void format_value(std::string& out, bool v, Spec spec);
void format_value(std::string& out, std::string_view v, Spec spec);  // debug form quotes it
inline void format_value(std::string& out, const std::string& v, Spec spec) {
  format_value(out, std::string_view{v}, spec);
}
inline void format_value(std::string& out, const char* v, Spec spec) {
  format_value(out, std::string_view{v}, spec);
}
void format_signed(std::string& out, long long v);
void format_unsigned(std::string& out, unsigned long long v);

template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void format_value(std::string& out, T v, Spec) {
  if constexpr (std::is_signed_v<T>) {
    format_signed(out, static_cast<long long>(v));
  } else {
    format_unsigned(out, static_cast<unsigned long long>(v));
  }
}

template <class T>
void format_value(std::string& out, const std::optional<T>& v, Spec spec) {
  if (!v) {
    out += "None";
    return;
  }
  out += "Some(";
  format_value(out, *v, Spec{Spec::Form::Debug, spec.precision});
  out += ')';
}

// Lists print in brackets with ", " between elements, each element in the list's form
// (the debug form unless a precision was asked for).
template <class T>
void format_value(std::string& out, std::span<const T> v, Spec spec) {
  out += '[';
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    format_value(out, v[i], spec);
  }
  out += ']';
}
template <class T>
void format_value(std::string& out, const std::vector<T>& v, Spec spec) {
  format_value(out, std::span<const T>{v}, spec);
}

// Pairs and triples print in parentheses: (1.0, 2.0).
template <class... T>
void format_value(std::string& out, const std::tuple<T...>& v, Spec spec) {
  out += '(';
  std::apply(
      [&](const auto&... e) {
        std::size_t i = 0;
        ((out += (i++ ? ", " : ""), format_value(out, e, spec)), ...);
      },
      v);
  out += ')';
}
template <class A, class B>
void format_value(std::string& out, const std::pair<A, B>& v, Spec spec) {
  format_value(out, std::tuple<const A&, const B&>{v.first, v.second}, spec);
}

// ---- "{}" templates ----

namespace detail {
struct Arg {
  const void* value;
  void (*write)(std::string&, const void*, Spec);
};
template <class T>
Arg make_arg(const T& v) {
  return Arg{&v, [](std::string& out, const void* p, Spec spec) {
               format_value(out, *static_cast<const T*>(p), spec);
             }};
}
void format_into(std::string& out, std::string_view tmpl, std::span<const Arg> args);
}  // namespace detail

// Substitutes the placeholders "{}", "{:?}", "{:.N}", "{:.N?}", "{:.Ne}" in order; "{{" and "}}"
// print braces. A template/argument count mismatch is a programming error and prints "{?}".
template <class... Args>
std::string format(std::string_view tmpl, const Args&... args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * sizeof...(Args));
  const std::array<detail::Arg, sizeof...(Args)> packed{detail::make_arg(args)...};
  detail::format_into(out, tmpl, packed);
  return out;
}

}  // namespace qarn::fmt
