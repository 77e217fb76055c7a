// Float layouts built from the shortest round-trip digits of std::to_chars; see format.hpp.
#include "diag/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace qarn::fmt {
namespace {

// Shortest round-trip digits of a finite, non-zero |v|: value = 0.d1d2d3... * 10^(point).
struct Digits {
  char buf[32];
  int len = 0;
  int point = 0;  // position of the decimal point relative to the first digit
};

Digits shortest_digits(double magnitude) {
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  Digits d;
  const char* p = sci;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.buf[d.len++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exponent);
  d.point = exponent + 1;
  return d;
}

bool append_special(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// Positional layout of the digits: 123 with point 5 -> 12300, point 1 -> 1.23, point -2 -> 0.00123.
void append_positional(std::string& out, const Digits& d, bool force_point) {
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.point), '0');
    out.append(d.buf, static_cast<std::size_t>(d.len));
    return;
  }
  if (d.len <= d.point) {
    out.append(d.buf, static_cast<std::size_t>(d.len));
    out.append(static_cast<std::size_t>(d.point - d.len), '0');
    if (force_point) out += ".0";
    return;
  }
  out.append(d.buf, static_cast<std::size_t>(d.point));
  out += '.';
  out.append(d.buf + d.point, static_cast<std::size_t>(d.len - d.point));
}

void append_zero(std::string& out, double v, bool force_point) {
  if (std::signbit(v)) out += '-';
  out += force_point ? "0.0" : "0";
}

}  // namespace

void append_plain(std::string& out, double v) {
  if (append_special(out, v)) return;
  if (v == 0.0) return append_zero(out, v, false);
  if (v < 0) out += '-';
  append_positional(out, shortest_digits(std::fabs(v)), false);
}

void append_debug(std::string& out, double v) {
  if (append_special(out, v)) return;
  if (v == 0.0) return append_zero(out, v, true);
  if (v < 0) out += '-';
  const double m = std::fabs(v);
  const Digits d = shortest_digits(m);
  if (m >= 1e-4 && m < 1e16) return append_positional(out, d, true);
  out += d.buf[0];
  if (d.len > 1) {
    out += '.';
    out.append(d.buf + 1, static_cast<std::size_t>(d.len - 1));
  }
  out += 'e';
  format_signed(out, d.point - 1);
}

void append_fixed(std::string& out, double v, int decimals) {
  if (append_special(out, v)) return;
  // 1e308 with many decimals needs ~310 + decimals characters.
  std::string buf(static_cast<std::size_t>(330 + std::max(decimals, 0)), '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed,
                           std::max(decimals, 0));
  out.append(buf.data(), res.ptr);
}

void append_exp(std::string& out, double v, int decimals) {
  if (append_special(out, v)) return;
  std::string buf(static_cast<std::size_t>(40 + std::max(decimals, 0)), '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific,
                           std::max(decimals, 0));
  const char* e = buf.data();
  while (e < res.ptr && *e != 'e') ++e;
  out.append(static_cast<const char*>(buf.data()), e);
  out += 'e';
  const char* p = e + 1;
  if (p < res.ptr && (*p == '+' || *p == '-')) {
    if (*p == '-') out += '-';
    ++p;
  }
  while (p + 1 < res.ptr && *p == '0') ++p;  // no zero padding: e-09 -> e-9, e+00 -> e0
  out.append(p, static_cast<const char*>(res.ptr));
}

std::string plain(double v) {
  std::string s;
  append_plain(s, v);
  return s;
}
std::string debug(double v) {
  std::string s;
  append_debug(s, v);
  return s;
}
std::string fixed(double v, int decimals) {
  std::string s;
  append_fixed(s, v, decimals);
  return s;
}
std::string exp(double v, int decimals) {
  std::string s;
  append_exp(s, v, decimals);
  return s;
}

void format_value(std::string& out, double v, Spec spec) {
  switch (spec.form) {
    case Spec::Form::Exp:
      return append_exp(out, v, spec.precision < 0 ? 6 : spec.precision);
    case Spec::Form::Debug:
      if (spec.precision >= 0) return append_fixed(out, v, spec.precision);
      return append_debug(out, v);
    case Spec::Form::Plain:
      if (spec.precision >= 0) return append_fixed(out, v, spec.precision);
      return append_plain(out, v);
  }
}

void format_value(std::string& out, bool v, Spec) { out += v ? "true" : "false"; }

void format_value(std::string& out, std::string_view v, Spec spec) {
  if (spec.form != Spec::Form::Debug) {
    out += v;
    return;
  }
  out += '"';
  for (char c : v) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void format_signed(std::string& out, long long v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void format_unsigned(std::string& out, unsigned long long v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

namespace detail {
namespace {

// Parses the text between '{' and '}': "", ":?", ":.N", ":.N?", ":.Ne", ":e".
Spec parse_spec(std::string_view body) {
  Spec spec;
  if (body.empty() || body[0] != ':') return spec;
  body.remove_prefix(1);
  if (!body.empty() && body[0] == '.') {
    body.remove_prefix(1);
    int n = 0;
    auto res = std::from_chars(body.data(), body.data() + body.size(), n);
    spec.precision = n;
    body.remove_prefix(static_cast<std::size_t>(res.ptr - body.data()));
  }
  if (body == "?") spec.form = Spec::Form::Debug;
  if (body == "e") spec.form = Spec::Form::Exp;
  return spec;
}

}  // namespace

void format_into(std::string& out, std::string_view tmpl, std::span<const Arg> args) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    const char c = tmpl[i];
    if ((c == '{' || c == '}') && i + 1 < tmpl.size() && tmpl[i + 1] == c) {
      out += c;
      ++i;
      continue;
    }
    if (c != '{') {
      out += c;
      continue;
    }
    const std::size_t close = tmpl.find('}', i);
    if (close == std::string_view::npos) {
      out.append(tmpl.substr(i));
      return;
    }
    const Spec spec = parse_spec(tmpl.substr(i + 1, close - i - 1));
    if (next < args.size()) {
      args[next].write(out, args[next].value, spec);
      ++next;
    } else {
      out += "{?}";
    }
    i = close;
  }
}

}  // namespace detail
}  // namespace qarn::fmt
