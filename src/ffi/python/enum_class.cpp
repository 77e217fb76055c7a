// Normalization of enum strings: Unicode White_Space trimming on UTF-8 text.
#include "ffi/python/enum_class.hpp"

namespace qarn::py {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point of the well-formed UTF-8 sequence text[begin, end).
char32_t decode(std::string_view text, std::size_t begin, std::size_t end) {
  const auto lead = static_cast<unsigned char>(text[begin]);
  const std::size_t length = end - begin;
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = begin + 1; i < end; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return c;
}

}  // namespace

std::string normalize_enum_string(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin + 1;
    while (next < text.size() && is_continuation(static_cast<unsigned char>(text[next]))) ++next;
    if (!is_white_space(decode(text, begin, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_continuation(static_cast<unsigned char>(text[start]))) --start;
    if (!is_white_space(decode(text, start, end))) break;
    end = start;
  }
  std::string out(text.substr(begin, end - begin));
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '-') c = '_';
  }
  return out;
}

}  // namespace qarn::py
